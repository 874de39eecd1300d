// Creation of the machine with its global environment, and the calling convention: entering
// and leaving Lua frames, calling natives, and completing the calling instruction once the
// callee's results are the top values of the stack.

#include "vm/exe_state.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <sys/mman.h>

#include "utils/memory.h"
#include "utils/run.h"
#include "value/table.h"
#include "vm/builtins.h"
#include "vm/native.h"

namespace tarn {

namespace {

// Room above max_slots for what natives push on top of a full stack.
constexpr std::size_t slack_slots = 64;
constexpr std::size_t mapped_bytes = (max_slots + slack_slots) * sizeof(Value);
// The stack is charged to the memory ceiling as it is first reached, in steps of this many
// slots (the pages behind the block are only taken from the system when touched).
constexpr std::size_t charge_step = 4096;

} // namespace

ExeState::ExeState(Run& run) : run_(run) {
    // Anonymous memory reads as zero bytes, and a nil is sixteen zero bytes (src/value/value.h):
    // the whole block starts as nils without a pass over it.
    void* block = ::mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) throw OutOfMemory();
    stack_ = static_cast<Value*>(block);
    try {
        check_room(charge_step);
        Value env = new_table(0, 0);
        auto install = [&](std::string_view name, NativeFn fn) {
            env.as_table()->new_index(Value::string(name), Value::native(fn));
        };
        install("print", lib_print);
        install("type", lib_type);
        install("ipairs", ipairs);
        install("new_counter", test_new_counter);
        stack_[1] = std::move(env);
        top_ = stack_ + 2;
        base = 1;
    } catch (...) {
        teardown();
        throw;
    }
}

ExeState::~ExeState() { teardown(); }

void ExeState::teardown() {
    // Open cells would outlive the block they point into: they keep nil from now on.
    while (Upvalue* u = open_) {
        open_ = u->next_open;
        u->next_open = nullptr;
        u->detach();
        release(u);
    }
    varargs_.clear();
    drop_above(0);
    ::munmap(stack_, mapped_bytes);
    run_.refund(charged_ * sizeof(Value));
    charged_ = 0;
}

void ExeState::execute_main(const Rc<FuncProto>& main) {
    // The main function's callee slot holds nil; the caller keeps the prototype alive.
    CallFrame& f = push_frame();
    f.proto = main.get();
    f.closure = nullptr;
    f.base = 1;
    f.ip = main->instrs.data();
    f.va_begin = 0;
    f.va_count = 0;
    check_room(1 + main->max_stack);
    if (top() < 1 + main->nparam) top_ = stack_ + 1 + main->nparam;
    dispatch();
}

// Charges the stack up to `new_top` slots, or stops when it would pass the limit.
void ExeState::check_room(std::size_t new_top) {
    if (new_top + varargs_.size() > max_slots) fatal("stack overflow");
    if (new_top > charged_) {
        std::size_t to = std::min(max_slots, (new_top + charge_step - 1) / charge_step * charge_step);
        run_.charge((to - charged_) * sizeof(Value));
        charged_ = to;
    }
    room_ = std::min(charged_, max_slots - varargs_.size());
}

void ExeState::grow_frames() {
    if (depth_ >= max_frames) fatal("stack overflow");
    frames_.emplace_back();
}

// Moves the arguments beyond the fixed parameters to the vararg stack.
void ExeState::collect_varargs(CallFrame& f, std::size_t fixed_top) {
    const std::size_t top_index = top();
    f.va_count = static_cast<std::uint32_t>(top_index - fixed_top);
    for (std::size_t k = fixed_top; k < top_index; ++k) varargs_.push_back(std::move(stack_[k]));
    top_ = stack_ + fixed_top;
    if (varargs_.size() + fixed_top > max_slots) fatal("stack overflow");
    room_ = std::min(room_, max_slots - varargs_.size());
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

void ExeState::push(Value v) {
    if (top_ >= stack_ + max_slots + slack_slots) fatal("stack overflow");
    *top_++ = std::move(v);
}

// Removes stack[from .. to): what lies above moves down.
void ExeState::remove_range(std::size_t from, std::size_t to) {
    if (from == to) return;
    std::size_t end = top();
    for (std::size_t k = to; k < end; ++k) stack_[from + (k - to)] = std::move(stack_[k]);
    drop_above(from + (end - to));
}

// The generic for's completion of a call: results from R[b+3] on.
std::ptrdiff_t ExeState::finish_loop_call(ByteCode ci, std::size_t fbase, std::size_t n) {
    std::size_t first = top() - n;
    std::size_t b = fbase + ci.a;
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

Upvalue* ExeState::capture(Value* slot) {
    Upvalue** link = &open_;
    while (*link && (*link)->get() > slot) link = &(*link)->next_open;
    if (*link && (*link)->get() == slot) return *link;
    Upvalue* cell = Upvalue::make(slot);
    retain(cell);
    cell->next_open = *link;
    *link = cell;
    return cell;
}

void ExeState::close_cells(std::size_t level) {
    Value* limit = stack_ + level;
    while (open_ && open_->get() >= limit) {
        Upvalue* cell = open_;
        std::size_t slot = static_cast<std::size_t>(cell->get() - stack_);
        if (slot >= top()) fatal_bounds(top(), slot);
        open_ = cell->next_open;
        cell->next_open = nullptr;
        cell->close();
        release(cell);
    }
}

void ExeState::vararg_all(std::size_t dst, const CallFrame& f) {
    truncate(dst);
    check_room(dst + f.va_count);
    top_ = stack_ + dst;
    for (std::size_t k = 0; k < f.va_count; ++k) *top_++ = varargs_[f.va_begin + k];
}

double ExeState::make_float(std::size_t index) {
    if (index >= top()) fatal_bounds(top(), index);
    Value& v = stack_[index];
    if (v.is_int()) {
        double f = static_cast<double>(v.as_int());
        v.set_float(f);
        return f;
    }
    if (!v.is_float()) fatal("not number " + v.quoted());
    return v.as_float();
}

} // namespace tarn
