// Instruction emission for the compiler: the constant table, placing expression values in
// registers or constant operands (discharge), and patching jump lists. The register counter
// `sp_` is the first free register; `discharge` leaves it just above what it placed.

#include <cmath>

#include "parse/parse_proto.h"
#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/run.h"
#include "utils/stack_guard.h"

namespace tarn {

namespace {

// Nesting of expressions, blocks and functions; a small thread stack may stop it earlier.
constexpr std::size_t max_depth = 1000;
// Registers and counts are one-byte operands; the compiler checks every one it emits, since
// the instruction constructors narrow without a test.
constexpr std::size_t max_reg = 255;

bool fits_i16(std::int64_t v) { return v >= -32768 && v <= 32767; }

} // namespace

DepthGuard::DepthGuard(ParseContext& ctx) : ctx_(ctx) {
    if (static_cast<std::size_t>(++ctx_.depth) > max_depth || stack_nearly_full()) {
        --ctx_.depth;
        fatal_at(ctx_.lex.pos(), "chunk has too many syntax levels");
    }
}

ParseProto::ParseProto(ParseContext& ctx, bool has_varargs, std::size_t nparam, std::string name,
                       std::uint32_t first_line)
    : fp_(make_rc<FuncProto>()), ctx_(ctx) {
    fp_->has_varargs = has_varargs;
    fp_->nparam = nparam;
    fp_->name = std::move(name);
    fp_->chunk_name = ctx.options.chunk_name;
    fp_->first_line = first_line;
}

void ParseProto::fail(std::string message, std::source_location where) const {
    fatal_at(lex().pos(), std::move(message), where);
}

std::size_t ParseProto::emit(ByteCode code) { return emit(code, lex().last_line()); }

std::size_t ParseProto::emit(ByteCode code, std::uint32_t line) {
    fp_->byte_codes.push_back(code);
    fp_->lines.push_back(line);
    return fp_->byte_codes.size() - 1;
}

void ParseProto::check_reg(std::size_t r) {
    if (r > max_reg) fail("function or expression needs too many registers");
}

void ParseProto::check_regs(std::size_t first, std::size_t n) {
    check_reg(n);
    if (n > 0) check_reg(first + n - 1);
}

std::size_t ParseProto::add_const(Value v) {
    auto& k = fp_->constants;
    // A new function value equals no constant, and NaN equals nothing: neither is looked up.
    bool reusable = v.kind() != Kind::LuaFunction && !(v.kind() == Kind::Float && std::isnan(v.as_float()));
    if (reusable) {
        auto it = const_index_.find(v);
        if (it != const_index_.end()) return it->second;
    }
    // LoadConst and Closure name constants with 16 bits.
    if (k.size() > 0xffff) fail("too many constants");
    k.push_back(v);
    if (reusable) const_index_.emplace(std::move(v), k.size() - 1);
    return k.size() - 1;
}

void ParseProto::discharge(std::size_t dst, ExpDesc e) {
    check_reg(dst);
    switch (e.kind) {
    case ExpDesc::Nil:
        emit(ByteCode::ab(Op::LoadNil, dst, 1));
        break;
    case ExpDesc::Boolean:
        emit(ByteCode::ab(Op::LoadBool, dst, e.b));
        break;
    case ExpDesc::Integer:
        if (fits_i16(e.i))
            emit(ByteCode::ai16(Op::LoadInt, dst, e.i));
        else
            emit(ByteCode::au16(Op::LoadConst, dst, add_const(Value::integer(e.i))));
        break;
    case ExpDesc::Float:
        emit(ByteCode::au16(Op::LoadConst, dst, add_const(Value::number(e.f))));
        break;
    case ExpDesc::String:
        emit(ByteCode::au16(Op::LoadConst, dst, add_const(Value::string(std::move(e.s)))));
        break;
    case ExpDesc::Local:
        // Already in place (a temporary such as a constructed table): only claim the slot.
        if (e.a != dst) emit(ByteCode::ab(Op::Move, dst, e.a));
        break;
    case ExpDesc::Upvalue:
        emit(ByteCode::ab(Op::GetUpvalue, dst, e.a));
        break;
    case ExpDesc::TableKey:
        emit(ByteCode::abc(Op::GetTable, dst, e.a, e.c));
        break;
    case ExpDesc::TableField:
        emit(ByteCode::abc(Op::GetField, dst, e.a, e.c));
        break;
    case ExpDesc::TableInt:
        emit(ByteCode::abc(Op::GetInt, dst, e.a, e.c));
        break;
    case ExpDesc::UpvalueField:
        emit(ByteCode::abc(Op::GetUpField, dst, e.a, e.c));
        break;
    case ExpDesc::FunctionConst:
        emit(ByteCode::au16(Op::LoadConst, dst, e.a));
        break;
    case ExpDesc::ClosureConst:
        emit(ByteCode::au16(Op::Closure, dst, e.a));
        break;
    case ExpDesc::Call:
        if (dst > e.a) {
            // The call cuts the stack back to just above its function register, which would
            // drop a result stored higher up: take it in the function register, then move it.
            emit(ByteCode::abc(Op::CallSet, e.a, e.a, e.c), e.line);
            emit(ByteCode::ab(Op::Move, dst, e.a), e.line);
        } else {
            emit(ByteCode::abc(Op::CallSet, dst, e.a, e.c), e.line);
        }
        break;
    case ExpDesc::VarArgs:
        emit(ByteCode::ab(Op::VarArgs, dst, 1));
        break;
    case ExpDesc::UnaryOp:
        emit(ByteCode::ab(e.op, dst, e.a), e.line);
        break;
    case ExpDesc::BinOp:
        emit(ByteCode::abc(e.op, dst, e.a, e.c), e.line);
        break;
    case ExpDesc::Test: {
        discharge(dst, std::move(*e.inner));
        // A comparison that ended an operand of the chain left a plain jump in a list: it
        // carries no value, so it lands on a store of the boolean it stands for.
        JumpList plain_t, plain_f, value_t, value_f;
        for (std::size_t j : e.tlist) (fp_->byte_codes[j].op == Op::Jump ? plain_t : value_t).push_back(j);
        for (std::size_t j : e.flist) (fp_->byte_codes[j].op == Op::Jump ? plain_f : value_f).push_back(j);
        if (!plain_t.empty() || !plain_f.empty()) {
            std::size_t skip = emit(ByteCode::jump(0));
            if (!plain_f.empty()) {
                fix_test_list_to(std::move(plain_f), pc());
                if (!plain_t.empty())
                    emit(ByteCode::a_only(Op::SetFalseSkip, dst));
                else
                    emit(ByteCode::ab(Op::LoadBool, dst, 0));
            }
            if (!plain_t.empty()) {
                fix_test_list_to(std::move(plain_t), pc());
                emit(ByteCode::ab(Op::LoadBool, dst, 1));
            }
            patch_jump(skip, pc());
        }
        fix_test_set_list(std::move(value_t), dst);
        fix_test_set_list(std::move(value_f), dst);
        break;
    }
    case ExpDesc::Compare:
        emit(ByteCode::abc(e.op, e.a, e.c, 0), e.line);
        emit(ByteCode::jump(1), e.line);
        fix_test_list_to(std::move(e.flist), pc());
        emit(ByteCode::a_only(Op::SetFalseSkip, dst), e.line);
        fix_test_list_to(std::move(e.tlist), pc());
        emit(ByteCode::ab(Op::LoadBool, dst, 1), e.line);
        break;
    }
    sp_ = dst + 1;
}

std::size_t ParseProto::discharge_if_need(std::size_t dst, ExpDesc e) {
    if (e.kind == ExpDesc::Local) return e.a;
    discharge(dst, std::move(e));
    return dst;
}

std::size_t ParseProto::discharge_any(ExpDesc e) {
    if (e.kind == ExpDesc::Local) return e.a;
    std::size_t dst = e.kind == ExpDesc::Call ? e.a : sp_;
    discharge(dst, std::move(e));
    return dst;
}

ConstOrReg ParseProto::discharge_const(ExpDesc e) {
    std::size_t k;
    switch (e.kind) {
    case ExpDesc::Nil:
        k = add_const(Value());
        break;
    case ExpDesc::Boolean:
        k = add_const(Value::boolean(e.b));
        break;
    case ExpDesc::Integer:
        k = add_const(Value::integer(e.i));
        break;
    case ExpDesc::Float:
        k = add_const(Value::number(e.f));
        break;
    case ExpDesc::String:
        k = add_const(Value::string(std::move(e.s)));
        break;
    case ExpDesc::Local:
        return {false, e.a};
    case ExpDesc::FunctionConst:
        k = e.a;
        break;
    case ExpDesc::Call: {
        std::size_t f = e.a;
        discharge(f, std::move(e));
        return {false, f};
    }
    default: {
        std::size_t r = sp_;
        discharge(r, std::move(e));
        return {false, r};
    }
    }
    if (k <= 255) return {true, k};
    // Constant operands are one byte wide: a later constant is loaded into a register.
    std::size_t r = sp_;
    check_reg(r);
    emit(ByteCode::au16(Op::LoadConst, r, k));
    sp_ = r + 1;
    return {false, r};
}

bool ParseProto::discharge_try_expand(ExpDesc e, std::size_t want) {
    if (e.kind == ExpDesc::Call) {
        check_regs(e.a, want);
        emit(ByteCode::abc(Op::Call, e.a, e.c, want), e.line);
        return true;
    }
    if (e.kind == ExpDesc::VarArgs) {
        check_reg(sp_);
        check_regs(sp_, want);
        emit(ByteCode::ab(Op::VarArgs, sp_, want));
        return true;
    }
    discharge(sp_, std::move(e));
    return false;
}

namespace {

[[noreturn]] void invalid_test() { fatal("invalid Test"); }

} // namespace

std::int64_t ParseProto::jump_offset(std::size_t from, std::size_t to) const {
    auto off = static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from) - 1;
    if (!fits_i16(off)) fail("control structure too long");
    return off;
}

// The numeric loop instructions carry their distance unsigned in 16 bits.
std::size_t ParseProto::loop_distance(std::size_t d) const {
    if (d > 0xffff) fail("control structure too long");
    return d;
}

void ParseProto::patch_jump(std::size_t at, std::size_t target) {
    auto& codes = fp_->byte_codes;
    ByteCode& c = codes[at];
    c = ByteCode::ai16(c.op, c.a, jump_offset(at, target));
}

void ParseProto::emit_jump_to(std::size_t target, std::uint32_t line) {
    emit(ByteCode::jump(jump_offset(pc(), target)), line);
}

void ParseProto::fix_test_list_to(JumpList list, std::size_t target) {
    auto& codes = fp_->byte_codes;
    for (std::size_t j : list) {
        if (j >= codes.size()) fatal_bounds(codes.size(), j);
        ByteCode c = codes[j];
        if ((c.op != Op::Jump && c.op != Op::TestAndJump && c.op != Op::TestOrJump) || c.sbx() != 0)
            invalid_test();
        codes[j] = ByteCode::ai16(c.op, c.a, jump_offset(j, target));
    }
}

void ParseProto::fix_test_set_list(JumpList list, std::size_t dst) {
    std::size_t n = pc();
    JumpList far;
    for (std::size_t j : list) {
        if (j >= n) fatal_bounds(n, j);
        ByteCode c = fp_->byte_codes[j];
        if ((c.op != Op::Jump && c.op != Op::TestAndJump && c.op != Op::TestOrJump) || c.sbx() != 0)
            invalid_test();
        std::size_t d = n - j - 1;
        if (c.op == Op::Jump || c.a == dst) {
            fp_->byte_codes[j] = ByteCode::ai16(c.op, c.a, jump_offset(j, n));
        } else if (d > 255) {
            far.push_back(j);
        } else {
            Op set = c.op == Op::TestAndJump ? Op::TestAndSetJump : Op::TestOrSetJump;
            fp_->byte_codes[j] = ByteCode::abc(set, dst, c.a, d);
        }
    }
    if (far.empty()) return;
    // The copying tests reach only 255 instructions ahead: a farther one keeps its plain test
    // and lands on a copy placed after the end, which the fall-through path jumps over.
    JumpList to_end{emit(ByteCode::jump(0))};
    for (std::size_t j : far) {
        ByteCode c = fp_->byte_codes[j];
        fp_->byte_codes[j] = ByteCode::ai16(c.op, c.a, jump_offset(j, pc()));
        emit(ByteCode::ab(Op::Move, dst, c.a));
        to_end.push_back(emit(ByteCode::jump(0)));
    }
    fix_test_list_to(std::move(to_end), pc());
}

Rc<FuncProto> ParseProto::chunk(Tok end) {
    Tok last = block_scope();
    if (last != end) fail_block_end(end);
    for (const GotoLabel& g : gotos_)
        if (g.pending) fail("goto " + g.name + " no destination");
    // The end of a script that ends with a line break is on the last line that has text.
    std::uint32_t end_line = block_end_.line;
    if (end == Tok::Eos && block_end_.col == 1 && end_line > 1) --end_line;
    close_backward_gotos(end_line);
    Level& lv = level();
    for (auto& [name, up] : lv.upvalues) fp_->upindexes.push_back(up);
    ctx_.levels.pop_back();
    emit(ByteCode::none(Op::Return0), end_line);
    fp_->last_line = end_line;
    if (fp_->name.empty())
        fp_->name = "function <" + fp_->chunk_name + ":" + std::to_string(fp_->first_line) + ">";
    const CompileOptions& o = ctx_.options;
    fp_->prepare(o.annotate);
    if (o.listing) {
        std::string listing;
        fp_->print_listing(listing, o.annotate);
        ctx_.run.output().write(listing);
    }
    fp_->finish(o.annotate);
    if (o.finished) {
        fp_->listing_index = static_cast<std::uint32_t>(o.finished->size());
        o.finished->push_back(fp_.get());
    }
    return fp_;
}

namespace {

Rc<FuncProto> compile_function(ParseContext& ctx, bool has_varargs, std::vector<std::string> params, Tok end,
                               std::string name, std::uint32_t first_line) {
    DepthGuard guard(ctx);
    Level lv;
    for (auto& p : params) {
        lv.locals.push_back({std::move(p), static_cast<std::uint32_t>(lv.captured.size())});
        lv.captured.push_back(false);
    }
    std::size_t nparam = lv.locals.size();
    ctx.levels.push_back(std::move(lv));
    ParseProto proto(ctx, has_varargs, nparam, std::move(name), first_line);
    return proto.chunk(end);
}

} // namespace

ExpDesc ParseProto::funcbody(bool with_self, std::string name, std::uint32_t line) {
    std::vector<std::string> params;
    if (with_self) params.emplace_back("self");
    bool varargs = false;
    lex().expect(Tok::ParL);
    for (;;) {
        Token t = lex().next();
        if (t.kind == Tok::Name) {
            params.push_back(std::move(t.s));
            // The parameters are the registers from 0 on, counted in one byte.
            check_regs(0, params.size());
            Token sep = lex().next();
            if (sep.kind == Tok::Comma) continue;
            if (sep.kind == Tok::ParR) break;
            fail("invalid parameter " + sep.str());
        }
        if (t.kind == Tok::ParR) break;
        if (t.kind == Tok::Dots) {
            varargs = true;
            lex().expect(Tok::ParR);
            break;
        }
        fail("invalid parameter " + t.str());
    }
    Rc<FuncProto> proto = compile_function(ctx_, varargs, std::move(params), Tok::End, std::move(name), line);
    bool has_up = !proto->upindexes.empty();
    std::size_t k = add_const(Value::shared(Kind::LuaFunction, proto.get()));
    return ExpDesc(has_up ? ExpDesc::ClosureConst : ExpDesc::FunctionConst, k);
}

Rc<FuncProto> load(Run& run, std::unique_ptr<FileReader> reader, const CompileOptions& options) {
    ParseContext ctx(run, Lex(std::move(reader)), options);
    try {
        if (options.skip_shebang) ctx.lex.skip_first_line();
        return compile_function(ctx, false, {"_ENV"}, Tok::Eos, "main chunk", 1);
    } catch (Fatal& f) {
        // A stop raised below the parser (constant folding, a table of constants) knows no
        // place in the script: it is where the lexer stands.
        if (f.pos().line == 0 && ctx.lex.pos().line != 0)
            throw Fatal(std::string(f.message().data(), f.message().size()), f.where(), ctx.lex.pos());
        throw;
    }
}

} // namespace tarn
