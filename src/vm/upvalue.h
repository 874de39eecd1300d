#pragma once
// Captured variables: the upvalue cell (open on a live stack slot, or closed holding its own
// value) and the Lua closure made of a prototype and its cells. A cell starts open and is
// closed exactly once; it never reopens. The stack never moves while a run lives, so an open
// cell points straight at its slot and every access is one indirection, open or closed.

#include <cstddef>
#include <cstdint>

#include "bytecode/func_proto.h"
#include "utils/rc.h"
#include "value/value.h"

namespace tarn {

// Accesses to a cell are single operations of the one machine thread and never overlap, so
// the cell needs no borrow flag.
class Upvalue final : public Shared {
public:
    // An open cell on `slot`; from the run's pool, count at zero.
    static Upvalue* make(Value* slot);
    static void free(Upvalue* u);

    bool is_open() const { return v_ != &closed_; }
    // The variable: the live register while open, the cell's own value once closed.
    Value* get() const { return v_; }
    // Copies the register into the cell, which holds the variable from then on.
    void close() {
        closed_ = *v_;
        v_ = &closed_;
    }
    void clear_refs() { closed_ = Value(); }
    // Lets go of a slot whose stack goes away (the machine is torn down): nil from now on.
    void detach() { v_ = &closed_; }

    // The next open cell of the machine's list (lower slot) while this one is open; the next
    // object waiting to be freed once it is dead.
    union {
        Upvalue* next_open = nullptr;
        Shared* next_dead;
    };

private:
    explicit Upvalue(Value* slot) : Shared(ObjKind::Upvalue), v_(slot) {}
    Value* v_;
    Value closed_;
};

// Immutable after creation; cell i is upvalue i of the prototype, in `upindexes` order. The
// cells follow the object in the same block.
class LuaClosure final : public Identified {
public:
    // A closure of `p` with room for its cells, all null; from the run's pool, count at zero.
    static LuaClosure* make(FuncProto* p, std::size_t ncells);
    static void free(LuaClosure* c);

    FuncProto* proto() const { return proto_; }
    std::size_t ncells() const { return small; }
    Upvalue** cells() { return reinterpret_cast<Upvalue**>(this + 1); }
    Upvalue* const* cells() const { return reinterpret_cast<Upvalue* const*>(this + 1); }
    // Drops the prototype and the cells (also how a dead closure lets go of them).
    void clear_refs();

private:
    explicit LuaClosure(FuncProto* p) : Identified(ObjKind::LuaClosure), proto_(p) {}
    static std::size_t bytes_for(std::size_t ncells) {
        return sizeof(LuaClosure) + ncells * sizeof(Upvalue*);
    }
    FuncProto* proto_; // owns a reference
};

} // namespace tarn
