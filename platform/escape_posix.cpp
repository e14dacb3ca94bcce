// The Escape latch of the native library: set by PlacidorPressEscape (for
// example from a SIGINT handler), cleared by the query that reads it.
#include <atomic>

#include "placidor_escape.h"
#include "platform/escape.h"

namespace placidor::platform {

namespace {

std::atomic<bool> escapeLatch{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the latch must be signal-safe");

class LatchEscapeKey final : public EscapeKey {
public:
    bool pressedSinceLastQuery() override { return escapeLatch.exchange(false); }
};

}  // namespace

EscapeKey &systemEscapeKey() {
    static LatchEscapeKey key;
    return key;
}

}  // namespace placidor::platform

extern "C" PLACIDOR_API void PLACIDOR_CALL PlacidorPressEscape(void) {
    placidor::platform::escapeLatch.store(true);
}
