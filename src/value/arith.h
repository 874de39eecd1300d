#pragma once
// What the operators compute: the result of every arithmetic, bitwise, unary, ordering and
// concatenation operation for every combination of operand kinds, and the fatal stop for the
// combinations that have none. Used by the machine at run time and by the compiler when it
// folds constants (numbers only).

#include <cstdint>

#include "value/value.h"

namespace tarn {

// clang-format off
enum class ArithOp : std::uint8_t { Add, Sub, Mul, Mod, Div, Idiv, Pow, BitAnd, BitXor, BitOr, ShiftL, ShiftR };
// clang-format on

// a op b. Non-numbers: "not yet implemented: meta"; the integer division and remainder
// errors; bitwise floats without an exact integer value: "called `Option::unwrap()` on a
// `None` value".
Value arith(ArithOp op, const Value& a, const Value& b);

// Integer-only helpers shared by the fast paths of the machine and by folding.
// clang-format off
std::int64_t int_mod(std::int64_t a, std::int64_t b);  // fatal on 0 and on overflow
std::int64_t int_idiv(std::int64_t a, std::int64_t b); // fatal on 0 and on overflow
std::int64_t shift_left(std::int64_t a, std::int64_t n);  // count taken modulo 64
std::int64_t shift_right(std::int64_t a, std::int64_t n); // arithmetic, count modulo 64
// clang-format on

// Unary operators at run time: "invalid -", "invalid ~", "invalid #".
Value arith_neg(const Value& a);
Value arith_bit_not(const Value& a);
Value arith_len(const Value& a);

enum class Order : std::uint8_t { Less, Equal, Greater, None };
// Two numbers of one type in the order of their values (None: a NaN among them).
template <class T> [[gnu::always_inline]] inline Order order_of(T a, T b) {
    if (a < b) return Order::Less;
    if (a > b) return Order::Greater;
    if (a == b) return Order::Equal;
    return Order::None;
}
// Integers, floats (mixed by converting the integer), strings byte-wise; anything else, and
// NaN, has no order.
Order partial_cmp(const Value& a, const Value& b);

// The numeric for loop's conversion of a register to a float: an integer is converted and
// stored back; a non-number fails with "not number " and the value's quoted form.
double make_float(Value& v);

// a .. b: "invalid string Value", "not yet implemented: int", "not yet implemented: float".
Value concat(const Value& a, const Value& b);

} // namespace tarn
