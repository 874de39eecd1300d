// Statements and blocks: local declarations, assignments, calls, return, the block
// statements and loops, and the bookkeeping of break, continue, goto and labels.
//
// Closing captured locals: every path that leaves the scope of a local captured by a closure
// must close its cell, so that each closure keeps the variable it captured. Jumps remember
// the ids of the locals active where they were compiled, and are checked when they are
// resolved, since the capture may come later in the text than the jump. Where no captured
// local is left, no extra instruction is emitted.

#include <algorithm>

#include "parse/parse_proto.h"
#include "utils/fatal.h"
#include "utils/run.h"

namespace tarn {

namespace {

bool is_block_end(Tok t) {
    return t == Tok::Else || t == Tok::Elseif || t == Tok::End || t == Tok::Until || t == Tok::Eos;
}

} // namespace

void ParseProto::declare_local(std::string name) {
    Level& lv = level();
    if (lv.locals.size() > 255) fail("too many local variables");
    lv.locals.push_back({std::move(name), static_cast<std::uint32_t>(lv.captured.size())});
    lv.captured.push_back(false);
}

std::vector<std::uint32_t> ParseProto::active_ids() const {
    std::vector<std::uint32_t> ids;
    ids.reserve(level().locals.size());
    for (auto& l : level().locals) ids.push_back(l.id);
    return ids;
}

bool ParseProto::leaves_captured(const std::vector<std::uint32_t>& ids, std::size_t from,
                                 std::size_t to) const {
    const Level& lv = level();
    for (std::size_t i = from; i < to && i < ids.size(); ++i)
        if (lv.captured[ids[i]]) return true;
    return false;
}

void ParseProto::fail_block_end(Tok expected) const { fail_expect(block_end_, Token(expected)); }

Tok ParseProto::block_scope() {
    DepthGuard guard(ctx_);
    std::size_t first_goto = gotos_.size();
    std::size_t nlabels = labels_.size();
    for (;;) {
        sp_ = nvar();
        Token tok = lex().next();
        switch (tok.kind) {
        case Tok::SemiColon:
        case Tok::Break:
        case Tok::Do:
        case Tok::For:
        case Tok::Function:
        case Tok::Goto:
        case Tok::If:
        case Tok::Local:
        case Tok::Repeat:
        case Tok::Return:
        case Tok::While:
        case Tok::DoubColon:
        case Tok::Name:
        case Tok::ParL:
            statement(std::move(tok), first_goto);
            break;
        default:
            forget_labels(nlabels);
            block_end_ = std::move(tok);
            return block_end_.kind;
        }
    }
}

void ParseProto::block_to(Tok end) {
    std::size_t from = nvar();
    Tok t = block_scope();
    if (t != end) fail_block_end(end);
    local_expire(from);
}

void ParseProto::statement(Token tok, std::size_t first_goto) {
    switch (tok.kind) {
    case Tok::SemiColon:
        return;
    case Tok::Break:
        return break_stat();
    case Tok::Do:
        return block_to(Tok::End);
    case Tok::For:
        return for_stat();
    case Tok::Function:
        return function_stat();
    case Tok::Goto:
        return goto_stat();
    case Tok::If:
        return if_stat();
    case Tok::Local:
        if (lex().peek().kind == Tok::Function) {
            lex().next();
            return local_function();
        }
        return local_stat();
    case Tok::Repeat:
        return repeat_stat();
    case Tok::Return:
        return return_stat();
    case Tok::While:
        return while_stat();
    case Tok::DoubColon:
        return label_stat(first_goto);
    default:
        break;
    }
    if (tok.kind == Tok::Name && tok.s == "continue") {
        Tok next = lex().peek().kind;
        if (next == Tok::Else || next == Tok::Elseif || next == Tok::End) return continue_stat();
    }
    ExpDesc d = prefixexp(std::move(tok));
    if (d.kind == ExpDesc::Call) {
        emit(ByteCode::abc(Op::Call, d.a, d.c, 0), d.line);
        return;
    }
    assignment(std::move(d));
}

// Adjusts an expression list (count placed, `last` pending) to `want` values.
void ParseProto::adjust(std::size_t count, ExpDesc last, std::size_t want, bool keep_sp) {
    if (count + 1 == want) {
        discharge(sp_, std::move(last));
    } else if (count + 1 > want) {
        if (!keep_sp) sp_ -= count - want;
    } else if (!discharge_try_expand(std::move(last), want - count)) {
        check_regs(sp_, want - count - 1);
        emit(ByteCode::ab(Op::LoadNil, sp_, want - count - 1));
    }
}

namespace {

// The store instructions for an assignment target: from a register, and from a constant
// (Op::Move when the target has no constant form).
bool store_forms(ExpDesc::Kind k, Op& from_reg, Op& from_const) {
    switch (k) {
    case ExpDesc::Local:
        from_reg = Op::Move;
        from_const = Op::Move;
        return true;
    case ExpDesc::Upvalue:
        from_reg = Op::SetUpvalue;
        from_const = Op::SetUpvalueConst;
        return true;
    case ExpDesc::TableKey:
        from_reg = Op::SetTable;
        from_const = Op::SetTableConst;
        return true;
    case ExpDesc::TableField:
        from_reg = Op::SetField;
        from_const = Op::SetFieldConst;
        return true;
    case ExpDesc::TableInt:
        from_reg = Op::SetInt;
        from_const = Op::SetIntConst;
        return true;
    case ExpDesc::UpvalueField:
        from_reg = Op::SetUpField;
        from_const = Op::SetUpFieldConst;
        return true;
    default:
        return false;
    }
}

// Upvalue stores take (up, src); the others (target, key, src) or (dst, src).
ByteCode store(Op op, const ExpDesc& target, std::size_t src) {
    if (op == Op::Move || op == Op::SetUpvalue || op == Op::SetUpvalueConst)
        return ByteCode::ab(op, target.a, src);
    return ByteCode::abc(op, target.a, target.c, src);
}

} // namespace

void ParseProto::store_from_reg(const ExpDesc& target, std::size_t src) {
    Op from_reg, from_const;
    if (!store_forms(target.kind, from_reg, from_const)) fail("assign from stack");
    emit(store(from_reg, target, src));
}

void ParseProto::assign_var(ExpDesc target, ExpDesc value) {
    if (target.kind == ExpDesc::Local) {
        discharge(target.a, std::move(value));
        return;
    }
    ConstOrReg v = discharge_const(std::move(value));
    if (!v.is_const) {
        store_from_reg(target, v.index);
        return;
    }
    Op from_reg, from_const;
    if (!store_forms(target.kind, from_reg, from_const)) fail("assign from const");
    emit(store(from_const, target, v.index));
}

// Targets are stored right to left, so a variable assigned by the newest target would change
// an earlier indexed target that uses it as its table or key before that target is stored
// (`t[i], i = v, 3`). Such a target takes a copy of the variable made now, before any value
// is evaluated.
void ParseProto::check_conflict(std::vector<ExpDesc>& targets) {
    const ExpDesc& v = targets.back();
    if (v.kind != ExpDesc::Local && v.kind != ExpDesc::Upvalue) return;
    std::size_t copy = sp_;
    bool conflict = false;
    for (std::size_t k = 0; k + 1 < targets.size(); ++k) {
        ExpDesc& t = targets[k];
        if (v.kind == ExpDesc::Local) {
            bool indexed =
                t.kind == ExpDesc::TableKey || t.kind == ExpDesc::TableField || t.kind == ExpDesc::TableInt;
            if (indexed && t.a == v.a) {
                t.a = copy;
                conflict = true;
            }
            if (t.kind == ExpDesc::TableKey && t.c == v.a) {
                t.c = copy;
                conflict = true;
            }
        } else if (t.kind == ExpDesc::UpvalueField && t.a == v.a) {
            t.kind = ExpDesc::TableField;
            t.a = copy;
            conflict = true;
        }
    }
    if (!conflict) return;
    check_reg(copy);
    emit(ByteCode::ab(v.kind == ExpDesc::Local ? Op::Move : Op::GetUpvalue, copy, v.a));
    sp_ = copy + 1;
}

void ParseProto::assignment(ExpDesc first) {
    std::vector<ExpDesc> targets;
    targets.push_back(std::move(first));
    while (lex().peek().kind == Tok::Comma) {
        lex().next();
        targets.push_back(prefixexp(lex().next()));
        // Every target but the last is stored from its own register, at best counted from 0:
        // stop a list that cannot fit before its conflict checks grow with its square.
        check_reg(targets.size() - 2);
        check_conflict(targets);
    }
    Token t = lex().next();
    if (t.kind != Tok::Assign) fail("invalid assign " + t.str());
    std::size_t sp0 = sp_;
    auto [count, last] = explist();
    std::size_t n = targets.size();
    if (count + 1 == n) {
        assign_var(std::move(targets.back()), std::move(last));
        targets.pop_back();
    } else {
        adjust(count, std::move(last), n, true);
    }
    for (std::size_t k = targets.size(); k-- > 0;) store_from_reg(targets[k], sp0 + k);
}

void ParseProto::local_stat() {
    std::vector<std::string> names;
    for (;;) {
        Token name = lex().next();
        if (name.kind != Tok::Name) fail("expect name");
        names.push_back(std::move(name.s));
        if (lex().peek().kind != Tok::Comma) break;
        lex().next();
    }
    if (lex().peek().kind == Tok::Assign) {
        lex().next();
        auto [count, last] = explist();
        adjust(count, std::move(last), names.size(), false);
    } else {
        check_regs(sp_, names.size());
        emit(ByteCode::ab(Op::LoadNil, sp_, names.size()));
    }
    for (auto& n : names) declare_local(std::move(n));
}

void ParseProto::local_function() {
    std::uint32_t line = lex().last_line();
    Token name = lex().next();
    if (name.kind != Tok::Name) fail("expect name");
    if (ctx_.options.listing) {
        ctx_.run.output().write("== function: ");
        ctx_.run.output().write(name.s);
        ctx_.run.output().put('\n');
    }
    std::size_t r = sp_;
    std::string written = name.s;
    declare_local(std::move(name.s));
    ExpDesc f = funcbody(false, std::move(written), line);
    std::size_t from = pc();
    discharge(r, std::move(f));
    for (std::size_t k = from; k < pc(); ++k) fp_->lines[k] = line;
}

void ParseProto::function_stat() {
    std::uint32_t line = lex().last_line();
    Token name = lex().next();
    if (name.kind != Tok::Name) fail("expect name");
    std::string written = name.s;
    ExpDesc target = simple_name(name.s);
    bool method = false;
    for (;;) {
        Tok t = lex().peek().kind;
        if (t != Tok::Dot && t != Tok::Colon) break;
        lex().next();
        Token field_name = lex().next();
        if (field_name.kind != Tok::Name) fail("expect name");
        written += t == Tok::Dot ? '.' : ':';
        written += field_name.s;
        std::size_t r = discharge_any(std::move(target));
        target = field(r, add_const(Value::string(std::move(field_name.s))));
        if (t == Tok::Colon) {
            method = true;
            break;
        }
    }
    ExpDesc f = funcbody(method, std::move(written), line);
    // The definition happens on the statement's first line, not at its `end`.
    std::size_t from = pc();
    assign_var(std::move(target), std::move(f));
    for (std::size_t k = from; k < pc(); ++k) fp_->lines[k] = line;
}

void ParseProto::return_stat() {
    std::uint32_t line = lex().last_line();
    Tok next = lex().peek().kind;
    if (is_block_end(next)) {
        emit(ByteCode::none(Op::Return0), line);
        return;
    }
    if (next == Tok::SemiColon) {
        lex().next();
        emit(ByteCode::none(Op::Return0), line);
        return;
    }
    std::size_t first = sp_;
    auto [count, last] = explist();
    if (lex().peek().kind == Tok::SemiColon) lex().next();
    if (!is_block_end(lex().peek().kind)) fail("'end' expected");
    if (count == 0 && last.kind == ExpDesc::Local) {
        emit(ByteCode::ab(Op::Return, last.a, 1), line);
    } else if (count == 0 && last.kind == ExpDesc::Call) {
        emit(ByteCode::ab(Op::TailCall, last.a, last.c), last.line);
    } else if (discharge_try_expand(std::move(last), 0)) {
        emit(ByteCode::ab(Op::Return, first, 0), line);
    } else {
        check_regs(first, count + 1);
        emit(ByteCode::ab(Op::Return, first, count + 1), line);
    }
}

Tok ParseProto::do_if_block(JumpList& end_jumps) {
    std::uint32_t line = lex().last_line();
    JumpList f = test_or_jump(do_exp(0, lex().next()), line);
    lex().expect(Tok::Then);
    std::size_t from = nvar();
    Tok t = block_scope();
    local_expire(from);
    if (t == Tok::Else || t == Tok::Elseif) end_jumps.push_back(emit(ByteCode::jump(0)));
    fix_test_list_to(std::move(f), pc());
    return t;
}

void ParseProto::if_stat() {
    JumpList end_jumps;
    Tok t = do_if_block(end_jumps);
    while (t == Tok::Elseif) t = do_if_block(end_jumps);
    if (t == Tok::Else) {
        std::size_t from = nvar();
        t = block_scope();
        local_expire(from);
    }
    if (t != Tok::End) fail_block_end(Tok::End);
    fix_test_list_to(std::move(end_jumps), pc());
}

void ParseProto::push_loop() { loops_.push_back(LoopBlock{nvar(), {}, {}}); }

bool ParseProto::continue_needs_close(std::size_t target_nvar) const {
    for (auto& c : loops_.back().continues)
        if (leaves_captured(c.ids, target_nvar, c.nvar)) return true;
    return false;
}

// Ends the innermost loop: breaks go to the next instruction (after a Close when one leaves
// a captured local and the exit does not close anyway), continues to `continue_target`, or
// to `landing` (a Close before it) when they leave a captured local.
void ParseProto::pop_loop_block(std::size_t continue_target, std::size_t landing, bool exit_closes) {
    LoopBlock lb = std::move(loops_.back());
    loops_.pop_back();
    std::size_t exit = pc();
    bool close_breaks = false;
    if (!exit_closes)
        for (auto& b : lb.breaks)
            if (leaves_captured(b.ids, lb.outer_nvar, b.nvar)) close_breaks = true;
    if (close_breaks) emit(ByteCode::a_only(Op::Close, lb.outer_nvar));
    for (auto& b : lb.breaks) patch_jump(b.icode, exit);
    std::size_t n = nvar();
    for (auto& c : lb.continues) {
        if (scope_since(c.expires, c.nvar) < n) fail("continue jump into local scope");
        bool closing = landing != SIZE_MAX && leaves_captured(c.ids, lb.outer_nvar, c.nvar);
        patch_jump(c.icode, closing ? landing : continue_target);
    }
}

void ParseProto::while_stat() {
    std::uint32_t line = lex().last_line();
    std::size_t start = pc();
    JumpList f = test_or_jump(do_exp(0, lex().next()), line);
    lex().expect(Tok::Do);
    push_loop();
    std::size_t from = nvar();
    Tok t = block_scope();
    if (t != Tok::End) fail_block_end(Tok::End);
    bool closed = local_expire(from);
    std::size_t landing = SIZE_MAX;
    if (continue_needs_close(from)) {
        if (!closed) emit(ByteCode::a_only(Op::Close, from));
        landing = pc() - 1;
    }
    emit_jump_to(start, line);
    pop_loop_block(start, landing, false);
    fix_test_list_to(std::move(f), pc());
}

void ParseProto::repeat_stat() {
    std::size_t start = pc();
    push_loop();
    std::size_t from = nvar();
    Tok t = block_scope();
    if (t != Tok::Until) fail_block_end(Tok::Until);
    std::uint32_t line = block_end_.line;
    // Continues land on the condition, where the body's own locals are still active; those
    // that leave captured locals of inner blocks pass a Close first.
    if (continue_needs_close(nvar())) emit(ByteCode::a_only(Op::Close, nvar()));
    std::size_t cond = continue_needs_close(nvar()) ? pc() - 1 : pc();
    JumpList f = test_or_jump(do_exp(0, lex().next()), line);
    bool body_captured = leaves_captured(active_ids(), from, nvar());
    if (body_captured) {
        // Each iteration gets fresh captured locals: the way back closes them too.
        std::size_t to_exit = emit(ByteCode::jump(0), line);
        fix_test_list_to(std::move(f), pc());
        emit(ByteCode::a_only(Op::Close, from), line);
        emit_jump_to(start, line);
        patch_jump(to_exit, pc());
    } else {
        fix_test_list_to(std::move(f), start);
    }
    pop_loop_block(cond, SIZE_MAX, body_captured);
    local_expire(from);
}

void ParseProto::for_stat() {
    std::uint32_t line = lex().last_line();
    Token name = lex().next();
    if (name.kind != Tok::Name) fail("expect name");
    Token t = lex().next();
    if (t.kind == Tok::Assign) {
        auto [count, last] = explist();
        discharge(sp_, std::move(last));
        if (count == 1) {
            discharge(sp_, ExpDesc::integer(1));
        } else if (count != 2) {
            fail("invalid numerical for exp");
        }
        std::size_t base = sp_ - 3;
        declare_local(std::move(name.s));
        declare_local("");
        declare_local("");
        numeric_for(base, line);
    } else {
        generic_for(std::move(t), std::move(name.s), line);
    }
}

void ParseProto::numeric_for(std::size_t base, std::uint32_t line) {
    lex().expect(Tok::Do);
    std::size_t p = emit(ByteCode::au16(Op::ForPrepare, base, 0), line);
    loops_.push_back(LoopBlock{base, {}, {}});
    block_to(Tok::End);
    bool closed = local_expire(base);
    std::size_t landing = SIZE_MAX;
    if (continue_needs_close(base)) {
        if (!closed) emit(ByteCode::a_only(Op::Close, base));
        landing = pc() - 1;
    }
    std::size_t q = pc();
    std::size_t d = loop_distance(q - p);
    emit(ByteCode::au16(Op::ForLoop, base, d), line);
    fp_->byte_codes[p] = ByteCode::au16(Op::ForPrepare, base, d);
    pop_loop_block(q, landing, false);
}

void ParseProto::generic_for(Token after_name, std::string first_name, std::uint32_t line) {
    std::vector<std::string> names;
    names.push_back(std::move(first_name));
    Token t = std::move(after_name);
    for (;;) {
        if (t.kind == Tok::Comma) {
        } else if (t.kind == Tok::Name) {
            names.push_back(std::move(t.s));
        } else {
            break;
        }
        t = lex().next();
    }
    if (t.kind != Tok::In) fail("invalid generic_for namelist");
    std::size_t base = sp_;
    auto [count, last] = explist();
    adjust(count, std::move(last), 3, false);
    declare_local("");
    declare_local("");
    declare_local("");
    for (auto& n : names) declare_local(std::move(n));
    lex().expect(Tok::Do);
    std::size_t j = emit(ByteCode::jump(0), line);
    loops_.push_back(LoopBlock{base, {}, {}});
    block_to(Tok::End);
    bool closed = local_expire(base);
    std::size_t landing = SIZE_MAX;
    if (continue_needs_close(base)) {
        if (!closed) emit(ByteCode::a_only(Op::Close, base));
        landing = pc() - 1;
    }
    std::size_t d = pc() - j;
    patch_jump(j, pc());
    std::size_t c = pc();
    if (d < 256) {
        emit(ByteCode::abc(Op::ForCallLoop, base, names.size(), d), line);
    } else {
        emit(ByteCode::abc(Op::ForCallLoop, base, names.size(), 0), line);
        emit_jump_to(j + 1, line);
    }
    pop_loop_block(c, landing, false);
}

bool ParseProto::local_expire(std::size_t from) {
    Level& lv = level();
    bool captured = false;
    for (std::size_t i = from; i < lv.locals.size(); ++i)
        if (lv.captured[lv.locals[i].id]) captured = true;
    lv.locals.resize(from);
    ++expires_;
    while (!expire_marks_.empty() && expire_marks_.back().second >= from) expire_marks_.pop_back();
    expire_marks_.emplace_back(expires_, from);
    if (captured) emit(ByteCode::a_only(Op::Close, from));
    return captured;
}

void ParseProto::break_stat() {
    if (loops_.empty()) fail("break outside loop");
    std::size_t j = emit(ByteCode::jump(0), lex().last_line());
    loops_.back().breaks.push_back({j, nvar(), active_ids(), expires_});
}

void ParseProto::continue_stat() {
    if (loops_.empty()) fail("continue outside loop");
    std::size_t j = emit(ByteCode::jump(0), lex().last_line());
    loops_.back().continues.push_back({j, nvar(), active_ids(), expires_});
}

void ParseProto::goto_stat() {
    std::uint32_t line = lex().last_line();
    Token name = lex().next();
    if (name.kind != Tok::Name) fail("expect name");
    auto visible = label_index_.find(name.s);
    if (visible != label_index_.end()) {
        const GotoLabel& l = labels_[visible->second];
        if (leaves_captured(active_ids(), l.nvar, nvar())) {
            emit(ByteCode::a_only(Op::Close, l.nvar), line);
        } else if (nvar() > l.nvar) {
            // A closure later in the text may still capture a local this jump leaves (when a
            // loop runs it first): checked again when the function ends.
            backward_gotos_.push_back({pc(), l.icode, l.nvar, active_ids()});
        }
        emit_jump_to(l.icode, line);
        return;
    }
    std::size_t j = emit(ByteCode::jump(0), line);
    pending_gotos_[name.s].push_back(gotos_.size());
    gotos_.push_back({std::move(name.s), j, nvar(), active_ids(), expires_});
}

// Routes each backward goto that left a local captured after it was compiled through a
// trampoline that closes the cells first. The trampolines sit before the final Return0,
// skipped by the code that falls through to it.
void ParseProto::close_backward_gotos(std::uint32_t end_line) {
    std::size_t skip = SIZE_MAX;
    for (auto& g : backward_gotos_) {
        if (!leaves_captured(g.ids, g.nvar, g.ids.size())) continue;
        if (skip == SIZE_MAX) skip = emit(ByteCode::jump(0), end_line);
        patch_jump(g.jump, pc());
        std::uint32_t line = fp_->lines[g.jump];
        emit(ByteCode::a_only(Op::Close, g.nvar), line);
        emit_jump_to(g.target, line);
    }
    if (skip != SIZE_MAX) patch_jump(skip, pc());
}

// A run of labels, with only semicolons between them, shares one instruction index. The later
// ones are defined first, so gotos to an earlier one pass over a Close that a later one adds.
void ParseProto::label_stat(std::size_t first_goto) {
    std::vector<std::string> names;
    for (;;) {
        Token name = lex().next();
        if (name.kind != Tok::Name) fail("expect name");
        lex().expect(Tok::DoubColon);
        names.push_back(std::move(name.s));
        while (lex().peek().kind == Tok::SemiColon) lex().next();
        if (lex().peek().kind != Tok::DoubColon) break;
        lex().next();
    }
    bool is_last = is_block_end(lex().peek().kind);
    for (std::size_t i = names.size(); i-- > 0;) define_label(std::move(names[i]), first_goto, is_last);
}

void ParseProto::define_label(std::string name, std::size_t first_goto, bool is_last) {
    if (label_index_.count(name)) fail("duplicate label " + name);
    std::size_t icode = pc();
    std::size_t n = nvar();
    // The gotos it resolves, those of its name issued since its block began, end the name's
    // pending list.
    auto pending = pending_gotos_.find(name);
    std::vector<std::size_t> none;
    std::vector<std::size_t>& list = pending != pending_gotos_.end() ? pending->second : none;
    std::size_t first_match = list.size();
    while (first_match > 0 && list[first_match - 1] >= first_goto) --first_match;
    // A goto that leaves a captured local makes the label start with a Close, harmless for
    // every other path that reaches it (it only closes cells of ended scopes). Normally it
    // closes from the label's own locals up; a label that ends its block may see a newer
    // local in the slot of one the goto left, and then the Close starts at that slot.
    const Level& lv = level();
    std::size_t close_from = SIZE_MAX;
    for (std::size_t k = first_match; k < list.size(); ++k) {
        const GotoLabel& g = gotos_[list[k]];
        if (!is_last && scope_since(g.expires, g.nvar) < n) fail("goto jump into scope " + name);
        for (std::size_t r = 0; r < g.nvar && r < g.ids.size() && r < close_from; ++r) {
            bool left = r >= n || lv.locals[r].id != g.ids[r];
            if (left && lv.captured[g.ids[r]]) close_from = std::min(r, n);
        }
    }
    if (close_from != SIZE_MAX) emit(ByteCode::a_only(Op::Close, close_from));
    for (std::size_t k = first_match; k < list.size(); ++k) {
        GotoLabel& g = gotos_[list[k]];
        patch_jump(g.icode, icode);
        g.pending = false;
        g.ids = std::vector<std::uint32_t>(); // matched gotos stay in the list: free the bulk
    }
    list.resize(first_match);
    if (list.empty() && pending != pending_gotos_.end()) pending_gotos_.erase(pending);
    label_index_.emplace(name, labels_.size());
    labels_.push_back({std::move(name), icode, n, {}});
}

void ParseProto::forget_labels(std::size_t from) {
    for (std::size_t i = from; i < labels_.size(); ++i) label_index_.erase(labels_[i].name);
    labels_.resize(from);
}

// The fewest locals active at any point since a jump was compiled (after `expires` block ends,
// with `count` locals): the scope the jump stands in once the blocks around it have ended.
std::size_t ParseProto::scope_since(std::size_t expires, std::size_t count) const {
    auto later = std::upper_bound(expire_marks_.begin(), expire_marks_.end(), expires,
                                  [](std::size_t e, const auto& mark) { return e < mark.first; });
    return later == expire_marks_.end() ? count : std::min(count, later->second);
}

} // namespace tarn
