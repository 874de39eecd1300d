// Expressions: primaries, names and upvalue resolution, suffix chains (fields, indexing,
// calls, methods), unary and binary operators with constant folding and form selection,
// the `and`/`or` jump lists, and table constructors.

#include <cmath>

#include "parse/parse_proto.h"
#include "utils/fatal.h"
#include "value/arith.h"

namespace tarn {

namespace {

struct Priority {
    int left;
    int right;
};

Priority binop_priority(Tok t) {
    switch (t) {
    case Tok::Or:
        return {1, 1};
    case Tok::And:
        return {2, 2};
    case Tok::Equal:
    case Tok::NotEq:
    case Tok::LesEq:
    case Tok::GreEq:
    case Tok::Less:
    case Tok::Greater:
        return {3, 3};
    case Tok::BitOr:
        return {4, 4};
    case Tok::BitNot:
        return {5, 5};
    case Tok::BitAnd:
        return {6, 6};
    case Tok::ShiftL:
    case Tok::ShiftR:
        return {7, 7};
    case Tok::Concat:
        return {9, 8};
    case Tok::Add:
    case Tok::Sub:
        return {10, 10};
    case Tok::Mul:
    case Tok::Div:
    case Tok::Idiv:
    case Tok::Mod:
        return {11, 11};
    case Tok::Pow:
        return {14, 13};
    default:
        return {-1, -1};
    }
}

constexpr int unary_priority = 12;

struct Forms {
    Op reg, imm, konst;
};

// Register, integer-immediate and constant forms of each arithmetic and bitwise operator.
bool arith_forms(Tok t, Forms& f, ArithOp& a) {
    switch (t) {
    case Tok::Add:
        f = {Op::Add, Op::AddInt, Op::AddConst};
        a = ArithOp::Add;
        return true;
    case Tok::Sub:
        f = {Op::Sub, Op::SubInt, Op::SubConst};
        a = ArithOp::Sub;
        return true;
    case Tok::Mul:
        f = {Op::Mul, Op::MulInt, Op::MulConst};
        a = ArithOp::Mul;
        return true;
    case Tok::Mod:
        f = {Op::Mod, Op::ModInt, Op::ModConst};
        a = ArithOp::Mod;
        return true;
    case Tok::Div:
        f = {Op::Div, Op::DivInt, Op::DivConst};
        a = ArithOp::Div;
        return true;
    case Tok::Idiv:
        f = {Op::Idiv, Op::IdivInt, Op::IdivConst};
        a = ArithOp::Idiv;
        return true;
    case Tok::Pow:
        f = {Op::Pow, Op::PowInt, Op::PowConst};
        a = ArithOp::Pow;
        return true;
    case Tok::BitAnd:
        f = {Op::BitAnd, Op::BitAndInt, Op::BitAndConst};
        a = ArithOp::BitAnd;
        return true;
    case Tok::BitNot:
        f = {Op::BitXor, Op::BitXorInt, Op::BitXorConst};
        a = ArithOp::BitXor;
        return true;
    case Tok::BitOr:
        f = {Op::BitOr, Op::BitOrInt, Op::BitOrConst};
        a = ArithOp::BitOr;
        return true;
    case Tok::ShiftL:
        f = {Op::ShiftL, Op::ShiftLInt, Op::ShiftLConst};
        a = ArithOp::ShiftL;
        return true;
    case Tok::ShiftR:
        f = {Op::ShiftR, Op::ShiftRInt, Op::ShiftRConst};
        a = ArithOp::ShiftR;
        return true;
    default:
        return false;
    }
}

bool compare_forms(Tok t, Forms& f) {
    switch (t) {
    case Tok::Equal:
        f = {Op::Equal, Op::EqualInt, Op::EqualConst};
        return true;
    case Tok::NotEq:
        f = {Op::NotEq, Op::NotEqInt, Op::NotEqConst};
        return true;
    case Tok::LesEq:
        f = {Op::LesEq, Op::LesEqInt, Op::LesEqConst};
        return true;
    case Tok::GreEq:
        f = {Op::GreEq, Op::GreEqInt, Op::GreEqConst};
        return true;
    case Tok::Less:
        f = {Op::Less, Op::LessInt, Op::LessConst};
        return true;
    case Tok::Greater:
        f = {Op::Greater, Op::GreaterInt, Op::GreaterConst};
        return true;
    default:
        return false;
    }
}

Value const_value(const ExpDesc& e) {
    return e.kind == ExpDesc::Integer ? Value::integer(e.i) : Value::number(e.f);
}

// An operand whose code must run before a literal left operand is loaded: a pending call
// (which cuts the stack above its function register) or an expression with pending jumps
// (which would skip the load).
bool must_precede_literal(const ExpDesc& e) {
    return e.kind == ExpDesc::Call || e.kind == ExpDesc::Test ||
           (e.kind == ExpDesc::Compare && e.has_jumps());
}

void append(JumpList& to, JumpList from) { to.insert(to.end(), from.begin(), from.end()); }

} // namespace

std::pair<std::size_t, ExpDesc> ParseProto::explist() {
    std::size_t sp0 = sp_;
    std::size_t count = 0;
    for (;;) {
        ExpDesc e = do_exp(0, lex().next());
        if (lex().peek().kind != Tok::Comma) {
            sp_ = sp0 + count;
            return {count, std::move(e)};
        }
        lex().next();
        discharge(sp0 + count, std::move(e));
        ++count;
    }
}

ExpDesc ParseProto::do_exp(int limit, Token first) {
    DepthGuard guard(ctx_);
    ExpDesc e = primary(std::move(first));
    for (;;) {
        Tok op = lex().peek().kind;
        Priority p = binop_priority(op);
        if (p.left <= limit) return e;
        std::uint32_t line = lex().next().line;
        ExpDesc left = prepare_left(op, std::move(e));
        ExpDesc right = do_exp(p.right, lex().next());
        e = process_binop(op, std::move(left), std::move(right));
        // A comparison that ends an `and`/`or` chain keeps its own operator's line.
        if (op != Tok::And && op != Tok::Or && (e.kind == ExpDesc::BinOp || e.kind == ExpDesc::Compare))
            e.line = line;
    }
}

ExpDesc ParseProto::primary(Token first) {
    switch (first.kind) {
    case Tok::Nil:
        return ExpDesc(ExpDesc::Nil);
    case Tok::True:
        return ExpDesc::boolean(true);
    case Tok::False:
        return ExpDesc::boolean(false);
    case Tok::Integer:
        return ExpDesc::integer(first.i);
    case Tok::Float:
        return ExpDesc::number(first.f);
    case Tok::String:
        return ExpDesc::string(std::move(first.s));
    case Tok::Dots:
        if (!fp_->has_varargs) fail("no varargs");
        return ExpDesc(ExpDesc::VarArgs);
    case Tok::Function:
        return funcbody(false, {}, first.line);
    case Tok::CurlyL:
        return table_constructor();
    case Tok::Not:
    case Tok::Sub:
    case Tok::Len:
    case Tok::BitNot: {
        ExpDesc operand = do_exp(unary_priority, lex().next());
        ExpDesc e = unary(first.kind, std::move(operand));
        e.line = first.line;
        return e;
    }
    default:
        return prefixexp(std::move(first));
    }
}

ExpDesc ParseProto::unary(Tok op, ExpDesc e) {
    switch (op) {
    case Tok::Not:
        if (e.is_literal()) return ExpDesc::boolean(false);
        if (e.kind == ExpDesc::Nil) return ExpDesc::boolean(true);
        if (e.kind == ExpDesc::Boolean) return ExpDesc::boolean(!e.b);
        return ExpDesc::with_op(ExpDesc::UnaryOp, Op::Not, discharge_any(std::move(e)));
    case Tok::Sub:
        if (e.kind == ExpDesc::Integer)
            return ExpDesc::integer(static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(e.i)));
        if (e.kind == ExpDesc::Float) return ExpDesc::number(-e.f);
        if (e.kind == ExpDesc::Nil || e.kind == ExpDesc::Boolean || e.kind == ExpDesc::String)
            fail("invalid - operator");
        return ExpDesc::with_op(ExpDesc::UnaryOp, Op::Neg, discharge_any(std::move(e)));
    case Tok::Len:
        if (e.kind == ExpDesc::String) return ExpDesc::integer(static_cast<std::int64_t>(e.s.size()));
        if (e.kind == ExpDesc::Nil || e.kind == ExpDesc::Boolean || e.is_numeric_const())
            fail("invalid # operator");
        return ExpDesc::with_op(ExpDesc::UnaryOp, Op::Len, discharge_any(std::move(e)));
    default: // BitNot
        if (e.kind == ExpDesc::Integer) return ExpDesc::integer(~e.i);
        if (e.kind == ExpDesc::Nil || e.kind == ExpDesc::Boolean || e.kind == ExpDesc::Float ||
            e.kind == ExpDesc::String)
            fail("invalid ~ operator");
        return ExpDesc::with_op(ExpDesc::UnaryOp, Op::BitNot, discharge_any(std::move(e)));
    }
}

ExpDesc ParseProto::prepare_left(Tok op, ExpDesc left) {
    if (op == Tok::And) {
        JumpList f = test_or_jump(std::move(left), lex().last_line());
        ExpDesc t(ExpDesc::Test);
        t.inner = std::make_unique<ExpDesc>();
        t.flist = std::move(f);
        return t;
    }
    if (op == Tok::Or) {
        JumpList tl;
        switch (left.kind) {
        case ExpDesc::Nil:
            break;
        case ExpDesc::Boolean:
            if (!left.b) break;
            [[fallthrough]];
        default: {
            std::size_t r = discharge_any(std::move(left));
            tl.push_back(emit(ByteCode::ai16(Op::TestAndJump, r, 0)));
            break;
        }
        case ExpDesc::Test: {
            tl = std::move(left.tlist);
            std::size_t r = discharge_any(std::move(*left.inner));
            tl.push_back(emit(ByteCode::ai16(Op::TestAndJump, r, 0)));
            fix_test_list_to(std::move(left.flist), pc());
            break;
        }
        case ExpDesc::Compare: {
            tl = std::move(left.tlist);
            emit(ByteCode::abc(left.op, left.a, left.c, 0), left.line);
            tl.push_back(emit(ByteCode::jump(0)));
            fix_test_list_to(std::move(left.flist), pc());
            break;
        }
        }
        ExpDesc t(ExpDesc::Test);
        t.inner = std::make_unique<ExpDesc>();
        t.tlist = std::move(tl);
        return t;
    }
    if (left.is_literal()) return left;
    return ExpDesc(ExpDesc::Local, discharge_any(std::move(left)));
}

JumpList ParseProto::test_or_jump(ExpDesc e, std::uint32_t line) {
    switch (e.kind) {
    case ExpDesc::Boolean:
        if (!e.b) break;
        return {};
    case ExpDesc::Integer:
    case ExpDesc::Float:
    case ExpDesc::String:
        return {};
    case ExpDesc::Test: {
        JumpList f = std::move(e.flist);
        JumpList t = std::move(e.tlist);
        std::size_t r = discharge_any(std::move(*e.inner));
        f.push_back(emit(ByteCode::ai16(Op::TestOrJump, r, 0), line));
        fix_test_list_to(std::move(t), pc());
        return f;
    }
    case ExpDesc::Compare: {
        emit(ByteCode::abc(e.op, e.a, e.c, 1), e.line);
        JumpList f = std::move(e.flist);
        f.push_back(emit(ByteCode::jump(0), line));
        fix_test_list_to(std::move(e.tlist), pc());
        return f;
    }
    default:
        break;
    }
    std::size_t r = discharge_any(std::move(e));
    return {emit(ByteCode::ai16(Op::TestOrJump, r, 0), line)};
}

ExpDesc ParseProto::process_binop(Tok op, ExpDesc left, ExpDesc right) {
    if (op == Tok::And || op == Tok::Or) {
        if (left.kind != ExpDesc::Test) fail("impossible");
        if (right.kind == ExpDesc::Test || right.kind == ExpDesc::Compare) {
            JumpList t = std::move(left.tlist), f = std::move(left.flist);
            append(t, std::move(right.tlist));
            append(f, std::move(right.flist));
            right.tlist = std::move(t);
            right.flist = std::move(f);
            return right;
        }
        left.inner = std::make_unique<ExpDesc>(std::move(right));
        return left;
    }
    Forms forms;
    ArithOp aop;
    if (arith_forms(op, forms, aop)) {
        if (left.is_numeric_const() && right.is_numeric_const()) {
            Value v = arith(aop, const_value(left), const_value(right));
            return v.is_int() ? ExpDesc::integer(v.as_int()) : ExpDesc::number(v.as_float());
        }
        return do_binop(std::move(left), std::move(right), forms.reg, forms.imm, forms.konst);
    }
    if (compare_forms(op, forms))
        return do_compare(std::move(left), std::move(right), forms.reg, forms.imm, forms.konst);
    if (op == Tok::Concat) return do_concat(std::move(left), std::move(right));
    fail("impossible");
}

ExpDesc ParseProto::do_binop(ExpDesc left, ExpDesc right, Op op, Op op_int, Op op_const) {
    if ((op == Op::Add || op == Op::Mul) && left.is_numeric_const()) std::swap(left, right);
    if (left.is_literal() && must_precede_literal(right)) {
        std::size_t r = discharge_any(std::move(right));
        std::size_t l = discharge_any(std::move(left));
        return ExpDesc::with_op(ExpDesc::BinOp, op, l, r);
    }
    std::size_t l = discharge_any(std::move(left));
    if (right.kind == ExpDesc::Integer && right.i >= 0 && right.i <= 255)
        return ExpDesc::with_op(ExpDesc::BinOp, op_int, l, static_cast<std::size_t>(right.i));
    if (right.is_numeric_const()) {
        std::size_t k = add_const(const_value(right));
        if (k <= 255) return ExpDesc::with_op(ExpDesc::BinOp, op_const, l, k);
        return ExpDesc::with_op(ExpDesc::BinOp, op, l, discharge_any(std::move(right)));
    }
    return ExpDesc::with_op(ExpDesc::BinOp, op, l, discharge_any(std::move(right)));
}

ExpDesc ParseProto::do_compare(ExpDesc left, ExpDesc right, Op op, Op op_int, Op op_const) {
    if ((op == Op::Equal || op == Op::NotEq) && left.is_numeric_const()) std::swap(left, right);
    std::size_t l, c;
    Op form = op;
    if (left.is_literal() && must_precede_literal(right)) {
        c = discharge_any(std::move(right));
        l = discharge_any(std::move(left));
    } else {
        l = discharge_any(std::move(left));
        if (right.kind == ExpDesc::Integer && right.i >= 0 && right.i <= 255) {
            form = op_int;
            c = static_cast<std::size_t>(right.i);
        } else if (right.is_literal()) {
            std::size_t k =
                add_const(right.kind == ExpDesc::String ? Value::string(right.s) : const_value(right));
            if (k <= 255) {
                form = op_const;
                c = k;
            } else {
                c = discharge_any(std::move(right));
            }
        } else {
            c = discharge_any(std::move(right));
        }
    }
    return ExpDesc::with_op(ExpDesc::Compare, form, l, c);
}

ExpDesc ParseProto::do_concat(ExpDesc left, ExpDesc right) {
    if (left.kind == ExpDesc::String && right.kind == ExpDesc::String) {
        left.s += right.s;
        return left;
    }
    if (left.is_literal() && must_precede_literal(right)) {
        std::size_t r = discharge_any(std::move(right));
        std::size_t l = discharge_any(std::move(left));
        return ExpDesc::with_op(ExpDesc::BinOp, Op::Concat, l, r);
    }
    std::size_t l = discharge_any(std::move(left));
    std::size_t r = right.kind == ExpDesc::Call ? discharge_if_need(right.a, std::move(right))
                                                : discharge_if_need(sp_, std::move(right));
    return ExpDesc::with_op(ExpDesc::BinOp, Op::Concat, l, r);
}

// --- names

ExpDesc ParseProto::simple_name(const std::string& name) {
    auto& levels = ctx_.levels;
    Level& cur = levels.back();
    for (std::size_t i = cur.locals.size(); i-- > 0;)
        if (cur.locals[i].name == name) return ExpDesc(ExpDesc::Local, i);
    for (std::size_t i = 0; i < cur.upvalues.size(); ++i)
        if (cur.upvalues[i].first == name) return ExpDesc(ExpDesc::Upvalue, i);
    for (std::size_t d = 0; d + 1 < levels.size(); ++d) {
        Level& lv = levels[levels.size() - 2 - d];
        for (std::size_t i = lv.locals.size(); i-- > 0;) {
            if (lv.locals[i].name == name) {
                lv.captured[lv.locals[i].id] = true;
                return create_upvalue(name, UpIndex{UpIndex::Local, i}, d);
            }
        }
        for (std::size_t i = 0; i < lv.upvalues.size(); ++i)
            if (lv.upvalues[i].first == name) return create_upvalue(name, UpIndex{UpIndex::Upvalue, i}, d);
    }
    if (name == "_ENV") fail("no here");
    std::size_t c = add_const(Value::string(std::string_view(name)));
    ExpDesc env = simple_name("_ENV");
    if (env.kind == ExpDesc::Local) return field(env.a, c);
    if (env.kind == ExpDesc::Upvalue) {
        if (c <= 255) return ExpDesc(ExpDesc::UpvalueField, env.a, c);
        std::size_t t = sp_;
        discharge(t, std::move(env));
        return field(t, c);
    }
    fail("no here");
}

namespace {

// Upvalue indexes are one-byte operands: a function takes at most 255 upvalues.
constexpr std::size_t max_upvalues = 255;

std::size_t add_upvalue(Level& lv, const std::string& name, UpIndex source, SourcePos at) {
    if (lv.upvalues.size() >= max_upvalues) fatal_at(at, "too many upvalues");
    lv.upvalues.emplace_back(name, source);
    return lv.upvalues.size() - 1;
}

} // namespace

ExpDesc ParseProto::create_upvalue(const std::string& name, UpIndex source, std::size_t depth) {
    auto& levels = ctx_.levels;
    std::size_t cur = levels.size() - 1;
    if (depth > 0) {
        std::size_t found = cur - 1 - depth;
        for (std::size_t l = found + 1; l < cur; ++l)
            source = UpIndex{UpIndex::Upvalue, add_upvalue(levels[l], name, source, lex().pos())};
    }
    return ExpDesc(ExpDesc::Upvalue, add_upvalue(levels[cur], name, source, lex().pos()));
}

// R[t][K[c]]; field instructions name only the first 256 constants, so a later one is
// loaded into a register and used as a key.
ExpDesc ParseProto::field(std::size_t t, std::size_t c) {
    if (c <= 255) return ExpDesc(ExpDesc::TableField, t, c);
    std::size_t r = std::max(sp_, t + 1);
    check_reg(r);
    emit(ByteCode::au16(Op::LoadConst, r, c));
    sp_ = r + 1;
    return ExpDesc(ExpDesc::TableKey, t, r);
}

ExpDesc ParseProto::key_access(std::size_t t, ExpDesc key) {
    if (key.kind == ExpDesc::Integer && key.i >= 0 && key.i <= 255)
        return ExpDesc(ExpDesc::TableInt, t, static_cast<std::size_t>(key.i));
    if (key.kind == ExpDesc::String) return field(t, add_const(Value::string(std::move(key.s))));
    return ExpDesc(ExpDesc::TableKey, t, discharge_any(std::move(key)));
}

// `[key]` after the prefix d, whose chain began at register sp0. The table is placed before
// the key's code runs whenever the key's code could otherwise clobber it or skip its load;
// the order is the plain one (key parsed first) whenever the key emits no code.
ExpDesc ParseProto::index_suffix(ExpDesc d, std::size_t sp0) {
    if (d.kind == ExpDesc::Local) {
        ExpDesc key = do_exp(0, lex().next());
        lex().expect(Tok::SqurR);
        return key_access(d.a, std::move(key));
    }
    if (d.kind == ExpDesc::Upvalue) {
        std::size_t before = pc();
        std::size_t saved_sp = sp_;
        sp_ = std::max(sp_, sp0 + 1);
        ExpDesc key = do_exp(0, lex().next());
        lex().expect(Tok::SqurR);
        if (key.kind == ExpDesc::String) {
            sp_ = saved_sp;
            std::size_t c = add_const(Value::string(std::move(key.s)));
            if (c <= 255) return ExpDesc(ExpDesc::UpvalueField, d.a, c);
            discharge(sp0, std::move(d));
            return field(sp0, c);
        }
        if (pc() == before) {
            sp_ = saved_sp;
            discharge(sp0, std::move(d));
            return key_access(sp0, std::move(key));
        }
        std::size_t kr = discharge_any(std::move(key));
        std::size_t top = sp_;
        discharge(sp0, std::move(d));
        sp_ = std::max(top, kr + 1);
        return ExpDesc(ExpDesc::TableKey, sp0, kr);
    }
    discharge(sp0, std::move(d));
    ExpDesc key = do_exp(0, lex().next());
    lex().expect(Tok::SqurR);
    return key_access(sp0, std::move(key));
}

ExpDesc ParseProto::prefixexp(Token first) {
    std::size_t sp0 = sp_;
    ExpDesc d;
    if (first.kind == Tok::ParL) {
        d = do_exp(0, lex().next());
        lex().expect(Tok::ParR);
    } else if (first.kind == Tok::Name) {
        d = simple_name(first.s);
    } else {
        fail("invalid prefixexp " + first.str());
    }
    for (;;) {
        switch (lex().peek().kind) {
        case Tok::SqurL:
            lex().next();
            d = index_suffix(std::move(d), sp0);
            break;
        case Tok::Dot: {
            lex().next();
            Token name = lex().next();
            if (name.kind != Tok::Name) fail("expect name");
            std::size_t c = add_const(Value::string(std::move(name.s)));
            if (d.kind == ExpDesc::Upvalue && c <= 255) {
                d = ExpDesc(ExpDesc::UpvalueField, d.a, c);
            } else if (d.kind == ExpDesc::Local) {
                d = field(d.a, c);
            } else {
                discharge(sp0, std::move(d));
                d = field(sp0, c);
            }
            break;
        }
        case Tok::Colon: {
            lex().next();
            Token name = lex().next();
            if (name.kind != Tok::Name) fail("expect name");
            std::size_t c = add_const(Value::string(std::move(name.s)));
            std::size_t o;
            if (d.kind == ExpDesc::Local) {
                o = d.a;
            } else {
                discharge(sp0, std::move(d));
                o = sp0;
            }
            check_reg(sp0 + 1);
            if (c <= 255) {
                emit(ByteCode::abc(Op::GetFieldSelf, sp0, o, c));
            } else {
                // Method names past the first 256 constants: copy the receiver, then index it.
                emit(ByteCode::ab(Op::Move, sp0 + 1, o));
                check_reg(sp0 + 2);
                emit(ByteCode::au16(Op::LoadConst, sp0 + 2, c));
                emit(ByteCode::abc(Op::GetTable, sp0, sp0 + 1, sp0 + 2));
            }
            sp_ = sp0 + 2;
            d = args(1);
            break;
        }
        case Tok::ParL:
        case Tok::String:
        case Tok::CurlyL:
            discharge(sp0, std::move(d));
            d = args(0);
            break;
        default:
            return d;
        }
    }
}

ExpDesc ParseProto::args(std::size_t bias) {
    std::size_t s = sp_;
    Token t = lex().next();
    std::size_t n;
    switch (t.kind) {
    case Tok::ParL:
        if (lex().peek().kind == Tok::ParR) {
            lex().next();
            n = bias + 1;
        } else {
            auto [count, last] = explist();
            lex().expect(Tok::ParR);
            n = discharge_try_expand(std::move(last), 0) ? 0 : bias + count + 2;
            // The called value and its arguments, counted in one byte.
            check_regs(s - bias - 1, n);
        }
        break;
    case Tok::CurlyL:
        table_constructor();
        n = bias + 2;
        break;
    case Tok::String:
        discharge(s, ExpDesc::string(std::move(t.s)));
        n = bias + 2;
        break;
    default:
        fail("invalid args " + t.str());
    }
    ExpDesc call(ExpDesc::Call, s - bias - 1, n);
    call.line = t.line;
    return call;
}

// --- table constructors

ExpDesc ParseProto::table_constructor() {
    std::size_t t = sp_;
    check_reg(t);
    sp_ = t + 1;
    std::size_t inew = emit(ByteCode::abc(Op::NewTable, t, 0, 0));
    std::size_t narray = 0, nmap = 0;
    bool has_pending = false;
    ExpDesc pending;
    // The register of the next positional value: batches of 50 restart at t + 1.
    auto slot = [&] { return t + 1 + narray % 50; };
    auto place_pending = [&] {
        std::size_t r = slot();
        check_reg(r);
        discharge(r, std::move(pending));
        has_pending = false;
        ++narray;
        sp_ = r + 1;
        if (narray % 50 == 0) {
            emit(ByteCode::ab(Op::SetList, t, 50));
            sp_ = t + 1;
        }
    };
    for (;;) {
        std::size_t sp_e = sp_;
        Tok next = lex().peek().kind;
        if (next == Tok::CurlyR) {
            lex().next();
            break;
        }
        bool keyed = false;
        Token first;
        bool have_first = false;
        if (next == Tok::SqurL) {
            keyed = true;
        } else if (next == Tok::Name) {
            first = lex().next();
            have_first = true;
            keyed = lex().peek().kind == Tok::Assign;
        }
        if (keyed) {
            // A held-back value with pending jumps must be placed before this entry's code,
            // which its jumps would otherwise skip; so must a call whose last argument left an
            // open list of values on the stack, which this entry's code would overwrite.
            bool open_call = pending.kind == ExpDesc::Call && pending.c == 0;
            if (has_pending &&
                (pending.kind == ExpDesc::Test || pending.kind == ExpDesc::Compare || open_call)) {
                place_pending();
                sp_e = sp_;
            }
            Op reg_form, const_form;
            std::size_t key;
            if (have_first) {
                lex().next(); // '='
                key = add_const(Value::string(std::move(first.s)));
                reg_form = Op::SetField;
                const_form = Op::SetFieldConst;
                if (key > 255) {
                    std::size_t r = sp_;
                    check_reg(r);
                    emit(ByteCode::au16(Op::LoadConst, r, key));
                    sp_ = r + 1;
                    key = r;
                    reg_form = Op::SetTable;
                    const_form = Op::SetTableConst;
                }
            } else {
                lex().next(); // '['
                ExpDesc k = do_exp(0, lex().next());
                lex().expect(Tok::SqurR);
                lex().expect(Tok::Assign);
                if (k.kind == ExpDesc::Nil) fail("nil can not be table key");
                if (k.kind == ExpDesc::Float && std::isnan(k.f)) fail("NaN can not be table key");
                if (k.kind == ExpDesc::Integer && k.i >= 0 && k.i <= 255) {
                    key = static_cast<std::size_t>(k.i);
                    reg_form = Op::SetInt;
                    const_form = Op::SetIntConst;
                } else if (k.kind == ExpDesc::String && (key = add_const(Value::string(k.s))) <= 255) {
                    reg_form = Op::SetField;
                    const_form = Op::SetFieldConst;
                } else {
                    key = discharge_any(std::move(k));
                    reg_form = Op::SetTable;
                    const_form = Op::SetTableConst;
                }
            }
            ConstOrReg v = discharge_const(do_exp(0, lex().next()));
            emit(ByteCode::abc(v.is_const ? const_form : reg_form, t, key, v.index));
            ++nmap;
            sp_ = sp_e;
        } else {
            if (has_pending) place_pending();
            Token tok = have_first ? std::move(first) : lex().next();
            pending = do_exp(0, std::move(tok));
            has_pending = true;
        }
        Token sep = lex().next();
        if (sep.kind == Tok::Comma || sep.kind == Tok::SemiColon) continue;
        if (sep.kind == Tok::CurlyR) break;
        fail("invalid table " + sep.str());
    }
    if (!has_pending && narray % 50 != 0) {
        // Values placed early (before keyed entries) still wait in their registers.
        emit(ByteCode::ab(Op::SetList, t, narray % 50));
    }
    if (has_pending) {
        std::size_t r = slot();
        check_reg(r);
        sp_ = r;
        if (discharge_try_expand(std::move(pending), 0)) {
            emit(ByteCode::ab(Op::SetList, t, 0));
        } else {
            ++narray;
            emit(ByteCode::ab(Op::SetList, t, r - t));
        }
    }
    ByteCode& nt = fp_->byte_codes[inew];
    nt = ByteCode::abc(Op::NewTable, t, std::min<std::size_t>(narray, 255), std::min<std::size_t>(nmap, 255));
    sp_ = t + 1;
    return ExpDesc(ExpDesc::Local, t);
}

} // namespace tarn
