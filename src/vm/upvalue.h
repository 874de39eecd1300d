#pragma once
// Captured variables: the upvalue cell (open on a live stack slot, or closed holding its own
// value), the per-frame record of an open cell, and the Lua closure made of a prototype and
// its cells. A cell starts open and is closed exactly once; it never reopens.

#include <cstddef>
#include <vector>

#include "bytecode/func_proto.h"
#include "utils/rc.h"
#include "value/value.h"

namespace tarn {

// Accesses to a cell are single operations of the one machine thread and never overlap, so
// the cell needs no borrow flag.
class Upvalue final : public Tracked {
public:
    explicit Upvalue(std::size_t slot) : slot_(slot) {}

    bool is_open() const { return open_; }
    // The absolute stack index of the variable while the cell is open.
    std::size_t slot() const { return slot_; }
    // The variable's own value once the cell is closed.
    const Value& closed_value() const { return value_; }
    void set_closed_value(Value v) { value_ = std::move(v); }
    void close(Value v) {
        open_ = false;
        value_ = std::move(v);
    }

    void clear_refs() override { value_ = Value(); }

private:
    bool open_ = true;
    std::size_t slot_;
    Value value_;
};

// One open cell of a frame. A frame's list stays sorted by slot with at most one record per
// slot, so every closure capturing a local in one activation shares that local's cell.
struct OpenBroker {
    std::size_t slot;
    Rc<Upvalue> cell;
};

// The cell of `slot` in the frame's sorted list, created open (and recorded) on first capture.
Rc<Upvalue> capture_slot(std::vector<OpenBroker>& brokers, std::size_t slot);

// Closes every cell of [first, last) with the current value of its slot, in list order.
// The records are left for the caller to erase.
void close_brokers(const std::vector<Value>& stack, OpenBroker* first, OpenBroker* last);

// Closes and removes the records whose slot is `from` or above.
void close_from(const std::vector<Value>& stack, std::vector<OpenBroker>& brokers, std::size_t from);

// Immutable after creation; cell i is upvalue i of the prototype, in `upindexes` order.
class LuaClosure final : public Tracked {
public:
    LuaClosure(Rc<FuncProto> p, std::vector<Rc<Upvalue>> cells)
        : proto(std::move(p)), upvalues(std::move(cells)) {}

    void clear_refs() override {
        proto = Rc<FuncProto>();
        upvalues.clear();
    }

    Rc<FuncProto> proto;
    std::vector<Rc<Upvalue>> upvalues;
};

} // namespace tarn
