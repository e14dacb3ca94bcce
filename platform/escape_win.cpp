// Windows: the keyboard's own Escape key. The least significant bit of
// GetAsyncKeyState says whether the key was pressed since the last query.
#include <windows.h>

#include "platform/escape.h"

namespace placidor::platform {

namespace {

class KeyboardEscapeKey final : public EscapeKey {
public:
    bool pressedSinceLastQuery() override { return (GetAsyncKeyState(VK_ESCAPE) & 1) != 0; }
};

}  // namespace

EscapeKey &systemEscapeKey() {
    static KeyboardEscapeKey key;
    return key;
}

}  // namespace placidor::platform
