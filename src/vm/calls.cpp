// The out-of-line parts of the calling convention (calls.h has the inline ones): growing the
// frame stack, collecting varargs, calling natives, and the generic for's completion of a call.

#include "vm/calls.h"

#include <algorithm>

#include "vm/native.h"

namespace tarn {

void ExeState::grow_frames() {
    if (depth_ >= max_frames) fatal("stack overflow");
    frames_.emplace_back();
    frames_made_ = frames_.size();
    // The running frame moved with the vector.
    if (depth_ != 0) frame_ = frames_.data() + (depth_ - 1);
}

// Moves the arguments beyond the fixed parameters to the vararg stack.
void ExeState::collect_varargs(CallFrame& f, std::size_t fixed_top) {
    const std::size_t top_index = top();
    f.va_begin = static_cast<std::uint32_t>(varargs_.size());
    f.va_count = static_cast<std::uint32_t>(top_index - fixed_top);
    for (std::size_t k = fixed_top; k < top_index; ++k) varargs_.push_back(std::move(stack_[k]));
    top_ = stack_ + fixed_top;
    if (varargs_.size() + fixed_top > max_slots) fatal("stack overflow");
    room_end_ = std::min(room_end_, stack_ + (max_slots - varargs_.size()));
}

std::size_t ExeState::call_native(std::size_t new_base) {
    const Value& fn = stack_[new_base - 1];
    std::size_t saved = base;
    base = new_base;
    std::int32_t n;
    if (fn.kind() == Kind::NativeFunction) {
        n = fn.as_native()(*this);
    } else {
        // Held so the closure outlives its call even if the callee slot is overwritten.
        Rc<NativeClosure> closure(static_cast<NativeClosure*>(fn.as_shared()));
        n = closure->invoke(*this);
    }
    base = saved;
    return static_cast<std::size_t>(n);
}

// Removes stack[from .. to): what lies above moves down.
void ExeState::remove_range(std::size_t from, std::size_t to) {
    if (from == to) return;
    std::size_t end = top();
    for (std::size_t k = to; k < end; ++k) stack_[from + (k - to)] = std::move(stack_[k]);
    drop_above(from + (end - to));
}

// The generic for's completion of a call: results from R[b+3] on.
std::ptrdiff_t ExeState::finish_loop_call(ByteCode ci, Value* fbase, std::size_t n) {
    std::size_t first = top() - n;
    std::size_t b = index_of(fbase) + ci.a;
    if (n == 0 || stack_[first].is_nil()) return ci.c == 0 ? 1 : 0;
    stack_[b + 2] = stack_[first];
    remove_range(b + 3, first);
    std::size_t want = b + 3 + ci.b;
    if (top() > want)
        drop_above(want);
    else
        top_ = stack_ + want;
    return -static_cast<std::ptrdiff_t>(ci.c);
}

void ExeState::vararg_all(std::size_t dst, const CallFrame& f) {
    truncate(dst);
    check_room(dst + f.va_count);
    top_ = stack_ + dst;
    for (std::size_t k = 0; k < f.va_count; ++k) *top_++ = varargs_[f.va_begin + k];
}

} // namespace tarn
