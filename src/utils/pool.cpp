// A class takes a slab when its free list is empty and its newest slab is carved out; slabs go
// back only when the run ends.

#include "utils/pool.h"

#include <new>

namespace tarn {

using pool_detail::Slab;
using pool_detail::slab_bytes;
using pool_detail::slab_header;

void* Pool::carve(std::size_t c) {
    Slab* s = slabs_[c];
    std::size_t block = block_size(c);
    if (!s || slab_header + (std::size_t{s->used} + 1) * block > slab_bytes) {
        s = static_cast<Slab*>(::operator new(slab_bytes));
        s->next = slabs_[c];
        s->block = static_cast<std::uint32_t>(block);
        s->used = 0;
        slabs_[c] = s;
    }
    void* p = reinterpret_cast<char*>(s) + slab_header + std::size_t{s->used} * block;
    ++s->used;
    ++carved_;
    mark_free(p);
    return p;
}

void Pool::release_all() {
    for (std::size_t c = 0; c < classes; ++c) {
        for (Slab* s = slabs_[c]; s;) {
            Slab* next = s->next;
            ::operator delete(s);
            s = next;
        }
        slabs_[c] = nullptr;
        free_lists_[c] = nullptr;
    }
    carved_ = 0;
}

} // namespace tarn
