// The dispatch loop: for every instruction of every Lua frame of a run, copy its prepared
// trace line to the output, then execute it. Lua calls push a frame and stay in this loop;
// returns pop it and complete the caller's calling instruction.
//
// Hazards: hot state lives in locals, and some operations invalidate what they cache.
//  1. The stack block never moves (see exe_state.h), but its top does: a register read checks
//     it, and a value taken from a register is a copy or a reference that no write, call or
//     cut may outlive.
//  2. The output cursor lives in the local `cur`: whatever else writes output runs inside
//     WITH_OUTPUT, which hands the cursor to the writer before and takes it back after; the loop
//     leaves through LEAVE_LOOP, which hands it back; natives are called through
//     call_native(new_base, cur), which does both. An exception hands it back on its way out.
//  3. Entering or leaving a Lua frame may reallocate `frames_` and changes every cached frame
//     value: it runs inside FRAME_CHANGE, which saves ip into the running frame before and
//     reloads the frame's values (LOAD_FRAME) after. Call and CallSet go through call(), which
//     saves ip itself before a Lua callee's frame is pushed, and reload when it says so; a
//     native callee leaves the frame as it was.
//  4. Table stores, cuts of the stack and cell closing release values, which may free other
//     objects (never the stack, the running closure or prototype, or the table operated on,
//     which are all held elsewhere).
//  5. Every instruction ends in NEXT (or DISPATCH, when the ip is already the next one), a
//     computed goto that runs no destructors: a local with one lives in an inner block that
//     ends before it.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "utils/output.h"
#include "utils/run.h"
#include "value/arith.h"
#include "value/table.h"
#include "vm/calls.h"
#include "vm/exe_state.h"

namespace tarn {

namespace {

std::int64_t wrap(std::uint64_t x) { return static_cast<std::int64_t>(x); }
std::uint64_t bits(std::int64_t x) { return static_cast<std::uint64_t>(x); }

// An instruction's 32-bit word (tag, a, b, c), zero-extended.
[[gnu::always_inline]] inline std::uint64_t load_word(const Instr* ip) {
    std::uint32_t w;
    std::memcpy(&w, &ip->code, sizeof w);
    return w;
}

// Which operators have an inline path for two integers (giving an integer) and for two
// floats; everything else, mixed operands and every failure go to `arith`.
template <ArithOp op> constexpr bool int_fast = (op != ArithOp::Pow && op != ArithOp::Div);
template <ArithOp op>
constexpr bool float_fast =
    op == ArithOp::Add || op == ArithOp::Sub || op == ArithOp::Mul || op == ArithOp::Div;

template <ArithOp op> [[gnu::always_inline]] inline std::int64_t int_op(std::int64_t x, std::int64_t y) {
    if constexpr (op == ArithOp::Add) return wrap(bits(x) + bits(y));
    if constexpr (op == ArithOp::Sub) return wrap(bits(x) - bits(y));
    if constexpr (op == ArithOp::Mul) return wrap(bits(x) * bits(y));
    // A positive divisor can neither be zero nor overflow; the rest is checked out of line.
    if constexpr (op == ArithOp::Mod) return y > 0 ? x % y : int_mod(x, y);
    if constexpr (op == ArithOp::Idiv) return y > 0 ? x / y : int_idiv(x, y);
    if constexpr (op == ArithOp::BitAnd) return x & y;
    if constexpr (op == ArithOp::BitXor) return x ^ y;
    if constexpr (op == ArithOp::BitOr) return x | y;
    if constexpr (op == ArithOp::ShiftL) return wrap(bits(x) << (y & 63));
    if constexpr (op == ArithOp::ShiftR) return x >> (y & 63);
    return 0;
}

template <ArithOp op> [[gnu::always_inline]] inline double float_op(double x, double y) {
    if constexpr (op == ArithOp::Add) return x + y;
    if constexpr (op == ArithOp::Sub) return x - y;
    if constexpr (op == ArithOp::Mul) return x * y;
    return x / y;
}

// The general cases of arithmetic and order, for the operands the loop has no inline path for
// (and every failure). Cold, so that the compiler lays out the inline paths straight and these
// calls off to the side: left to itself it made the call the straight path and jumped out and
// back for two integers.
[[gnu::cold, gnu::noinline]] Value arith_general(ArithOp op, const Value& a, const Value& b) {
    return arith(op, a, b);
}

[[gnu::cold, gnu::noinline]] Order ordered_general(const Value& a, const Value& b) {
    Order o = partial_cmp(a, b);
    if (o == Order::None) fatal(unwrap_none);
    return o;
}

[[gnu::always_inline]] inline bool equal(const Value& a, const Value& b) {
    if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
    return a == b;
}

// Two floats in the order of their values; NaN has none.
[[gnu::always_inline]] inline Order float_order(double x, double y) {
    const Order o = order_of(x, y);
    if (o == Order::None) [[unlikely]]
        fatal(unwrap_none);
    return o;
}

// Integers and floats of their own kind are compared here; mixed numbers and strings out of
// line.
[[gnu::always_inline]] inline Order ordered(const Value& a, const Value& b) {
    if (a.is_int() && b.is_int()) {
        std::int64_t x = a.as_int();
        std::int64_t y = b.as_int();
        return x < y ? Order::Less : (x > y ? Order::Greater : Order::Equal);
    }
    if (a.is_float() && b.is_float()) return float_order(a.as_float(), b.as_float());
    return ordered_general(a, b);
}

// The immediate forms compare a number exactly with the immediate; a float against it as a
// float (exact, since the immediate is at most 255), so NaN has no order here either. What
// meets a small integer is mostly an integer (a counter, an argument): that path runs straight.
[[gnu::always_inline]] inline Order ordered_imm(const Value& a, std::int64_t imm) {
    if (a.is_int()) [[likely]] {
        std::int64_t x = a.as_int();
        return x < imm ? Order::Less : (x > imm ? Order::Greater : Order::Equal);
    }
    if (!a.is_float()) fatal("invalid compare");
    return float_order(a.as_float(), static_cast<double>(imm));
}

// The integer limit of an integer loop given a float limit; `skip` when no counter value
// can reach it.
std::int64_t int_limit(double limit, std::int64_t step, bool& skip) {
    constexpr double two63 = 9223372036854775808.0;
    if (step > 0) {
        if (limit < -two63) {
            skip = true;
            return -1;
        }
        return float_to_int_saturating(std::floor(limit));
    }
    if (limit > two63) {
        skip = true;
        return 1;
    }
    return float_to_int_saturating(std::ceil(limit));
}

[[gnu::always_inline]] inline double as_number(const Value& v) {
    return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
}

// A store with a key that is not an integer. To a string field the table already has, it is
// the lookup and the store, inline.
[[gnu::always_inline]] inline void set_field(const Value& t, const Value& key, const Value& v) {
    if (t.is_table() && key.is_string()) {
        if (Value* slot = t.as_table()->find_string(key)) {
            *slot = v;
            return;
        }
    }
    new_index(t, Value(key), Value(v));
}

// The same with a constant key and its hash, made when its function was finished.
[[gnu::always_inline]] inline void set_const_field(const Value& t, const Value& key, std::size_t hash,
                                                   const Value& v) {
    if (t.is_table() && key.is_string()) {
        if (Value* slot = t.as_table()->find_string(key, hash)) {
            *slot = v;
            return;
        }
    }
    new_index(t, Value(key), Value(v));
}

// A read with any key; a string goes straight to the hash part.
[[gnu::always_inline]] inline Value get_field(const Value& t, const Value& key) {
    if (!t.is_table()) [[unlikely]]
        fatal("not yet implemented: meta __index");
    const Table* table = t.as_table();
    if (key.is_string()) {
        const Value* v = table->find_string(key);
        return v ? *v : Value();
    }
    return table->index(key);
}

// Stores with an integer key, or any key: into the array part inline where it has the slot or
// room for it.
[[gnu::always_inline]] inline void set_int(const Value& t, std::int64_t i, const Value& v) {
    if (t.is_table() && t.as_table()->store_in_array(i, v)) [[likely]]
        return;
    new_index_array(t, i, Value(v));
}

[[gnu::always_inline]] inline void set_index(const Value& t, const Value& key, const Value& v) {
    if (key.is_int()) [[likely]]
        set_int(t, key.as_int(), v);
    else
        set_field(t, key, v);
}

} // namespace

template <ArithOp op>
[[gnu::always_inline]] inline void ExeState::arith_into(Value* dst, const Value& a, const Value& b) {
    if constexpr (int_fast<op>) {
        if (a.is_int() && b.is_int()) {
            store_int(dst, int_op<op>(a.as_int(), b.as_int()));
            return;
        }
    }
    if constexpr (float_fast<op>) {
        if (a.is_float() && b.is_float()) {
            store_float(dst, float_op<op>(a.as_float(), b.as_float()));
            return;
        }
        // Mixed operands: the integer is converted, as `arith` would.
        if (a.is_number() && b.is_number()) {
            store_float(dst, float_op<op>(as_number(a), as_number(b)));
            return;
        }
    }
    store(dst, arith_general(op, a, b));
}

// R[dst] := a op imm for the forms whose right operand is the instruction's own byte: the
// number cases need no value made for it.
template <ArithOp op>
[[gnu::always_inline]] inline void ExeState::arith_imm(Value* dst, const Value& a, std::uint64_t imm) {
    const auto y = static_cast<std::int64_t>(imm);
    if constexpr (int_fast<op>) {
        // A small integer operand mostly meets an integer (a counter, an index): that path runs
        // straight.
        if (a.is_int()) [[likely]] {
            store_int(dst, int_op<op>(a.as_int(), y));
            return;
        }
    }
    if constexpr (float_fast<op>) {
        if (a.is_number()) {
            store_float(dst, float_op<op>(as_number(a), static_cast<double>(y)));
            return;
        }
    }
    store(dst, arith_general(op, a, Value::integer(y)));
}

// R[dst] := t[key] for a constant key with its hash: a string key's value is copied straight
// from the table. Copying from a table into the register that held it is safe: the copy takes
// its reference before the table is released.
[[gnu::always_inline]] inline void ExeState::load_const_field(Value* dst, const Value& t, const Value& key,
                                                              std::size_t hash) {
    if (!t.is_table()) [[unlikely]]
        fatal("not yet implemented: meta __index");
    const Table* table = t.as_table();
    if (key.is_string()) [[likely]] {
        if (const Value* v = table->find_string(key, hash))
            store_copy(dst, *v);
        else
            store(dst, Value());
        return;
    }
    store(dst, table->index(key));
}

// LOAD_FRAME_OF takes the running frame from a call or a return that has it in hand, which spares
// the loop a read of frame_ just written.
#define LOAD_FRAME() LOAD_FRAME_OF(*frame_)
#define LOAD_FRAME_OF(frame)                                                                                 \
    do {                                                                                                     \
        const CallFrame& f_ = (frame);                                                                       \
        kst = f_.proto->constants.data();                                                                    \
        khash = f_.proto->const_hashes.data();                                                               \
        ups = f_.cells;                                                                                      \
        regs = f_.base;                                                                                      \
        ip = f_.ip;                                                                                          \
        loaded_depth = depth_;                                                                               \
        if constexpr (M.count) {                                                                             \
            counts = f_.proto->counts.data();                                                                \
            code0 = f_.proto->instrs.data();                                                                 \
        }                                                                                                    \
    } while (0)

// The fields of the instruction word `w` (tag, then a, b, c; bx is b and c read as one 16-bit
// operand, low byte first).
#define IOP static_cast<Op>(w & 0xff)
#define IA ((w >> 8) & 0xff)
#define IB ((w >> 16) & 0xff)
#define IC (w >> 24)
#define IBX (w >> 16)
#define ISBX static_cast<std::int16_t>(w >> 16)

// The protected operations of hazards 2 and 3: the save and the reload stay one unit.
#define WITH_OUTPUT(stmt)                                                                                    \
    do {                                                                                                     \
        output.set_cursor(cur);                                                                              \
        stmt;                                                                                                \
        cur = output.cursor();                                                                               \
        trace_limit = output.trace_limit();                                                                  \
    } while (0)
// After a native ran with the cursor (call_native(new_base, cur)): a flush may have moved the
// output limit nearer.
#define AFTER_NATIVE() (trace_limit = output.trace_limit())
#define LEAVE_LOOP()                                                                                         \
    do {                                                                                                     \
        output.set_cursor(cur);                                                                              \
        budget_left_ = budget;                                                                               \
        return;                                                                                              \
    } while (0)
// After the loop entered a Lua function (a call, a tail call, a generic for's iterator) and
// after a return, for the counting and the annotated loops.
#define ENTERED(how)                                                                                         \
    do {                                                                                                     \
        if constexpr (M.count) ++frame_->proto->calls;                                                       \
        if constexpr (M.annotate) WITH_OUTPUT(note_frame(how));                                              \
    } while (0)
#define RETURNED()                                                                                           \
    do {                                                                                                     \
        if constexpr (M.annotate) WITH_OUTPUT(note_frame("; return to "));                                   \
    } while (0)
#define FRAME_CHANGE(stmt)                                                                                   \
    do {                                                                                                     \
        frame_->ip = ip;                                                                                     \
        stmt;                                                                                                \
        LOAD_FRAME();                                                                                        \
    } while (0)

// Operand access: R reads a register (checked against the top), K a constant, U an upvalue
// cell (both checked once, when the function was finished); DST is the slot of a destination
// register.
#define R(x) reg(regs + (x))
#define K(x) kst[x]
#define KH(x) khash[x]
#define U(x) ups[x]
#define DST(x) (regs + (x))
// The stack index of the running frame's register 0, for the paths that work by index.
#define FB index_of(regs)

#define ARITH_FORMS(Name, IntForm, ConstForm, op)                                                            \
    L_##Name: {                                                                                              \
        const Value& l = R(IB);                                                                              \
        const Value& r = R(IC);                                                                              \
        arith_into<op>(DST(IA), l, r);                                                                       \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##IntForm: {                                                                                           \
        const Value& l = R(IB);                                                                              \
        arith_imm<op>(DST(IA), l, IC);                                                                       \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##ConstForm: {                                                                                         \
        const Value& l = R(IB);                                                                              \
        const Value& r = K(IC);                                                                              \
        arith_into<op>(DST(IA), l, r);                                                                       \
        NEXT();                                                                                              \
    }

// A conditional jump or skip stays a branch: made a conditional move, the address of the next
// instruction would wait for the test's operands instead of being predicted.
#define JUMP_IF(cond, by)                                                                                    \
    do {                                                                                                     \
        if (cond) {                                                                                          \
            ip += (by);                                                                                      \
            __asm__ volatile("");                                                                            \
        }                                                                                                    \
    } while (0)

// Each form its own label (no shared bodies).
#define EQUALITY_FORMS(Name, when_equal)                                                                     \
    L_##Name: {                                                                                              \
        const Value& l = R(IA);                                                                              \
        const Value& r = R(IB);                                                                              \
        JUMP_IF((equal(l, r) == (when_equal)) == (IC != 0), 1);                                              \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##Name##Int: {                                                                                         \
        const Value& l = R(IA);                                                                              \
        const auto imm = static_cast<std::int64_t>(IB);                                                      \
        bool eq = l.is_int() ? l.as_int() == imm : l == Value::integer(imm);                                 \
        JUMP_IF((eq == (when_equal)) == (IC != 0), 1);                                                       \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##Name##Const: {                                                                                       \
        const Value& l = R(IA);                                                                              \
        const Value& r = K(IB);                                                                              \
        JUMP_IF((equal(l, r) == (when_equal)) == (IC != 0), 1);                                              \
        NEXT();                                                                                              \
    }

#define ORDER_FORMS(Name, holds)                                                                             \
    L_##Name: {                                                                                              \
        const Value& l = R(IA);                                                                              \
        const Value& r = R(IB);                                                                              \
        Order o = ordered(l, r);                                                                             \
        JUMP_IF((holds) == (IC != 0), 1);                                                                    \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##Name##Int: {                                                                                         \
        Order o = ordered_imm(R(IA), IB);                                                                    \
        JUMP_IF((holds) == (IC != 0), 1);                                                                    \
        NEXT();                                                                                              \
    }                                                                                                        \
    L_##Name##Const: {                                                                                       \
        const Value& l = R(IA);                                                                              \
        const Value& r = K(IB);                                                                              \
        Order o = ordered(l, r);                                                                             \
        JUMP_IF((holds) == (IC != 0), 1);                                                                    \
        NEXT();                                                                                              \
    }

template <LoopMode M> void ExeState::dispatch() {
    Output& output = run_.output();
    char* cur = output.cursor();
    char* trace_limit = output.trace_limit();
    const Instr* ip;
    const Value* kst;
    const std::size_t* khash;
    Upvalue* const* ups;
    Value* regs;
    std::size_t loaded_depth;
    // The metered loops count down the instructions they may run before they look at the
    // limits and the host again (refill_budget); the unmetered one polls at its flushes.
    std::uint64_t budget = budget_left_;
    [[maybe_unused]] std::uint64_t* counts = nullptr;
    [[maybe_unused]] const Instr* code0 = nullptr;

    LOAD_FRAME();
    // A stop leaves the loop through the handlers at its end, which give the cursor back to the
    // writer and keep what the loop held in locals: the rest of the budget, and where the stop
    // happened, for its report (the loop's ip, unless the stop came from the middle of a frame
    // change, when the frame holds its own). Handlers for the interpreter's own exceptions only,
    // rather than a destructor holding references: a local whose address is taken lives in
    // memory, and ip, the cursor and the budget are read and written by every instruction. The
    // unwinding that ends a thread at Python's shutdown passes untouched; it only comes from a
    // poll of the host, before which the cursor was given back.
#define SYNC_ON_STOP()                                                                                       \
    do {                                                                                                     \
        output.set_cursor(cur);                                                                              \
        budget_left_ = budget;                                                                               \
        if (depth_ == loaded_depth && depth_ != 0) {                                                         \
            const std::vector<Instr>& code_ = frame_->proto->instrs;                                         \
            if (ip >= code_.data() && ip < code_.data() + code_.size()) frame_->ip = ip;                     \
        }                                                                                                    \
    } while (0)
    // Threaded dispatch: every instruction ends with the next one's trace line and its own
    // indirect jump (DISPATCH), so each has a jump of its own to predict. An instruction is
    // counted once its trace line is out: a stop at the instruction limit comes before the
    // line, one at the output limit instead of it. A computed goto runs no destructors: an
    // instruction with a local of its own that has one ends its block before NEXT. The trace
    // line is at most two fixed moves from the padded text; a full buffer is flushed first,
    // which is also where the host is polled, and near the output limit every line is measured
    // against it.
    static const void* const labels[] = {
#define OP(name, ...) &&L_##name,
#include "bytecode/opcodes.def"
#undef OP
        &&L_PastEnd,
    };
    // The instruction word stays whole in a register; each instruction takes its operands out.
    // Without a trace it is held zero-extended to 64 bits, so an operand taken out is already a
    // register index (one instruction fewer per operand); the traced loops keep it in 32, where
    // the register it gets makes 64 cost more than it saves.
    std::conditional_t<M.trace, std::uint32_t, std::uint64_t> w;
#define DISPATCH()                                                                                           \
    do {                                                                                                     \
        if constexpr (M.metered) {                                                                           \
            if (budget == 0) [[unlikely]]                                                                    \
                WITH_OUTPUT(budget = refill_budget(!M.trace));                                               \
        }                                                                                                    \
        w = static_cast<decltype(w)>(load_word(ip));                                                         \
        if constexpr (M.trace) {                                                                             \
            if (cur > trace_limit) [[unlikely]]                                                              \
                WITH_OUTPUT(output.make_room_for_line(ip->len));                                             \
            const char* line = ip->text;                                                                     \
            const std::uint32_t len = ip->len;                                                               \
            std::memcpy(cur, line, 32);                                                                      \
            if (len > 32) [[unlikely]]                                                                       \
                std::memcpy(cur + 32, line + 32, 32);                                                        \
            cur += len;                                                                                      \
        }                                                                                                    \
        if constexpr (M.metered) --budget;                                                                   \
        if constexpr (M.count) {                                                                             \
            ++counts[ip - code0];                                                                            \
            if (steps_.size() < steps_wanted_) [[unlikely]]                                                  \
                steps_.push_back({frame_->proto->listing_index, static_cast<std::uint64_t>(ip - code0),      \
                                  output.total_at(cur)});                                                    \
        }                                                                                                    \
        goto* labels[w & 0xff];                                                                              \
    } while (0)
#define NEXT()                                                                                               \
    do {                                                                                                     \
        ++ip;                                                                                                \
        DISPATCH();                                                                                          \
    } while (0)
    try {
        DISPATCH();
            L_LoadConst:
                store_copy(DST(IA), K(IBX));
                NEXT();
            L_LoadNil: {
                // Writes its registers only: a local above them (`a = nil` with a later `b`)
                // lives on.
                for (Value *r = DST(IA), *end = r + IB; r < end; ++r) store(r, Value());
                NEXT();
            }
            L_LoadBool:
                store_bool(DST(IA), IB != 0);
                NEXT();
            L_LoadInt:
                store_int(DST(IA), ISBX);
                NEXT();
            L_Move:
                store_copy(DST(IA), R(IB));
                NEXT();

            L_GetUpvalue:
                store_copy(DST(IA), held(U(IB)));
                NEXT();
            L_SetUpvalue:
            L_SetUpvalueConst: {
                {
                    Value v = IOP == Op::SetUpvalue ? R(IB) : K(IB);
                    Upvalue* u = U(IA);
                    if (u->is_open()) check_open(u);
                    *u->get() = std::move(v);
                }
                NEXT();
            }
            L_Close:
                close_from(DST(IA));
                NEXT();

            L_NewTable:
                store(DST(IA), new_table(IB, IC));
                NEXT();
            L_SetTable: {
                const Value& key = R(IB);
                const Value& v = R(IC);
                set_index(R(IA), key, v);
                NEXT();
            }
            L_SetField: {
                const Value& key = K(IB);
                const Value& v = R(IC);
                set_const_field(R(IA), key, KH(IB), v);
                NEXT();
            }
            L_SetInt: {
                const Value& v = R(IC);
                set_int(R(IA), IB, v);
                NEXT();
            }
            L_SetTableConst: {
                const Value& key = R(IB);
                const Value& v = K(IC);
                set_index(R(IA), key, v);
                NEXT();
            }
            L_SetFieldConst:
                set_const_field(R(IA), K(IB), KH(IB), K(IC));
                NEXT();
            L_SetIntConst:
                set_int(R(IA), IB, K(IC));
                NEXT();
            L_SetList: {
                std::size_t t = FB + IA;
                const Value& tv = R(IA);
                if (!tv.is_table()) fatal("not table");
                std::size_t first = t + 1;
                std::size_t n = top() - first;
                if (IB != 0) {
                    n = IB;
                    if (first + n > top()) fatal_bounds(top(), top());
                }
                tv.as_table()->append(stack_ + first, n);
                remove_range(first, first + n);
                NEXT();
            }
            L_GetTable: {
                const Value& key = R(IC);
                const Value& t = R(IB);
                if (t.is_table() && key.is_int()) [[likely]] {
                    if (const Value* v = t.as_table()->array_slot(key.as_int())) [[likely]] {
                        store_copy(DST(IA), *v);
                        NEXT();
                    }
                }
                store(DST(IA), get_field(t, key));
                NEXT();
            }
            L_GetField: {
                const Value& t = R(IB);
                load_const_field(DST(IA), t, K(IC), KH(IC));
                NEXT();
            }
            L_GetInt: {
                const Value& t = R(IB);
                if (t.is_table()) [[likely]] {
                    if (const Value* v = t.as_table()->array_slot(IC)) [[likely]] {
                        store_copy(DST(IA), *v);
                        NEXT();
                    }
                }
                store(DST(IA), index_array(t, IC));
                NEXT();
            }
            L_GetFieldSelf:
                // The object goes to R[a + 1] first (a copy onto itself when it is there already)
                // and is looked up there, so writing R[a] cannot free it.
                store_copy(DST(IA) + 1, R(IB));
                load_const_field(DST(IA), DST(IA)[1], K(IC), KH(IC));
                NEXT();
            L_SetUpField: {
                // The value is read before the cell is looked at: which stop comes first.
                const Value& v = R(IC);
                set_const_field(held(U(IA)), K(IB), KH(IB), v);
                NEXT();
            }
            L_SetUpFieldConst:
                set_const_field(held(U(IA)), K(IB), KH(IB), K(IC));
                NEXT();
            L_GetUpField:
                load_const_field(DST(IA), held(U(IB)), K(IC), KH(IC));
                NEXT();

            L_Jump:
                ip += ISBX;
                NEXT();
            L_TestAndJump:
            L_TestOrJump:
                JUMP_IF(R(IA).truthy() == (IOP == Op::TestAndJump), ISBX);
                NEXT();
            L_TestAndSetJump:
            L_TestOrSetJump: {
                const Value& v = R(IB);
                if (v.truthy() == (IOP == Op::TestAndSetJump)) {
                    store_copy(DST(IA), v);
                    ip += IC;
                }
                NEXT();
            }
            L_SetFalseSkip:
                store_bool(DST(IA), false);
                ++ip;
                NEXT();

            L_ForPrepare: {
                std::size_t b = FB + IA;
                const Value& init = at(b);
                const Value& step = at(b + 2);
                bool runs;
                if (init.is_int() && step.is_int()) {
                    std::int64_t x = init.as_int();
                    std::int64_t s = step.as_int();
                    if (s == 0) fatal("0 step in numerical for");
                    const Value& limit = at(b + 1);
                    std::int64_t lim;
                    bool skip = false;
                    if (limit.is_int()) {
                        lim = limit.as_int();
                    } else if (limit.is_float()) {
                        lim = int_limit(limit.as_float(), s, skip);
                        stack_[b + 1].set_int(lim);
                    } else {
                        fatal("invalid limit type");
                    }
                    runs = !skip && (s > 0 ? x <= lim : x >= lim);
                } else {
                    double x = make_float(b);
                    double lim = make_float(b + 1);
                    double s = make_float(b + 2);
                    if (s == 0.0) fatal("0 step in numerical for");
                    runs = s > 0 ? lim >= x : x >= lim;
                }
                JUMP_IF(!runs, IBX);
                NEXT();
            }
            L_ForLoop: {
                Value* b = DST(IA);
                // The counter is also the body's variable, which the body may change, so there
                // is no iteration count to work from: each step adds and compares. The step's
                // register lies highest, so one look at the top covers the limit's too.
                if (b + 2 >= top_) [[unlikely]] {
                    R(IA + 1);
                    R(IA + 2);
                }
                const Value& limit = b[1];
                const Value& step = b[2];
                bool goes_on;
                if (limit.is_int() && step.is_int() && b->is_int()) [[likely]] {
                    std::int64_t s = step.as_int();
                    std::int64_t next;
                    // A counter that would leave the 64-bit range has passed any limit.
                    if (__builtin_add_overflow(b->as_int(), s, &next)) NEXT();
                    b->set_int(next);
                    JUMP_IF(s > 0 ? next <= limit.as_int() : next >= limit.as_int(), -static_cast<std::ptrdiff_t>(IBX));
                    NEXT();
                }
                if (limit.is_int()) {
                    if (!step.is_int()) fatal("xx");
                    Value& counter = *b;
                    if (!counter.is_int()) fatal("xxx");
                    std::int64_t s = step.as_int();
                    std::int64_t next;
                    // A counter that would leave the 64-bit range has passed any limit.
                    if (__builtin_add_overflow(counter.as_int(), s, &next)) NEXT();
                    counter.set_int(next);
                    goes_on = s > 0 ? next <= limit.as_int() : next >= limit.as_int();
                } else if (limit.is_float()) {
                    if (!step.is_float()) fatal("xx");
                    Value& counter = *b;
                    if (!counter.is_float()) fatal("xxx");
                    double s = step.as_float();
                    double next = counter.as_float() + s;
                    counter.set_float(next);
                    goes_on = s > 0 ? limit.as_float() >= next : next >= limit.as_float();
                } else {
                    fatal("xx");
                }
                JUMP_IF(goes_on, -static_cast<std::ptrdiff_t>(IBX));
                NEXT();
            }
            L_ForCallLoop: {
                std::size_t b = FB + IA;
                truncate(b + 3);
                Kind k = at(b).kind();
                if (k != Kind::NativeFunction && k != Kind::NativeClosure && k != Kind::LuaFunction &&
                    k != Kind::LuaClosure)
                    fatal("invalid function: " + stack_[b].quoted());
                at(b + 1);
                at(b + 2);
                if (k == Kind::NativeFunction || k == Kind::NativeClosure) {
                    const std::size_t n = call_native(b + 1, cur);
                    ip += finish_call(ip->code, regs, top_ - n, n);
                    AFTER_NATIVE();
                    NEXT();
                }
                // A Lua iterator runs on copies of the loop's three registers, so whatever it
                // does to its parameters or its frame cannot disturb the loop's own state.
                copy_slot(b + 3, stack_[b]);
                copy_slot(b + 4, stack_[b + 1]);
                copy_slot(b + 5, stack_[b + 2]);
                FRAME_CHANGE(enter_lua(stack_ + b + 3));
                ENTERED("; enter ");
                DISPATCH();
            }

            L_Closure: {
                {
                    const Value& kv = K(IBX);
                    if (kv.kind() != Kind::LuaFunction) fatal("must be funcproto");
                    auto* p = static_cast<FuncProto*>(kv.as_shared());
                    const std::size_t n = p->upindexes.size();
                    LuaClosure* c = LuaClosure::make(p, n);
                    // Held by a value from here on, so a failure below frees it.
                    Value made = Value::shared(Kind::LuaClosure, c);
                    for (std::size_t k = 0; k < n; ++k) {
                        const UpIndex& ui = p->upindexes[k];
                        Upvalue* cell = ui.where == UpIndex::Upvalue ? U(ui.index) : capture(regs + ui.index);
                        retain(cell);
                        c->cells()[k] = cell;
                    }
                    store(DST(IA), std::move(made));
                }
                NEXT();
            }

            L_Call:
                if (const CallFrame* f = call(DST(IA), IB, cur, ip)) [[likely]] {
                    LOAD_FRAME_OF(*f);
                    ENTERED("; enter ");
                    DISPATCH();
                }
                AFTER_NATIVE();
                NEXT();
            L_CallSet:
                if (const CallFrame* f = call(DST(IB), IC, cur, ip)) [[likely]] {
                    LOAD_FRAME_OF(*f);
                    ENTERED("; enter ");
                    DISPATCH();
                }
                AFTER_NATIVE();
                NEXT();
            L_TailCall: {
                const std::size_t fb = FB;
                close_from(regs);
                tail_call_shift(fb, fb + IA);
                if (IB != 0) truncate(fb + IB - 1);
                const Value& fn = at(fb - 1);
                switch (fn.kind()) {
                case Kind::NativeFunction:
                case Kind::NativeClosure: {
                    const std::size_t n = call_native(fb, cur);
                    AFTER_NATIVE();
                    FRAME_CHANGE(if (!return_to_caller(top_ - n, n)) LEAVE_LOOP());
                    RETURNED();
                    break;
                }
                case Kind::LuaFunction:
                case Kind::LuaClosure:
                    FRAME_CHANGE(replace_frame());
                    ENTERED("; tail call ");
                    DISPATCH();
                default:
                    fatal("invalid function: " + fn.quoted());
                }
                NEXT();
            }
            // Nothing after the results are checked can stop: the returning frame's ip is not
            // saved.
            L_Return0: {
                close_from(regs);
                const CallFrame* f = return_to_caller(top_, 0);
                if (!f) LEAVE_LOOP();
                LOAD_FRAME_OF(*f);
                RETURNED();
                NEXT();
            }
            L_Return: {
                close_from(regs);
                Value* const first = DST(IA);
                const std::size_t n = results_of_return(first, IB);
                const CallFrame* f = return_to_caller(first, n);
                if (!f) LEAVE_LOOP();
                LOAD_FRAME_OF(*f);
                RETURNED();
                NEXT();
            }
            L_VarArgs: {
                std::size_t dst = FB + IA;
                if (IB == 0) {
                    // All of them: the stack top marks where they end.
                    vararg_all(dst, *frame_);
                    NEXT();
                }
                // A fixed count writes its registers only, like any other load, so a local or
                // a temporary above them (`x = ...`, `a, b = 1, ...`) keeps its value.
                for (std::size_t k = 0; k < IB; ++k) {
                    const CallFrame& f = *frame_;
                    if (k < f.va_count)
                        copy_slot(dst + k, varargs_[f.va_begin + k]);
                    else
                        set_slot(dst + k, Value());
                }
                NEXT();
            }

            L_Neg: {
                const Value& v = R(IB);
                if (v.is_int())
                    store_int(DST(IA), wrap(0 - bits(v.as_int())));
                else if (v.is_float())
                    store_float(DST(IA), -v.as_float());
                else
                    store(DST(IA), arith_neg(v));
                NEXT();
            }
            L_Not:
                store_bool(DST(IA), !R(IB).truthy());
                NEXT();
            L_BitNot: {
                const Value& v = R(IB);
                if (v.is_int())
                    store_int(DST(IA), ~v.as_int());
                else
                    store(DST(IA), arith_bit_not(v));
                NEXT();
            }
            L_Len: {
                const Value& v = R(IB);
                if (v.is_table())
                    store_int(DST(IA), static_cast<std::int64_t>(v.as_table()->array_len()));
                else
                    store(DST(IA), arith_len(v));
                NEXT();
            }

                ARITH_FORMS(Add, AddInt, AddConst, ArithOp::Add)
                ARITH_FORMS(Sub, SubInt, SubConst, ArithOp::Sub)
                ARITH_FORMS(Mul, MulInt, MulConst, ArithOp::Mul)
                ARITH_FORMS(Mod, ModInt, ModConst, ArithOp::Mod)
                ARITH_FORMS(Div, DivInt, DivConst, ArithOp::Div)
                ARITH_FORMS(Idiv, IdivInt, IdivConst, ArithOp::Idiv)
                ARITH_FORMS(Pow, PowInt, PowConst, ArithOp::Pow)
                ARITH_FORMS(BitAnd, BitAndInt, BitAndConst, ArithOp::BitAnd)
                ARITH_FORMS(BitXor, BitXorInt, BitXorConst, ArithOp::BitXor)
                ARITH_FORMS(BitOr, BitOrInt, BitOrConst, ArithOp::BitOr)
                ARITH_FORMS(ShiftL, ShiftLInt, ShiftLConst, ArithOp::ShiftL)
                ARITH_FORMS(ShiftR, ShiftRInt, ShiftRConst, ArithOp::ShiftR)

                EQUALITY_FORMS(Equal, true)
                EQUALITY_FORMS(NotEq, false)
                ORDER_FORMS(LesEq, o != Order::Greater)
                ORDER_FORMS(GreEq, o != Order::Less)
                ORDER_FORMS(Less, o == Order::Less)
                ORDER_FORMS(Greater, o == Order::Greater)

            L_Concat: {
                const Value& l = R(IB);
                const Value& r = R(IC);
                store(DST(IA), concat(l, r));
                NEXT();
            }
            L_PastEnd:
                fatal_bounds(static_cast<std::size_t>(ip - frame_->proto->instrs.data()),
                             static_cast<std::size_t>(ip - frame_->proto->instrs.data()));
    } catch (const Fatal&) {
        SYNC_ON_STOP();
        throw;
    } catch (const Interrupted&) {
        SYNC_ON_STOP();
        throw;
    } catch (const std::exception&) {
        SYNC_ON_STOP();
        throw;
    }
#undef SYNC_ON_STOP
#undef DISPATCH
#undef NEXT
}

// Each module links only the loops it runs (see ExeState::loops): this file makes raw_input's
// plain loop, dispatch_modes.cpp (this file again, with TARN_DISPATCH_MODES) all the others.
#ifndef TARN_DISPATCH_MODES
void ExeState::link_plain_loop() { loops[loop_index(loop_plain)] = &ExeState::dispatch<loop_plain>; }
#else
void ExeState::link_mode_loops() {
    for (LoopMode m : {loop_metered, loop_quiet, loop_counting, loop_counting_quiet, loop_annotated})
        loops[loop_index(m)] = nullptr;
    loops[loop_index(loop_metered)] = &ExeState::dispatch<loop_metered>;
    loops[loop_index(loop_quiet)] = &ExeState::dispatch<loop_quiet>;
    loops[loop_index(loop_counting)] = &ExeState::dispatch<loop_counting>;
    loops[loop_index(loop_counting_quiet)] = &ExeState::dispatch<loop_counting_quiet>;
    loops[loop_index(loop_annotated)] = &ExeState::dispatch<loop_annotated>;
}
#endif

#undef LOAD_FRAME
#undef LOAD_FRAME_OF
#undef IOP
#undef IA
#undef IB
#undef IC
#undef IBX
#undef ISBX
#undef WITH_OUTPUT
#undef LEAVE_LOOP
#undef AFTER_NATIVE
#undef ENTERED
#undef RETURNED
#undef FRAME_CHANGE
#undef R
#undef K
#undef KH
#undef U
#undef DST
#undef FB
#undef ARITH_FORMS
#undef ORDER_FORMS
#undef EQUALITY_FORMS
#undef JUMP_IF

} // namespace tarn
