#pragma once
// The machine's state: one value stack shared by every active function and the base index
// of the running function's register 0. Lua-to-Lua calls push explicit frame records instead
// of nesting on the host stack, so script recursion is bounded by `max_frames`, never by the
// host's own stack.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytecode/func_proto.h"
#include "utils/fatal.h"
#include "value/arith.h"
#include "value/value.h"
#include "vm/upvalue.h"

namespace tarn {

// Lua frames alive at once (the main function's included). A frame costs about a hundred
// bytes plus its registers, so the limit keeps a runaway recursion to some tens of
// megabytes before it stops with "stack overflow".
inline constexpr std::size_t max_frames = 200000;

// One running Lua function. The pc of a frame that made a call stays on the calling
// instruction until the callee returns; the return then completes that instruction.
struct CallFrame {
    Value callee; // keeps the prototype or closure alive while it runs
    FuncProto* proto = nullptr;
    LuaClosure* closure = nullptr; // null for a bare prototype, which has no cells
    std::size_t base = 0;
    std::size_t pc = 0;
    std::vector<Value> varargs;      // arguments beyond the parameters, for vararg functions
    std::vector<OpenBroker> brokers; // open cells on this frame's registers, sorted by slot
};

class ExeState {
public:
    // The stack [nil, global table] with the built-ins installed; base = 1.
    ExeState();
    ~ExeState();
    ExeState(const ExeState&) = delete;
    ExeState& operator=(const ExeState&) = delete;

    // Runs the main function with no upvalue cells.
    void execute_main(const Rc<FuncProto>& main);

    // Stack slot `index`, or the bounds stop when it lies at or beyond the top.
    [[gnu::always_inline]] const Value& at(std::size_t index) const {
        if (index >= stack.size()) [[unlikely]]
            fatal_bounds(stack.size(), index);
        return stack[index];
    }

    std::vector<Value> stack;
    std::size_t base = 0;
    // Reused text buffer for natives that format output.
    std::string scratch;

private:
    void run();
    void enter_lua(const Value& fn, std::size_t new_base);
    void replace_frame(const Value& fn);
    void init_frame(CallFrame& f, const Value& fn, std::size_t new_base);
    std::size_t call_native(std::size_t new_base);
    bool return_to_caller(std::size_t n);
    std::ptrdiff_t finish_call(ByteCode ci, std::size_t fbase, std::size_t n);
    std::size_t results_of_return(std::size_t first, std::size_t count, std::size_t fbase);

    // Register writes, with set_vec's meaning (a write past the top first extends the stack
    // with nil) and its common cases inline.
    [[gnu::always_inline]] void set_slot(std::size_t index, Value v) {
        if (index < stack.size())
            stack[index] = std::move(v);
        else if (index == stack.size())
            stack.push_back(std::move(v));
        else
            grow_set(index, std::move(v));
    }
    [[gnu::always_inline]] void copy_slot(std::size_t index, const Value& v) {
        if (index < stack.size())
            stack[index] = v;
        else if (index == stack.size())
            stack.push_back(v); // safe when v lives in the stack: push_back allows aliasing
        else
            grow_set(index, Value(v));
    }
    [[gnu::always_inline]] void put_int(std::size_t index, std::int64_t x) {
        if (index < stack.size()) {
            stack[index].set_int(x);
        } else if (index == stack.size()) {
            stack.emplace_back();
            stack.back().set_int(x);
        } else {
            grow_set(index, Value::integer(x));
        }
    }
    [[gnu::always_inline]] void put_float(std::size_t index, double x) {
        if (index < stack.size()) {
            stack[index].set_float(x);
        } else if (index == stack.size()) {
            stack.emplace_back();
            stack.back().set_float(x);
        } else {
            grow_set(index, Value::number(x));
        }
    }
    void grow_set(std::size_t index, Value v);
    // R[dst] := a op b, with the number fast paths inline (defined with the dispatch loop).
    template <ArithOp op> void arith_into(std::size_t dst, const Value& a, const Value& b);
    void truncate(std::size_t len) {
        if (stack.size() > len) stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(len), stack.end());
    }
    double make_float(std::size_t index);

    std::vector<CallFrame> frames_;
    std::size_t depth_ = 0; // frames_[0 .. depth_) are live; the rest are kept for reuse
};

} // namespace tarn
