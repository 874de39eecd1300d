#pragma once
// The machine's state: one value stack shared by every active function, its top, and the base
// of the running native's arguments. Lua-to-Lua calls push explicit frame records instead of
// nesting on the host stack, so script recursion is bounded by checked limits, never by the
// host's own stack.
//
// Invariants (relied on by the dispatch loop):
// - The stack is one fixed block for the life of the state: values never move, so a pointer
//   into it stays valid across every call, return and native.
// - Every slot at or above `top_` is nil. Writing a register at or above the top raises the
//   top past it (the slots in between already read as nil); cutting the stack back releases
//   the values it drops.
// - A frame with prototype p owns slots base .. base + p->max_stack, which lie below
//   max_slots: entering the frame checks it, so instruction operands need no check against
//   the block's end. What runs up to the top (varargs, results) is checked where it grows.

#include <algorithm>
#include <array>
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

class Run;

// Lua frames alive at once (the main function's included).
inline constexpr std::size_t max_frames = 200000;
// Slots of the value stack and the vararg lists together. A call that would pass either
// limit stops with "stack overflow"; ordinary recursion reaches well over 100,000 levels.
inline constexpr std::size_t max_slots = 1000000;

// What the dispatch loop does besides executing: copy each trace line (`trace`), count down
// an instruction budget to look at the limits and the host (`metered`), write the annotated
// trace's notes of function changes (`annotate`), count every instruction's executions and
// every function's calls (`count`). One instantiation of the loop per combination in use, so
// the plain traced loop pays for none of the others.
struct LoopMode {
    bool trace = true;
    bool metered = false;
    bool annotate = false;
    bool count = false;
};
inline constexpr LoopMode loop_plain{true, false, false, false};
inline constexpr LoopMode loop_metered{true, true, false, false};
inline constexpr LoopMode loop_quiet{false, true, false, false};
inline constexpr LoopMode loop_counting{true, true, false, true};
inline constexpr LoopMode loop_counting_quiet{false, true, false, true};
// Annotated runs are for reading, not for speed: they always count, so one loop serves them.
inline constexpr LoopMode loop_annotated{true, true, true, true};
constexpr int loop_index(LoopMode m) {
    return (m.trace ? 1 : 0) | (m.metered ? 2 : 0) | (m.annotate ? 4 : 0) | (m.count ? 8 : 0);
}

// One running Lua function. The ip of a frame that made a call stays on the calling
// instruction until the callee returns; the return then completes that instruction.
struct CallFrame {
    const Instr* ip;
    FuncProto* proto;
    Upvalue* const* cells; // its closure's upvalue cells; null for a bare prototype
    Value* base;           // register 0
    // This frame's extra arguments: varargs_[va_begin, va_begin + va_count); va_begin is only
    // set when there are any.
    std::uint32_t va_begin;
    std::uint32_t va_count;
};

class ExeState {
public:
    // The stack [nil, global table] with the built-ins installed; base = 1.
    explicit ExeState(Run& run);
    ~ExeState();
    ExeState(const ExeState&) = delete;
    ExeState& operator=(const ExeState&) = delete;

    // How the next execute_main runs: the loop's mode (trace, annotate, count), the instruction
    // limit (0: none; implies metering), and how many executed steps to record.
    void configure(LoopMode mode, std::uint64_t max_instructions, std::size_t steps);
    // Runs the main function with no upvalue cells.
    void execute_main(const Rc<FuncProto>& main);
    // Instructions executed so far (only counted by a metered loop).
    std::uint64_t executed() const { return issued_ - budget_left_; }
    // The recorded steps: function (listing index), pc, output bytes before the step.
    const std::vector<std::array<std::uint64_t, 3>>& steps() const { return steps_; }
    // The Lua calls active now, innermost first: each frame's prototype and the index of the
    // instruction it runs (after a stop: the one that stopped, or the call it waits in).
    template <class F> void for_each_frame(F&& f) const {
        for (std::size_t d = depth_; d-- > 0;) {
            const CallFrame& fr = frames_[d];
            f(*fr.proto, static_cast<std::size_t>(fr.ip - fr.proto->instrs.data()));
        }
    }

    // The native calling convention: the arguments of the running native are
    // stack[base .. top()), its results are pushed.
    std::size_t base = 0;
    std::size_t top() const { return index_of(top_); }
    // Stack slot `index`, or the bounds stop when it lies at or beyond the top.
    [[gnu::always_inline]] const Value& at(std::size_t index) const { return reg(stack_ + index); }
    void push(Value v);
    // The run this machine belongs to: natives reach its output through it.
    Run& run() { return run_; }
    // Reused text buffer for natives that format output.
    std::string scratch;

private:
    void teardown();
    template <LoopMode M> void dispatch(); // the loop (src/vm/dispatch.cpp)
    // The loops a module links, by loop_index: set once when the module is set up, by
    // link_plain_loop (raw_input's traced loop) and link_mode_loops (every other mode). A
    // module links only what it runs, which keeps each within its size.
    using Loop = void (ExeState::*)();
    static inline Loop loops[16] = {};

public:
    static void link_plain_loop();
    static void link_mode_loops();

private:
    // The metered loop's look at the limits and the host, every `tick` instructions: stops at
    // the instruction limit, polls (Ctrl-C, the deadline), and hands out the next budget.
    std::uint64_t refill_budget(bool quiet);
    // The annotated trace's line for a change of function: `how` and the running function.
    void note_frame(const char* how);
    // Calls and returns (the hot ones are defined with the dispatch loop).
    CallFrame* enter_lua(Value* func);
    CallFrame* call(Value* func, std::size_t narg, char*& cur, const Instr*& ip);
    void replace_frame();
    CallFrame* return_to_caller(Value* first, std::size_t n);
    void tail_call_shift(std::size_t fb, std::size_t func);
    // A callee's frame, right above the running one (there is one: the main function's).
    CallFrame& push_frame() {
        if (depth_ == frames_made_) [[unlikely]]
            grow_frames();
        ++depth_;
        return *++frame_;
    }
    void grow_frames();
    void init_frame(CallFrame& f, Value* func);
    void check_room(std::size_t new_top);
    void collect_varargs(CallFrame& f, std::size_t fixed_top);
    std::size_t call_native(std::size_t new_base);
    std::size_t call_native(std::size_t new_base, char*& cur);
    std::ptrdiff_t finish_call(ByteCode ci, Value* fbase, Value* first, std::size_t n);
    std::ptrdiff_t finish_loop_call(ByteCode ci, Value* fbase, std::size_t n);
    // The number of results of a Return from `from`, count (0: up to the top), checked: results
    // are registers, and one that was never written is a read past the top.
    std::size_t results_of_return(Value* from, std::size_t count) {
        if (count == 0) {
            if (from > top_) fatal_bounds(top(), index_of(from));
            return static_cast<std::size_t>(top_ - from);
        }
        if (top_ < from + count) fatal_bounds(top(), std::max(top(), index_of(from)));
        return count;
    }
    void drop_varargs(const CallFrame& f) {
        // A frame's varargs are the newest ones: its callees have returned.
        if (f.va_count != 0) varargs_.resize(f.va_begin);
    }
    void remove_range(std::size_t from, std::size_t to);
    Upvalue* capture(Value* slot);
    void close_from(Value* level) {
        if (open_ && open_->get() >= level) close_cells(level);
    }
    void close_cells(Value* level);
    void vararg_all(std::size_t dst, const CallFrame& f);

    std::size_t index_of(const Value* slot) const { return static_cast<std::size_t>(slot - stack_); }
    // A register read: at or beyond the top it is the bounds stop.
    [[gnu::always_inline]] const Value& reg(const Value* slot) const {
        if (slot >= top_) [[unlikely]]
            fatal_bounds(top(), index_of(slot));
        return *slot;
    }
    [[gnu::always_inline]] void raise_top(Value* slot) {
        if (slot >= top_) top_ = slot + 1;
    }
    // Register writes with set_vec's meaning: a write at or above the top extends the stack.
    [[gnu::always_inline]] void store(Value* slot, Value v) {
        raise_top(slot);
        *slot = std::move(v);
    }
    [[gnu::always_inline]] void store_copy(Value* slot, const Value& v) {
        raise_top(slot);
        *slot = v;
    }
    [[gnu::always_inline]] void store_int(Value* slot, std::int64_t x) {
        raise_top(slot);
        slot->set_int(x);
    }
    [[gnu::always_inline]] void store_float(Value* slot, double x) {
        raise_top(slot);
        slot->set_float(x);
    }
    [[gnu::always_inline]] void store_bool(Value* slot, bool b) {
        raise_top(slot);
        slot->set_bool(b);
    }
    void set_slot(std::size_t index, Value v) { store(stack_ + index, std::move(v)); }
    void copy_slot(std::size_t index, const Value& v) { store_copy(stack_ + index, v); }
    // An open cell's register must still lie below the top.
    void check_open(const Upvalue* u) const {
        if (u->get() >= top_) fatal_bounds(top(), index_of(u->get()));
    }
    // The variable a cell stands for. The open cell's check lies on the straight path: the
    // commonest cells are those of a script's own functions using the locals of the chunk,
    // which stays running (and its cells open) for the whole run.
    [[gnu::always_inline]] const Value& held(const Upvalue* u) const {
        if (u->is_open()) [[likely]]
            check_open(u);
        return *u->get();
    }
    // Cuts the stack back to end at `end` (if it is longer), releasing what it drops.
    void truncate_to(Value* end) {
        if (top_ > end) drop_to(end);
    }
    // The top is lowered first: freeing a value never looks at the stack, but the stack stays
    // consistent all the same.
    void drop_to(Value* end) {
        Value* p = top_;
        top_ = end;
        while (p != end) (--p)->clear();
    }
    void truncate(std::size_t len) { truncate_to(stack_ + len); }
    void drop_above(std::size_t len) { drop_to(stack_ + len); }
    // R[dst] := a op b, with the number fast paths inline (defined with the dispatch loop).
    template <ArithOp op> void arith_into(Value* dst, const Value& a, const Value& b);
    template <ArithOp op> void arith_imm(Value* dst, const Value& a, std::uint64_t imm);
    double make_float(std::size_t index);
    // R[dst] := t[key] for a constant key and its hash (defined with the dispatch loop).
    void load_const_field(Value* dst, const Value& t, const Value& key, std::size_t hash);

    Run& run_;
    Value* stack_ = nullptr;
    Value* top_ = nullptr;
    std::size_t charged_ = 0; // stack slots charged to the memory ceiling so far
    std::vector<CallFrame> frames_;
    std::size_t depth_ = 0;      // frames_[0 .. depth_) are live; the rest are kept for reuse
    std::size_t frames_made_ = 0; // frames_.size(), kept apart: the vector divides by 40 for it
    CallFrame* frame_ = nullptr; // frames_[depth_ - 1], the running frame
    // The end of the slots a frame may reach without check_room: what is charged to the
    // ceiling, and below max_slots together with the vararg lists.
    Value* room_end_ = nullptr;
    std::vector<Value> varargs_;
    Upvalue* open_ = nullptr; // open cells, highest slot first; the list holds a reference to each

    LoopMode mode_ = loop_plain;
    std::uint64_t max_instructions_ = 0; // 0: none
    std::uint64_t issued_ = 0;           // instructions handed out as budgets so far
    std::uint64_t budget_left_ = 0;      // what the loop had left of its budget when it last left
    std::int64_t last_quiet_flush_ns_ = 0;
    std::size_t steps_wanted_ = 0;
    std::vector<std::array<std::uint64_t, 3>> steps_;
};

} // namespace tarn
