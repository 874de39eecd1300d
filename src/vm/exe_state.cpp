// Creation of the machine with its global environment, and the calling convention: entering
// and leaving Lua frames, calling natives, and completing the calling instruction once the
// callee's results are the top values of the stack.

#include "vm/exe_state.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <sys/mman.h>

#include "utils/memory.h"
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

ExeState::ExeState() {
    // Anonymous memory reads as zero bytes, which is nil: the whole block starts as nils.
    void* block = ::mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                         -1, 0);
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
        top_ = 2;
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
    memory::refund(charged_ * sizeof(Value));
    charged_ = 0;
}

void ExeState::execute_main(const Rc<FuncProto>& main) {
    // The main function's callee slot holds nil; the caller keeps the prototype alive.
    frames_.emplace_back();
    CallFrame& f = frames_[0];
    f.proto = main.get();
    f.closure = nullptr;
    f.base = 1;
    f.pc = 0;
    f.va_begin = 0;
    f.va_count = 0;
    check_room(1 + main->max_stack);
    if (top_ < 1 + main->nparam) top_ = 1 + main->nparam;
    ++depth_;
    run();
}

// Charges the stack up to `new_top` slots, or stops when it would pass the limit.
void ExeState::check_room(std::size_t new_top) {
    if (new_top + varargs_.size() > max_slots) fatal("stack overflow");
    if (new_top <= charged_) return;
    std::size_t to = std::min(max_slots, (new_top + charge_step - 1) / charge_step * charge_step);
    memory::charge((to - charged_) * sizeof(Value));
    charged_ = to;
}

void ExeState::enter_lua(std::size_t func) {
    if (depth_ >= max_frames) fatal("stack overflow");
    if (depth_ == frames_.size()) frames_.emplace_back();
    init_frame(frames_[depth_], func);
    ++depth_;
}

void ExeState::replace_frame() {
    CallFrame& f = frames_[depth_ - 1];
    drop_varargs(f);
    init_frame(f, f.base - 1);
}

void ExeState::init_frame(CallFrame& f, std::size_t func) {
    const Value& fn = stack_[func];
    FuncProto* p;
    LuaClosure* closure = nullptr;
    if (fn.kind() == Kind::LuaClosure) {
        closure = static_cast<LuaClosure*>(fn.as_shared());
        p = closure->proto();
    } else {
        p = static_cast<FuncProto*>(fn.as_shared());
    }
    const std::size_t new_base = func + 1;
    check_room(new_base + p->max_stack);
    if (p->trace_offsets.size() != p->byte_codes.size() + 1) p->finish();

    std::uint32_t va_begin = static_cast<std::uint32_t>(varargs_.size());
    std::uint32_t va_count = 0;
    const std::size_t fixed_top = new_base + p->nparam;
    if (top_ < fixed_top) {
        top_ = fixed_top; // the missing parameters read as nil
    } else if (p->has_varargs && top_ > fixed_top) {
        va_count = static_cast<std::uint32_t>(top_ - fixed_top);
        for (std::size_t k = fixed_top; k < top_; ++k) varargs_.push_back(std::move(stack_[k]));
        top_ = fixed_top;
    }
    f.proto = p;
    f.closure = closure;
    f.base = static_cast<std::uint32_t>(new_base);
    f.pc = 0;
    f.va_begin = va_begin;
    f.va_count = va_count;
}

void ExeState::drop_varargs(const CallFrame& f) {
    // A frame's varargs are the newest ones: its callees have returned.
    if (f.va_count != 0) varargs_.resize(f.va_begin);
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
    if (top_ >= max_slots + slack_slots) fatal("stack overflow");
    stack_[top_++] = std::move(v);
}

bool ExeState::return_to_caller(std::size_t n) {
    CallFrame& done = frames_[--depth_];
    drop_varargs(done);
    if (depth_ == 0) return false;
    CallFrame& caller = frames_[depth_ - 1];
    caller.pc += static_cast<std::uint32_t>(finish_call(caller.proto->byte_codes[caller.pc], caller.base, n));
    return true;
}

std::size_t ExeState::results_of_return(std::size_t first, std::size_t count, std::size_t fbase) {
    std::size_t from = fbase + first;
    if (count == 0) {
        if (from > top_) fatal_bounds(top_, from);
        return top_ - from;
    }
    truncate(from + count);
    // Results are registers: one that was never written is a read past the top.
    if (top_ < from + count) fatal_bounds(top_, std::max(top_, from));
    return count;
}

// Removes stack[from .. to): what lies above moves down.
void ExeState::remove_range(std::size_t from, std::size_t to) {
    if (from == to) return;
    std::size_t end = top_;
    for (std::size_t k = to; k < end; ++k) stack_[from + (k - to)] = std::move(stack_[k]);
    drop_above(from + (end - to));
}

std::ptrdiff_t ExeState::finish_call(ByteCode ci, std::size_t fbase, std::size_t n) {
    std::size_t first = top_ - n;
    switch (ci.op) {
    case Op::Call: {
        std::size_t func = fbase + ci.a;
        remove_range(func, first);
        if (n < ci.c) top_ = func + ci.c; // the slots above the results are nil
        return 0;
    }
    case Op::CallSet: {
        std::size_t dst = fbase + ci.a;
        if (n == 0)
            set_slot(dst, Value());
        else if (dst < top_)
            std::swap(stack_[first], stack_[dst]);
        else
            set_slot(dst, std::move(stack_[first]));
        truncate(fbase + ci.b + 1);
        return 0;
    }
    case Op::ForCallLoop: {
        std::size_t b = fbase + ci.a;
        if (n == 0 || stack_[first].is_nil()) return ci.c == 0 ? 1 : 0;
        stack_[b + 2] = stack_[first];
        remove_range(b + 3, first);
        std::size_t want = b + 3 + ci.b;
        if (top_ > want)
            drop_above(want);
        else
            top_ = want;
        return -static_cast<std::ptrdiff_t>(ci.c);
    }
    default:
        fatal("call completed by an instruction that makes no call");
    }
}

void ExeState::tail_call_shift(std::size_t fb, std::size_t func) {
    // The new callee and its arguments take the place of the running function's own callee.
    remove_range(fb - 1, std::min(func, top_));
}

void ExeState::drop_above(std::size_t len) {
    // Highest first, and the top lowered before each release: freeing a value never looks at
    // the stack, but the stack stays consistent all the same.
    while (top_ > len) {
        Value dropped = std::move(stack_[--top_]);
    }
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

void ExeState::close_from(std::size_t level) {
    Value* limit = stack_ + level;
    while (open_ && open_->get() >= limit) {
        Upvalue* cell = open_;
        std::size_t slot = static_cast<std::size_t>(cell->get() - stack_);
        if (slot >= top_) fatal_bounds(top_, slot);
        open_ = cell->next_open;
        cell->next_open = nullptr;
        cell->close();
        release(cell);
    }
}

void ExeState::vararg_all(std::size_t dst, const CallFrame& f) {
    truncate(dst);
    check_room(dst + f.va_count);
    top_ = dst;
    for (std::size_t k = 0; k < f.va_count; ++k) stack_[top_++] = varargs_[f.va_begin + k];
}

double ExeState::make_float(std::size_t index) {
    if (index >= top_) fatal_bounds(top_, index);
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
