#include "utils/stack_guard.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace tarn {

namespace {

// Kept free below the floor: enough for the compiler's deepest leaf calls and for unwinding.
constexpr std::uintptr_t reserve = 64 * 1024;

std::uintptr_t compute_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size <= reserve) return 0;
    return reinterpret_cast<std::uintptr_t>(addr) + reserve;
}

} // namespace

std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = compute_floor();
    return floor;
}

} // namespace tarn
