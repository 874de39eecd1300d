#include "utils/memory.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <unistd.h>

namespace tarn::memory {

namespace {

constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

} // namespace

std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> ceiling{unlimited};

void exhausted() {
    ceiling.store(unlimited, std::memory_order_relaxed);
    throw OutOfMemory();
}

void charge(std::size_t n) {
    if (!admits(n)) exhausted();
    add(n);
}

std::size_t default_ceiling() {
    constexpr std::size_t cap = std::size_t{4} << 30;
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return cap;
    return std::min(cap, static_cast<std::size_t>(pages) / 2 * static_cast<std::size_t>(page));
}

RunCeiling::RunCeiling(std::size_t limit) {
    std::size_t used = in_use.load(std::memory_order_relaxed);
    ceiling.store(limit > unlimited - used ? unlimited : used + limit, std::memory_order_relaxed);
}

RunCeiling::~RunCeiling() { ceiling.store(unlimited, std::memory_order_relaxed); }

} // namespace tarn::memory
