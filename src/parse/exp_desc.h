#pragma once
// The expression descriptor: where an expression's value is, or how it can be produced,
// before any code has placed it. Conditions carry the jump lists of their pending exits.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bytecode/bytecode.h"

namespace tarn {

// Indexes of unpatched jumps (offset 0) in the instruction array.
using JumpList = std::vector<std::size_t>;

struct ExpDesc {
    enum Kind : std::uint8_t {
        Nil,           // -
        Boolean,       // b
        Integer,       // i
        Float,         // f
        String,        // s (bytes)
        Local,         // a = register
        Upvalue,       // a = upvalue index
        TableKey,      // a = table register, c = key register
        TableField,    // a = table register, c = constant index of a string
        TableInt,      // a = table register, c = integer key 0..255
        UpvalueField,  // a = upvalue index, c = constant index of a string
        FunctionConst, // a = constant index of a function without upvalues
        ClosureConst,  // a = constant index of a function with upvalues
        Call,          // a = function register, c = argument field (count + 1, or 0 for open)
        VarArgs,       // -
        UnaryOp,       // op, a = operand register
        BinOp,         // op, a = left register, c = right register / immediate / constant
        Test,          // inner, tlist, flist
        Compare,       // op, a = left register, c = right operand; tlist, flist
    };

    Kind kind = Nil;
    bool b = false;
    std::int64_t i = 0;
    double f = 0;
    std::string s;
    std::size_t a = 0;
    std::size_t c = 0;
    Op op = Op::Move;
    std::unique_ptr<ExpDesc> inner;
    JumpList tlist;
    JumpList flist;
    // The source line of the instruction a pending UnaryOp, BinOp, Compare or Call emits.
    std::uint32_t line = 0;

    ExpDesc() = default;
    explicit ExpDesc(Kind k, std::size_t a_ = 0, std::size_t c_ = 0) : kind(k), a(a_), c(c_) {}
    ExpDesc(ExpDesc&&) noexcept = default;
    ExpDesc& operator=(ExpDesc&&) noexcept = default;

    static ExpDesc boolean(bool v) {
        ExpDesc e(Boolean);
        e.b = v;
        return e;
    }
    static ExpDesc integer(std::int64_t v) {
        ExpDesc e(Integer);
        e.i = v;
        return e;
    }
    static ExpDesc number(double v) {
        ExpDesc e(Float);
        e.f = v;
        return e;
    }
    static ExpDesc string(std::string v) {
        ExpDesc e(String);
        e.s = std::move(v);
        return e;
    }
    static ExpDesc with_op(Kind k, Op op, std::size_t a, std::size_t c = 0) {
        ExpDesc e(k, a, c);
        e.op = op;
        return e;
    }

    bool is_numeric_const() const { return kind == Integer || kind == Float; }
    bool is_literal() const { return kind == Integer || kind == Float || kind == String; }
    bool has_jumps() const { return !tlist.empty() || !flist.empty(); }
};

} // namespace tarn
