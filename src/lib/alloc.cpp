// The module's operator new and delete: malloc and free, with every block counted by its usable
// size, and checked against the ceiling of the active run (the C++ library's containers cannot be
// handed a run, so they reach it through Run::active). They are local to the module (its only
// export is the init function), so they count exactly the interpreter's own allocations.

#include <cstdlib>
#include <malloc.h>
#include <new>

#include "utils/memory.h"
#include "utils/run.h"

namespace {

using tarn::memory::add;
using tarn::memory::sub;

[[noreturn]] [[gnu::cold]] void exhausted() {
    if (tarn::Run* run = tarn::Run::active()) run->exhausted();
    throw tarn::OutOfMemory();
}

void* allocate(std::size_t n, std::size_t align) {
    tarn::Run* run = tarn::Run::active();
    if (run && !run->admits(n)) run->exhausted();
    void* p = nullptr;
    if (align <= alignof(std::max_align_t)) {
        p = std::malloc(n == 0 ? 1 : n);
    } else if (::posix_memalign(&p, align, n == 0 ? align : n) != 0) {
        p = nullptr;
    }
    if (!p) exhausted();
    add(::malloc_usable_size(p));
    return p;
}

void* allocate_nothrow(std::size_t n, std::size_t align) noexcept {
    try {
        return allocate(n, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void deallocate(void* p) noexcept {
    if (!p) return;
    sub(::malloc_usable_size(p));
    std::free(p);
}

constexpr std::size_t plain = alignof(std::max_align_t);

} // namespace

void* operator new(std::size_t n) { return allocate(n, plain); }
void* operator new[](std::size_t n) { return allocate(n, plain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n, plain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n, plain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_nothrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_nothrow(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
