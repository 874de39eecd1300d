#pragma once
// The module's memory counter. Every block the interpreter allocates through operator new is
// counted here by its usable size (values, tables, strings, closures, frames, compiler state),
// and memory taken from the system by other means (the value stack, the run's large blocks from
// malloc) is counted by the run. The ceiling a run may not pass is the run's own
// (src/utils/run.h); a run that would pass it stops with "out of memory", as does one the
// system refuses.

#include <atomic>
#include <cstddef>
#include <new>
#include <string_view>

namespace tarn {

// Thrown by the allocator when the ceiling or the system says no. It carries no text, so
// raising it needs no memory.
struct OutOfMemory : std::bad_alloc {
    const char* what() const noexcept override { return "out of memory"; }
};

namespace memory {

// Bytes in use, counted by usable allocation size. This is the allocator's own figure, not a
// run's: blocks made before a run may be freed during it. Runs are serialised and only the
// running thread allocates through the interpreter meanwhile, so plain loads and stores
// suffice; the atomic type only keeps the rare allocation of another thread (an argument
// conversion) from being undefined behaviour.
extern std::atomic<std::size_t> in_use;

inline std::size_t used() { return in_use.load(std::memory_order_relaxed); }
inline void add(std::size_t n) { in_use.store(used() + n, std::memory_order_relaxed); }
inline void sub(std::size_t n) { in_use.store(used() - n, std::memory_order_relaxed); }

// The default ceiling: the smaller of 4 GiB and half the machine's physical memory.
std::size_t default_ceiling();

// A memory size as people write it: a positive number of bytes with an optional K, M or G
// suffix (binary multiples, either case), below 2^63. 0 when the text is not one (empty, a
// sign, spaces, another suffix, zero, or 2^63 and more).
std::size_t parse_size(std::string_view text);

} // namespace memory

} // namespace tarn
