#pragma once
// Compiler state. `ParseContext` lives for one compilation and owns the lexer and the stack of
// name-resolution levels (one per function being compiled, innermost last). `ParseProto` is
// the state of one function under compilation; nested functions get their own on the same
// context. Statements live in statement.cpp, expressions in expression.cpp, and the emission
// helpers (discharge, jump lists, constants) in code.cpp.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string>
#include <unordered_map>
#include <vector>

#include "bytecode/func_proto.h"
#include "lex/lex.h"
#include "parse/exp_desc.h"
#include "parse/parser.h"
#include "value/value.h"

namespace tarn {

class Run;

struct LocalVar {
    std::string name;
    std::uint32_t id; // unique within the function; indexes Level::captured
};

struct Level {
    std::vector<LocalVar> locals;
    std::vector<std::pair<std::string, UpIndex>> upvalues;
    // Captured flag of every local ever declared in the function, by id, so that a jump can be
    // checked against captures made after it was compiled, once its locals have expired.
    std::vector<bool> captured;
};

struct ParseContext {
    ParseContext(Run& r, Lex l, const CompileOptions& o) : run(r), lex(std::move(l)), options(o) {}
    Run& run; // where listings are written
    Lex lex;
    const CompileOptions& options;
    std::vector<Level> levels;
    // Nesting of expressions, blocks and functions: bounded so that no script can exhaust the
    // host stack.
    int depth = 0;
};

// A forward goto or a visible label.
struct GotoLabel {
    std::string name;
    std::size_t icode;
    std::size_t nvar;
    std::vector<std::uint32_t> ids; // locals active at a goto (for closing captured ones)
    std::size_t expires = 0;        // block ends before the goto (see ParseProto::scope_since)
    bool pending = true;            // a goto not yet matched to its label
};

// A backward goto whose jump may still need to close captured locals.
struct BackwardGoto {
    std::size_t jump;
    std::size_t target;
    std::size_t nvar; // active locals at the label
    std::vector<std::uint32_t> ids;
};

// A break or continue waiting for its loop to end.
struct LoopJump {
    std::size_t icode;
    std::size_t nvar;
    std::vector<std::uint32_t> ids;
    std::size_t expires; // as for a goto
};

struct LoopBlock {
    std::size_t outer_nvar; // active locals before the loop statement
    std::vector<LoopJump> breaks;
    std::vector<LoopJump> continues;
};

// Where a value for an instruction's operand is: a constant index or a register.
struct ConstOrReg {
    bool is_const;
    std::size_t index;
};

// Constant de-duplication: a constant is reused only for an equal value of the same kind, so
// 1 and 1.0 stay apart; floats must also agree in sign, so 0.0 and -0.0 stay apart. (NaN
// equals nothing and is never looked up.)
struct ConstHash {
    std::size_t operator()(const Value& v) const { return v.hash(); }
};
struct ConstEq {
    bool operator()(const Value& a, const Value& b) const {
        if (a.kind() != b.kind()) return false;
        if (a.kind() == Kind::Float)
            return a.as_float() == b.as_float() && std::signbit(a.as_float()) == std::signbit(b.as_float());
        return a == b;
    }
};

class ParseProto {
public:
    ParseProto(ParseContext& ctx, bool has_varargs, std::size_t nparam, std::string name,
               std::uint32_t first_line);

    // Compiles the body up to `end` and finishes the prototype (listing printed).
    Rc<FuncProto> chunk(Tok end);
    // A stop detected at the latest token read (the diagnostic names the caller's line).
    [[noreturn]] void fail(std::string message,
                           std::source_location where = std::source_location::current()) const;

    // --- code.cpp: emission, constants, discharge, jump lists
    std::size_t pc() const { return fp_->byte_codes.size(); }
    // Emits at the line of the latest token consumed, or at `line`.
    std::size_t emit(ByteCode code);
    std::size_t emit(ByteCode code, std::uint32_t line);
    std::size_t add_const(Value v);
    void discharge(std::size_t dst, ExpDesc e);
    std::size_t discharge_if_need(std::size_t dst, ExpDesc e);
    std::size_t discharge_any(ExpDesc e);
    ConstOrReg discharge_const(ExpDesc e);
    bool discharge_try_expand(ExpDesc e, std::size_t want);
    void fix_test_list_to(JumpList list, std::size_t target);
    void fix_test_set_list(JumpList list, std::size_t dst);
    void patch_jump(std::size_t at, std::size_t target);
    void emit_jump_to(std::size_t target, std::uint32_t line);
    void check_reg(std::size_t r);
    // Values in registers first .. first + n - 1, with n in a one-byte count operand.
    void check_regs(std::size_t first, std::size_t n);
    std::size_t loop_distance(std::size_t d) const;
    // The offset of a jump at `from` to `to`, which must fit in 16 bits.
    std::int64_t jump_offset(std::size_t from, std::size_t to) const;

    // --- expression.cpp
    ExpDesc do_exp(int limit, Token first);
    ExpDesc prefixexp(Token first);
    ExpDesc simple_name(const std::string& name);
    ExpDesc create_upvalue(const std::string& name, UpIndex source, std::size_t depth);
    ExpDesc args(std::size_t bias);
    std::pair<std::size_t, ExpDesc> explist();
    // The jumps taken when `e` is false; they get the line `line`.
    JumpList test_or_jump(ExpDesc e, std::uint32_t line);
    ExpDesc table_constructor();
    // A function's parameters and body; `name` as written, or empty for an anonymous one
    // defined at `line` (the line of its `function` keyword).
    ExpDesc funcbody(bool with_self, std::string name, std::uint32_t line);

    // --- statement.cpp
    Tok block_scope();
    // Stops on a block that ended with the wrong token, naming the token as it was read.
    [[noreturn]] void fail_block_end(Tok expected) const;

private:
    // expression.cpp
    ExpDesc primary(Token first);
    ExpDesc unary(Tok op, ExpDesc operand);
    ExpDesc prepare_left(Tok op, ExpDesc left);
    ExpDesc process_binop(Tok op, ExpDesc left, ExpDesc right);
    ExpDesc do_binop(ExpDesc left, ExpDesc right, Op op, Op op_int, Op op_const);
    ExpDesc do_compare(ExpDesc left, ExpDesc right, Op op, Op op_int, Op op_const);
    ExpDesc do_concat(ExpDesc left, ExpDesc right);
    ExpDesc index_suffix(ExpDesc d, std::size_t sp0);
    ExpDesc key_access(std::size_t t, ExpDesc key);
    ExpDesc field(std::size_t t, std::size_t c);

    // statement.cpp
    void statement(Token tok, std::size_t first_goto);
    void adjust(std::size_t count, ExpDesc last, std::size_t want, bool keep_sp);
    void assign_var(ExpDesc target, ExpDesc value);
    void store_from_reg(const ExpDesc& target, std::size_t src);
    void assignment(ExpDesc first);
    void check_conflict(std::vector<ExpDesc>& targets);
    void local_stat();
    void local_function();
    void function_stat();
    void return_stat();
    void if_stat();
    Tok do_if_block(JumpList& end_jumps);
    void while_stat();
    void repeat_stat();
    void for_stat();
    void numeric_for(std::size_t base, std::uint32_t line);
    void generic_for(Token after_name, std::string first_name, std::uint32_t line);
    void block_to(Tok end);
    bool local_expire(std::size_t from);
    void break_stat();
    void continue_stat();
    void goto_stat();
    void label_stat(std::size_t first_goto);
    void define_label(std::string name, std::size_t first_goto, bool is_last);
    void forget_labels(std::size_t from);
    std::size_t scope_since(std::size_t expires, std::size_t count) const;
    void push_loop();
    void pop_loop_block(std::size_t continue_target, std::size_t landing, bool exit_closes);
    bool continue_needs_close(std::size_t target_nvar) const;
    bool leaves_captured(const std::vector<std::uint32_t>& ids, std::size_t from, std::size_t to) const;
    std::vector<std::uint32_t> active_ids() const;
    void declare_local(std::string name);
    // `end_line`: the line of the function's end, where the trampolines' entry jump goes.
    void close_backward_gotos(std::uint32_t end_line);

    Level& level() { return ctx_.levels.back(); }
    const Level& level() const { return ctx_.levels.back(); }
    std::size_t nvar() const { return level().locals.size(); }
    Lex& lex() { return ctx_.lex; }
    const Lex& lex() const { return ctx_.lex; }

    Rc<FuncProto> fp_;
    std::unordered_map<Value, std::size_t, ConstHash, ConstEq> const_index_;
    std::size_t sp_ = 0;
    std::vector<LoopBlock> loops_;
    Token block_end_; // the token that ended the latest block_scope
    // Every forward goto of the function in source order; matched ones stay, no longer
    // pending, so that positions (a block's first goto) never move.
    std::vector<GotoLabel> gotos_;
    // Positions of the pending gotos of each name, oldest first.
    std::unordered_map<std::string, std::vector<std::size_t>> pending_gotos_;
    std::vector<GotoLabel> labels_;
    // Visible label names are unique: each one's position in labels_.
    std::unordered_map<std::string, std::size_t> label_index_;
    // Block ends so far, and the low-water marks of the active local count they left:
    // (block ends counted, local count), both rising from the first mark to the last.
    std::size_t expires_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> expire_marks_;
    // Backward gotos that left locals not yet known to be captured when they were compiled.
    std::vector<BackwardGoto> backward_gotos_;
    ParseContext& ctx_;

    friend class DepthGuard;
};

// Bounds the nesting of the recursive descent.
class DepthGuard {
public:
    explicit DepthGuard(ParseContext& ctx);
    ~DepthGuard() { --ctx_.depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    ParseContext& ctx_;
};

} // namespace tarn
