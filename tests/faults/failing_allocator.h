// A replacement of the global operator new (every form) that counts
// allocations, fails the n-th one on request, refuses requests above a
// size limit, and counts live blocks, so that a test can inject an
// allocation failure at any point of a call sequence and check that
// nothing leaks. Link failing_allocator.cpp into the test program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace placidor::testing::allocator {

// Fail the n-th allocation from now (1: the next one); 0 disarms, keeping
// what injected() and allocationsSinceArmed() say.
void failNth(std::int64_t n);
// Whether the failure requested by failNth has happened.
bool injected();
// Allocations counted since the last failNth (failed ones included).
std::int64_t allocationsSinceArmed();
// Blocks allocated and not yet released, over the whole program.
std::int64_t liveBlocks();
// Requests of more bytes than this fail as if the memory were exhausted;
// SIZE_MAX by default.
void setSizeLimit(std::size_t bytes);

// Disarms the injection for the lifetime of the object, for host code
// (test callbacks, assertions) that must not see an injected failure.
class Pause {
public:
    Pause();
    ~Pause();
    Pause(const Pause &) = delete;
    Pause &operator=(const Pause &) = delete;

private:
    bool wasPaused_;
};

}  // namespace placidor::testing::allocator
