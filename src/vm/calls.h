#pragma once
// The calling convention of Lua frames, inline for the dispatch loop (the only file that
// includes this one): entering a function (fixed parameters, varargs moved to the vararg
// stack), a tail call taking over the running frame, returning with a fixed or a variable
// number of results and completing the caller's calling instruction, and calls of natives from
// the loop. The out-of-line parts are in calls.cpp.

#include <algorithm>
#include <cstddef>

#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/run.h"
#include "vm/exe_state.h"
#include "vm/native.h"

namespace tarn {

// Enters the Lua function held by *func: its frame starts right above it. Returns the new frame.
[[gnu::always_inline]] inline CallFrame* ExeState::enter_lua(Value* func) {
    CallFrame& f = push_frame();
    init_frame(f, func);
    return &f;
}

[[gnu::always_inline]] inline void ExeState::init_frame(CallFrame& f, Value* func) {
    const Value& fn = *func;
    FuncProto* p;
    Upvalue* const* cells = nullptr;
    if (fn.kind() == Kind::LuaClosure) [[likely]] {
        auto* closure = static_cast<LuaClosure*>(fn.as_shared());
        p = closure->proto();
        cells = closure->cells();
    } else {
        p = static_cast<FuncProto*>(fn.as_shared());
    }
    Value* const new_base = func + 1;
    // The frame names its function before anything can fail, so a stop's report finds it.
    f.ip = p->instrs.data();
    f.proto = p;
    f.cells = cells;
    f.base = new_base;
    f.va_count = 0;
    if (new_base + p->max_stack > room_end_) [[unlikely]]
        check_room(index_of(new_base) + p->max_stack);
    // Most calls pass exactly the parameters.
    Value* const fixed_top = new_base + p->nparam;
    if (top_ != fixed_top) [[unlikely]] {
        if (top_ < fixed_top)
            top_ = fixed_top; // the missing parameters read as nil
        else if (p->has_varargs)
            collect_varargs(f, index_of(fixed_top));
    }
}

// A tail call's callee takes over the running frame.
inline void ExeState::replace_frame() {
    CallFrame& f = *frame_;
    drop_varargs(f);
    init_frame(f, f.base - 1);
}

// Leaves the running frame with its n results at `first` (anything above them is the frame's
// own and goes), and completes the caller's calling instruction; returns the caller's frame, now
// the running one, or null when the main function returned.
[[gnu::always_inline]] inline CallFrame* ExeState::return_to_caller(Value* first, std::size_t n) {
    CallFrame& done = *frame_;
    drop_varargs(done);
    if (--depth_ == 0) {
        truncate_to(first + n);
        return nullptr;
    }
    // The frame below the one that returns (frames are contiguous).
    CallFrame& caller = *(frame_ = &done - 1);
    // Only the generic for moves the ip on: the other forms skip the write.
    const std::ptrdiff_t step = finish_call(caller.ip->code, caller.base, first, n);
    if (step != 0) caller.ip += step;
    return &caller;
}

// Completes a calling instruction once the callee's n results are at `first`, with nothing but
// the callee's own slots above them; returns how far the caller's ip moves on besides the usual
// step. Each form cuts the stack once, whatever the callee left.
[[gnu::always_inline]] inline std::ptrdiff_t ExeState::finish_call(ByteCode ci, Value* fbase, Value* first,
                                                                   std::size_t n) {
    if (ci.op == Op::Call) {
        // The results move down to the callee's slot; everything above them goes.
        Value* const func = fbase + ci.a;
        if (func != first)
            for (std::size_t k = 0; k < n; ++k) func[k] = std::move(first[k]);
        truncate_to(func + n);
        if (n < ci.c) top_ = func + ci.c; // the slots above the results are nil
        return 0;
    }
    if (ci.op == Op::CallSet) {
        Value* const dst = fbase + ci.a;
        if (n == 0)
            store(dst, Value());
        else if (dst < top_)
            first->swap(*dst);
        else
            store(dst, std::move(*first));
        truncate_to(fbase + ci.b + 1);
        return 0;
    }
    truncate_to(first + n);
    return finish_loop_call(ci, fbase, n);
}

// The new callee of a tail call and its arguments take the place of the running function's own
// callee.
inline void ExeState::tail_call_shift(std::size_t fb, std::size_t func) {
    remove_range(fb - 1, std::min(func, top()));
}

// A native call from the loop: natives write output, so the loop's cursor goes to the writer
// for the call and comes back after it.
[[gnu::always_inline]] inline std::size_t ExeState::call_native(std::size_t new_base, char*& cur) {
    Output& output = run_.output();
    output.set_cursor(cur);
    std::size_t n = call_native(new_base);
    cur = output.cursor();
    return n;
}

// The calls of Call and CallSet: the callee in *func with narg as the instructions have it.
// A Lua callee gets its frame, which is returned (the loop goes on in it); a native runs at
// once, and its results complete the instruction here (null). `cur` and `ip` are the loop's own.
[[gnu::always_inline]] inline CallFrame* ExeState::call(Value* func, std::size_t narg, char*& cur,
                                                        const Instr*& ip) {
    if (narg != 0) [[likely]]
        truncate_to(func + narg);
    const Value& fn = reg(func);
    if (fn.is_lua_function()) [[likely]] {
        frame_->ip = ip;
        return enter_lua(func);
    }
    if (fn.kind() != Kind::NativeFunction && fn.kind() != Kind::NativeClosure)
        fatal("invalid function: " + fn.quoted());
    const std::size_t n = call_native(index_of(func) + 1, cur);
    ip += finish_call(ip->code, frame_->base, top_ - n, n);
    return nullptr;
}

} // namespace tarn
