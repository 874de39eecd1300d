#pragma once
// The lowest stack address the current thread may safely reach, with room to spare for the
// deepest non-recursive work below it. The compiler's recursive descent checks against it,
// so deeply nested source stops with a message instead of overflowing a small thread stack.

#include <cstdint>

namespace tarn {

std::uintptr_t stack_floor();

inline bool stack_nearly_full() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

} // namespace tarn
