#pragma once
// Intrusive, non-atomic reference counting for the shared kinds of values (middle and long
// strings, tables, closures, upvalue cells, prototypes). A count reaching zero frees the
// object through `destroy`, which frees chains of objects iteratively, so releasing a long
// linked structure never recurses deeply on the host stack.

#include <cstdint>
#include <utility>

namespace tarn {

class Shared {
public:
    Shared() = default;
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    virtual ~Shared() = default;

    std::uint32_t refs = 0;
};

// Frees an object whose count reached zero (deferred while another free is in progress).
void destroy(Shared* p);

inline void retain(Shared* p) { ++p->refs; }
inline void release(Shared* p) {
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

// Objects that can take part in reference cycles (tables, Lua closures, upvalue cells) are
// also linked into one list while they live. Nothing collects cycles during a run; when the
// run ends, `sweep_tracked` breaks whatever is still alive so that no object outlives it.
class Tracked : public Shared {
public:
    Tracked();
    ~Tracked() override;
    // Drops every reference this object holds to other values.
    virtual void clear_refs() = 0;

private:
    friend void sweep_tracked();
    Tracked* prev_ = nullptr;
    Tracked* next_ = nullptr;
};

// Frees every tracked object still alive (only cycles remain once the run's own values are
// gone). Called by the host at the end of each run, also after a fatal stop.
void sweep_tracked();

} // namespace tarn
