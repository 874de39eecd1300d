#pragma once
// The small-object pool: the shared objects of a run (middle strings, tables, closures, upvalue
// cells) are carved from slabs, one list of slabs per size class, without a per-block header.
// Every block starts with an object header (src/utils/rc.h), and a free block is marked
// ObjKind::Free, so the end of a run can walk every live object. The pool is a member of the
// run (src/utils/run.h): its slabs are handed back when the run ends.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/rc.h"

namespace tarn {

namespace pool_detail {

struct Slab {
    Slab* next;
    std::uint32_t block; // block size
    std::uint32_t used;  // blocks carved so far
};

// A free block: the object header's place, with the kind byte saying Free, then the link.
struct FreeBlock {
    char header[sizeof(Shared)];
    FreeBlock* next;
};
static_assert(sizeof(FreeBlock) <= 16);

inline constexpr std::size_t slab_bytes = 32 * 1024;
inline constexpr std::size_t slab_header = 16;
static_assert(sizeof(Slab) <= slab_header);

// Size classes step by 8 bytes up to 256 (strings, tables, cells, closures of up to 29 cells),
// by 64 up to 1024 and by 256 beyond, so that the parts of tables up to 1024 bytes (16 bytes a
// value, 40 a node, powers of two of them) fit a class exactly.
inline constexpr std::size_t fine_step = 8;
inline constexpr std::size_t fine_max = 256;
inline constexpr std::size_t mid_step = 64;
inline constexpr std::size_t mid_max = 1024;
inline constexpr std::size_t coarse_step = 256;
inline constexpr std::size_t fine_classes = (fine_max - 16) / fine_step + 1;
inline constexpr std::size_t mid_classes = (mid_max - fine_max) / mid_step;

} // namespace pool_detail

class Pool {
public:
    // The largest block the pool serves; larger objects come from operator new.
    static constexpr std::size_t max_block = 4096;
    static constexpr std::size_t classes = pool_detail::fine_classes + pool_detail::mid_classes +
                                           (max_block - pool_detail::mid_max) / pool_detail::coarse_step;

    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    // Hands every slab back; only when no object of the pool is alive any more.
    ~Pool() { release_all(); }

    // A block of at least `size` bytes (size <= max_block), 8-byte aligned; throws OutOfMemory.
    void* allocate(std::size_t size) {
        std::size_t c = class_of(size);
        if (pool_detail::FreeBlock* b = free_lists_[c]) {
            free_lists_[c] = b->next;
            return b;
        }
        return carve(c);
    }
    // Returns a block; `size` is the size it was allocated with. Allocates nothing.
    void free(void* p, std::size_t size) {
        std::size_t c = class_of(size);
        auto* b = static_cast<pool_detail::FreeBlock*>(p);
        mark_free(b);
        b->next = free_lists_[c];
        free_lists_[c] = b;
    }

    // Calls f(object) for every live block of the pool, in no particular order. Blocks may be
    // freed by `f` as the walk goes on; none may be allocated.
    template <class F> void for_each_live(F&& f);

    // Hands every slab back to the system. Only when no object of the pool is alive any more.
    void release_all();
    // Blocks carved from slabs so far, free ones included.
    std::size_t carved() const { return carved_; }

    static std::size_t class_of(std::size_t size) {
        using namespace pool_detail;
        if (size <= fine_max) return (std::max<std::size_t>(size, 16) - 16 + fine_step - 1) / fine_step;
        if (size <= mid_max) return fine_classes + (size - fine_max + mid_step - 1) / mid_step - 1;
        return fine_classes + mid_classes + (size - mid_max + coarse_step - 1) / coarse_step - 1;
    }
    static std::size_t block_size(std::size_t c) {
        using namespace pool_detail;
        if (c < fine_classes) return 16 + c * fine_step;
        if (c < fine_classes + mid_classes) return fine_max + (c - fine_classes + 1) * mid_step;
        return mid_max + (c - fine_classes - mid_classes + 1) * coarse_step;
    }

private:
    void* carve(std::size_t c);
    static void mark_free(void* p) {
        // Only the kind byte: the walk at the end of a run reads nothing else of a free block.
        const ObjKind free_kind = ObjKind::Free;
        std::memcpy(static_cast<char*>(p) + offsetof(Shared, kind), &free_kind, 1);
    }

    pool_detail::Slab* slabs_[classes] = {};
    pool_detail::FreeBlock* free_lists_[classes] = {};
    std::size_t carved_ = 0;
};

template <class F> void Pool::for_each_live(F&& f) {
    using namespace pool_detail;
    for (std::size_t c = 0; c < classes; ++c) {
        for (Slab* s = slabs_[c]; s; s = s->next) {
            char* first = reinterpret_cast<char*>(s) + slab_header;
            for (std::uint32_t i = 0; i < s->used; ++i) {
                char* block = first + std::size_t{i} * s->block;
                ObjKind kind;
                std::memcpy(&kind, block + offsetof(Shared, kind), 1);
                if (kind != ObjKind::Free) f(reinterpret_cast<Shared*>(block));
            }
        }
    }
}

} // namespace tarn
