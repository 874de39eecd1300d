#pragma once
// The small-object pool: the shared objects of a run (middle strings, tables, closures, upvalue
// cells) are carved from slabs, one list of slabs per size class, without a per-block header.
// Every block starts with an object header (src/utils/rc.h), and a free block is marked
// ObjKind::Free, so the end of a run can walk every live object. The pool belongs to the run:
// its slabs are handed back when the run ends.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/rc.h"

namespace tarn::pool {

// The largest block the pool serves; larger objects come from operator new.
inline constexpr std::size_t max_block = 4096;

// A block of at least `size` bytes (size <= max_block), 8-byte aligned; throws OutOfMemory.
void* allocate(std::size_t size);
// Returns a block; `size` is the size it was allocated with.
void free(void* p, std::size_t size);

// Calls f(object) for every live block of the pool, in no particular order. Blocks may be
// freed by `f` as the walk goes on; none may be allocated.
template <class F> void for_each_live(F&& f);

// Hands every slab back to the system. Only when no object of the pool is alive any more.
void release_all();

namespace detail {

struct Slab {
    Slab* next;
    std::uint32_t block; // block size
    std::uint32_t used;  // blocks carved so far
};

// The slabs of every size class, newest first.
Slab* const* slab_lists();
std::size_t class_count();

inline constexpr std::size_t slab_bytes = 32 * 1024;
inline constexpr std::size_t slab_header = 16;
static_assert(sizeof(Slab) <= slab_header);

} // namespace detail

template <class F> void for_each_live(F&& f) {
    detail::Slab* const* lists = detail::slab_lists();
    for (std::size_t c = 0; c < detail::class_count(); ++c) {
        for (detail::Slab* s = lists[c]; s; s = s->next) {
            char* first = reinterpret_cast<char*>(s) + detail::slab_header;
            for (std::uint32_t i = 0; i < s->used; ++i) {
                char* block = first + std::size_t{i} * s->block;
                ObjKind kind;
                std::memcpy(&kind, block + offsetof(Shared, kind), 1);
                if (kind != ObjKind::Free) f(reinterpret_cast<Shared*>(block));
            }
        }
    }
}

} // namespace tarn::pool
