#include "utils/memory.h"

#include <algorithm>
#include <cstdint>
#include <unistd.h>

namespace tarn::memory {

std::atomic<std::size_t> in_use{0};

std::size_t default_ceiling() {
    constexpr std::size_t cap = std::size_t{4} << 30;
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return cap;
    return std::min(cap, static_cast<std::size_t>(pages) / 2 * static_cast<std::size_t>(page));
}

// Sizes stop below 2^63, so that every valid size is also a signed 64-bit count (a Python
// ssize, an off_t).
std::size_t parse_size(std::string_view text) {
    constexpr std::size_t largest = std::size_t{INT64_MAX};
    std::size_t value = 0;
    std::size_t i = 0;
    if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(text[i] - '0'), &value))
            return 0;
    }
    if (i == text.size()) return value <= largest ? value : 0;
    int shift = 0;
    switch (text[i]) {
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        return 0;
    }
    if (i + 1 != text.size() || value > (largest >> shift)) return 0;
    return value << shift;
}

} // namespace tarn::memory
