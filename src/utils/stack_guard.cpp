#include "utils/stack_guard.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace tarn {

namespace {

// Kept free below the floor: enough for the compiler's deepest leaf calls, for the machine
// (which runs at the depth of the compiler's entry) and for unwinding. A quarter of the stack,
// within these bounds: 8 KiB measured enough for every leaf, and a thread of 32 KiB still
// compiles a few dozen levels. Sanitizer builds have frames several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t frame_scale = 4;
#else
constexpr std::size_t frame_scale = 1;
#endif
constexpr std::size_t min_reserve = 16 * 1024 * frame_scale;
constexpr std::size_t max_reserve = 64 * 1024 * frame_scale;

std::uintptr_t compute_floor() {
    pthread_attr_t attr;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0) return 0;
    // Never off: on a stack smaller than the reserve every nesting level is refused, which
    // is a clean stop where running on would overflow the stack.
    std::size_t reserve = std::clamp(size / 4, min_reserve, max_reserve);
    return reinterpret_cast<std::uintptr_t>(addr) + reserve;
}

} // namespace

std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = compute_floor();
    return floor;
}

} // namespace tarn
