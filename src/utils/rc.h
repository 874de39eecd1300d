#pragma once
// Intrusive, non-atomic reference counting for the shared objects (middle and long strings,
// tables, native closures, prototypes, Lua closures, upvalue cells). Every object starts with
// the same 8-byte header: its count and which object it is. There are no virtual functions:
// `destroy` (src/vm/heap.cpp) frees by kind, iteratively, so releasing a long linked structure
// never recurses on the host stack and freeing never allocates.

#include <cstdint>
#include <utility>

namespace tarn {

enum class ObjKind : std::uint8_t {
    Free, // a free slot of the small-object pool
    MiddleStr,
    LongStr,
    Table,
    NativeClosure,
    FuncProto,
    LuaClosure,
    Upvalue,
};

struct Shared {
    explicit Shared(ObjKind k) : kind(k) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    std::uint32_t refs = 0;
    ObjKind kind;
    std::uint8_t small = 0; // per kind: a middle string's length, a closure's cell count
    std::uint16_t spare = 0;
};

// The objects that print with an identity (tables, closures, prototypes): every one gets the
// next number of its run (src/utils/run.h) when it is made, so a run prints the same bytes every time. Once
// the object is dead the number's place links it into the list of objects waiting to be freed.
struct Identified : Shared {
    explicit Identified(ObjKind k);
    union {
        std::uint64_t id;
        Shared* next_dead;
    };
};

// Frees an object whose count reached zero, with everything only it held: the active run's
// Run::destroy, reached this way because the last reference may be dropped by any value's
// destructor, which has no run at hand. Freeing never fails, and saying so spares every
// release the cleanup code for an exception that cannot come.
void destroy(Shared* p) noexcept;

[[gnu::always_inline]] inline void retain(Shared* p) { ++p->refs; }
[[gnu::always_inline]] inline void release(Shared* p) {
    if (--p->refs == 0) destroy(p);
}

// Owning handle: copying adds a reference, destruction drops one.
template <class T> class Rc {
public:
    Rc() = default;
    explicit Rc(T* p) : p_(p) {
        if (p_) retain(p_);
    }
    Rc(const Rc& o) : p_(o.p_) {
        if (p_) retain(p_);
    }
    Rc(Rc&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U> Rc(const Rc<U>& o) : Rc(o.get()) {}
    Rc& operator=(Rc o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Rc() {
        if (p_) release(p_);
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

template <class T, class... A> Rc<T> make_rc(A&&... a) { return Rc<T>(new T(std::forward<A>(a)...)); }

} // namespace tarn
