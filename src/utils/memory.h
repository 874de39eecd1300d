#pragma once
// The memory ceiling of a run. Every allocation the interpreter makes goes through the counting
// operator new of the module (values, tables, strings, closures, the stack, frames, compiler
// state), and memory taken from the system by other means is charged here by hand. A run that
// would pass its ceiling stops with "out of memory", as does one the system refuses.

#include <atomic>
#include <cstddef>
#include <new>

namespace tarn {

// Thrown by the allocator when the ceiling or the system says no. It carries no text, so
// raising it needs no memory.
struct OutOfMemory : std::bad_alloc {
    const char* what() const noexcept override { return "out of memory"; }
};

namespace memory {

// Bytes in use, counted by usable allocation size. Runs are serialised and only the running
// thread allocates through the interpreter meanwhile, so plain loads and stores suffice; the
// atomic type only keeps the rare allocation of another thread (an argument conversion) from
// being undefined behaviour.
extern std::atomic<std::size_t> in_use;
// The absolute figure `in_use` may not pass: unlimited outside a run.
extern std::atomic<std::size_t> ceiling;

inline bool admits(std::size_t n) {
    std::size_t used = in_use.load(std::memory_order_relaxed);
    std::size_t limit = ceiling.load(std::memory_order_relaxed);
    return used <= limit && n <= limit - used;
}
inline void add(std::size_t n) {
    in_use.store(in_use.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
inline void sub(std::size_t n) {
    in_use.store(in_use.load(std::memory_order_relaxed) - n, std::memory_order_relaxed);
}

// Lifts the ceiling, so that the unwinding that follows can still allocate, and throws
// OutOfMemory.
[[noreturn]] [[gnu::cold]] void exhausted();

// Charges `n` bytes taken from the system directly; throws OutOfMemory past the ceiling.
void charge(std::size_t n);
inline void refund(std::size_t n) { sub(n); }

// The default ceiling: the smaller of 4 GiB and half the machine's physical memory.
std::size_t default_ceiling();

// Bounds the allocations of one run to `limit` bytes beyond what is in use when it starts.
class RunCeiling {
public:
    explicit RunCeiling(std::size_t limit);
    ~RunCeiling();
    RunCeiling(const RunCeiling&) = delete;
    RunCeiling& operator=(const RunCeiling&) = delete;
};

} // namespace memory

} // namespace tarn
