// Size classes step by 8 bytes up to 256 (strings, tables, cells, closures of up to 29 cells)
// and by 256 beyond (closures with many cells). A class takes a slab when its free list is
// empty and its newest slab is carved out; slabs go back only when the run ends.

#include "utils/pool.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace tarn::pool {

namespace {

using detail::Slab;
using detail::slab_bytes;
using detail::slab_header;

constexpr std::size_t fine_step = 8;
constexpr std::size_t fine_max = 256;
constexpr std::size_t coarse_step = 256;
constexpr std::size_t fine_classes = (fine_max - 16) / fine_step + 1;
constexpr std::size_t classes = fine_classes + (max_block - fine_max) / coarse_step;

// A free block: the object header's place, with the kind byte saying Free, then the link.
struct FreeBlock {
    char header[sizeof(Shared)];
    FreeBlock* next;
};
static_assert(sizeof(FreeBlock) <= 16);

Slab* slabs[classes];
FreeBlock* free_lists[classes];

std::size_t class_of(std::size_t size) {
    if (size <= fine_max) return (std::max<std::size_t>(size, 16) - 16 + fine_step - 1) / fine_step;
    return fine_classes + (size - fine_max + coarse_step - 1) / coarse_step - 1;
}

std::size_t block_size(std::size_t c) {
    return c < fine_classes ? 16 + c * fine_step : fine_max + (c - fine_classes + 1) * coarse_step;
}

void mark_free(void* p) {
    // Only the kind byte: the walk at the end of a run reads nothing else of a free block.
    const ObjKind free_kind = ObjKind::Free;
    std::memcpy(static_cast<char*>(p) + offsetof(Shared, kind), &free_kind, 1);
}

} // namespace

void* allocate(std::size_t size) {
    std::size_t c = class_of(size);
    if (FreeBlock* b = free_lists[c]) {
        free_lists[c] = b->next;
        return b;
    }
    Slab* s = slabs[c];
    std::size_t block = block_size(c);
    if (!s || slab_header + (std::size_t{s->used} + 1) * block > slab_bytes) {
        s = static_cast<Slab*>(::operator new(slab_bytes));
        s->next = slabs[c];
        s->block = static_cast<std::uint32_t>(block);
        s->used = 0;
        slabs[c] = s;
    }
    void* p = reinterpret_cast<char*>(s) + slab_header + std::size_t{s->used} * block;
    ++s->used;
    mark_free(p);
    return p;
}

void free(void* p, std::size_t size) {
    std::size_t c = class_of(size);
    auto* b = static_cast<FreeBlock*>(p);
    mark_free(b);
    b->next = free_lists[c];
    free_lists[c] = b;
}

void release_all() {
    for (std::size_t c = 0; c < classes; ++c) {
        for (Slab* s = slabs[c]; s;) {
            Slab* next = s->next;
            ::operator delete(s);
            s = next;
        }
        slabs[c] = nullptr;
        free_lists[c] = nullptr;
    }
}

namespace detail {

Slab* const* slab_lists() { return slabs; }
std::size_t class_count() { return classes; }

} // namespace detail

} // namespace tarn::pool
