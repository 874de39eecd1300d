// Creation of the machine with its global environment, and the calling convention: entering
// and leaving Lua frames, calling natives, and completing the calling instruction once the
// callee's results are the top values of the stack.

#include "vm/exe_state.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "value/table.h"
#include "vm/builtins.h"
#include "vm/native.h"

namespace tarn {

ExeState::ExeState() {
    Rc<Table> env = make_rc<Table>(0, 0);
    auto install = [&](std::string_view name, NativeFn fn) {
        env->new_index(Value::string(name), Value::native(fn));
    };
    install("print", lib_print);
    install("type", lib_type);
    install("ipairs", ipairs);
    install("new_counter", test_new_counter);
    stack.reserve(1024);
    stack.emplace_back();
    stack.push_back(Value::shared(Kind::Table, env.get()));
    base = 1;
}

ExeState::~ExeState() = default;

void ExeState::execute_main(const Rc<FuncProto>& main) {
    // Whatever a stopped earlier run left behind is not a caller to return to.
    for (; depth_ > 0; --depth_) {
        CallFrame& f = frames_[depth_ - 1];
        f.callee = Value();
        f.varargs.clear();
        f.brokers.clear();
    }
    enter_lua(Value::shared(Kind::LuaFunction, main.get()), base);
    run();
}

void ExeState::enter_lua(const Value& fn, std::size_t new_base) {
    if (depth_ >= max_frames) fatal("stack overflow");
    if (depth_ == frames_.size()) frames_.emplace_back();
    init_frame(frames_[depth_], fn, new_base);
    ++depth_;
}

void ExeState::replace_frame(const Value& fn) {
    CallFrame& f = frames_[depth_ - 1];
    init_frame(f, fn, f.base);
}

void ExeState::init_frame(CallFrame& f, const Value& fn, std::size_t new_base) {
    // Copy the callee first: `fn` may be a stack slot that the entry steps below move.
    f.callee = fn;
    FuncProto* p;
    if (f.callee.kind() == Kind::LuaClosure) {
        f.closure = static_cast<LuaClosure*>(f.callee.as_shared());
        p = f.closure->proto.get();
    } else {
        f.closure = nullptr;
        p = static_cast<FuncProto*>(f.callee.as_shared());
    }
    f.proto = p;
    f.base = new_base;
    f.pc = 0;
    f.varargs.clear();
    if (p->trace_offsets.size() != p->byte_codes.size() + 1) p->finish();

    std::size_t top = new_base + p->nparam;
    if (stack.size() < top) {
        stack.resize(top);
    } else if (p->has_varargs && stack.size() > top) {
        auto from = stack.begin() + static_cast<std::ptrdiff_t>(top);
        f.varargs.assign(std::make_move_iterator(from), std::make_move_iterator(stack.end()));
        stack.erase(from, stack.end());
    }
}

std::size_t ExeState::call_native(std::size_t new_base) {
    const Value& fn = stack[new_base - 1];
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

bool ExeState::return_to_caller(std::size_t n) {
    CallFrame& done = frames_[--depth_];
    done.callee = Value();
    done.varargs.clear();
    done.brokers.clear();
    if (depth_ == 0) return false;
    CallFrame& caller = frames_[depth_ - 1];
    caller.pc += static_cast<std::size_t>(finish_call(caller.proto->byte_codes[caller.pc], caller.base, n));
    return true;
}

std::size_t ExeState::results_of_return(std::size_t first, std::size_t count, std::size_t fbase) {
    std::size_t from = fbase + first;
    if (count == 0) {
        if (from > stack.size()) fatal_bounds(stack.size(), from);
        return stack.size() - from;
    }
    truncate(from + count);
    // Results are registers: one that was never written is a read past the top.
    if (stack.size() < from + count) fatal_bounds(stack.size(), std::max(stack.size(), from));
    return count;
}

std::ptrdiff_t ExeState::finish_call(ByteCode ci, std::size_t fbase, std::size_t n) {
    std::size_t first = stack.size() - n;
    switch (ci.op) {
    case Op::Call: {
        std::size_t func = fbase + ci.a;
        stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(func),
                    stack.begin() + static_cast<std::ptrdiff_t>(first));
        if (n < ci.c) stack.resize(func + ci.c);
        return 0;
    }
    case Op::CallSet: {
        std::size_t dst = fbase + ci.a;
        if (n == 0)
            set_slot(dst, Value());
        else if (dst < stack.size())
            std::swap(stack[first], stack[dst]);
        else
            set_slot(dst, std::move(stack[first]));
        truncate(fbase + ci.b + 1);
        return 0;
    }
    case Op::ForCallLoop: {
        std::size_t b = fbase + ci.a;
        if (n == 0 || stack[first].is_nil()) return ci.c == 0 ? 1 : 0;
        stack[b + 2] = stack[first];
        stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(b + 3),
                    stack.begin() + static_cast<std::ptrdiff_t>(first));
        stack.resize(b + 3 + ci.b);
        return -static_cast<std::ptrdiff_t>(ci.c);
    }
    default:
        fatal("call completed by an instruction that makes no call");
    }
}

void ExeState::grow_set(std::size_t index, Value v) {
    if (index > stack.size()) stack.resize(index);
    stack.push_back(std::move(v));
}

double ExeState::make_float(std::size_t index) {
    if (index >= stack.size()) fatal_bounds(stack.size(), index);
    Value& v = stack[index];
    if (v.is_int()) {
        double f = static_cast<double>(v.as_int());
        v = Value::number(f);
        return f;
    }
    if (!v.is_float()) fatal("not number " + v.quoted());
    return v.as_float();
}

} // namespace tarn
