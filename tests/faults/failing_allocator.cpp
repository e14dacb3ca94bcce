#include "faults/failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>
#ifdef _WIN32
#  include <malloc.h>
#endif

namespace placidor::testing::allocator {

namespace {

// Single-threaded tests; atomics only so that a stray thread (GoogleTest's
// death tests, the sanitizer runtimes) cannot tear a counter.
std::atomic<std::int64_t> failAt{0};
std::atomic<std::int64_t> counted{0};
std::atomic<bool> failed{false};
std::atomic<std::int64_t> live{0};
std::atomic<std::size_t> sizeLimit{SIZE_MAX};
thread_local bool paused = false;

void *allocate(std::size_t size, std::size_t alignment) {
    if (!paused && failAt.load() > 0) {
        if (++counted == failAt.load()) {
            failed = true;
            return nullptr;
        }
    }
    if (size > sizeLimit.load()) return nullptr;
    if (size == 0) size = 1;
    void *p;
#ifdef _WIN32
    // The Windows C runtime has no aligned_alloc: every block comes from
    // _aligned_malloc, so that release() frees them all alike.
    p = _aligned_malloc(size, alignment);
#else
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else {
        p = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    }
#endif
    if (p) ++live;
    return p;
}

void release(void *p) {
    if (!p) return;
    --live;
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

}  // namespace

void failNth(std::int64_t n) {
    if (n > 0) {
        counted = 0;
        failed = false;
    }
    failAt = n;
}
bool injected() { return failed.load(); }
std::int64_t allocationsSinceArmed() { return counted.load(); }
std::int64_t liveBlocks() { return live.load(); }
void setSizeLimit(std::size_t bytes) { sizeLimit = bytes; }

Pause::Pause() : wasPaused_(paused) { paused = true; }
Pause::~Pause() { paused = wasPaused_; }

}  // namespace placidor::testing::allocator

using placidor::testing::allocator::allocate;
using placidor::testing::allocator::release;

namespace {
void *allocateOrThrow(std::size_t size, std::size_t alignment) {
    void *p = allocate(size, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}
constexpr std::size_t kPlain = alignof(std::max_align_t);
}  // namespace

void *operator new(std::size_t size) { return allocateOrThrow(size, kPlain); }
void *operator new[](std::size_t size) { return allocateOrThrow(size, kPlain); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, kPlain);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, kPlain);
}
void *operator new(std::size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<std::size_t>(a));
}
void *operator new(std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void *p) noexcept { release(p); }
void operator delete[](void *p) noexcept { release(p); }
void operator delete(void *p, std::size_t) noexcept { release(p); }
void operator delete[](void *p, std::size_t) noexcept { release(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete(void *p, std::align_val_t) noexcept { release(p); }
void operator delete[](void *p, std::align_val_t) noexcept { release(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { release(p); }
