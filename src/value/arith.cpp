// The operators' results for every combination of operand kinds, and the fatal stop for every
// combination without one. Integer arithmetic wraps (done on unsigned values, so nothing here
// relies on signed overflow); the compiler folds numeric constants through the same code.

#include "value/arith.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "utils/fatal.h"
#include "value/table.h"

namespace tarn {

namespace {

inline std::int64_t wrap_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
inline std::int64_t wrap_sub(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline std::int64_t wrap_mul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// clang-format off
inline double to_float(const Value& v) {
    return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
}
// clang-format on

// A bitwise operand: integers as they are, floats only with an exact integer value.
std::int64_t bit_operand(const Value& v) {
    if (v.is_int()) return v.as_int();
    std::int64_t i;
    if (!float_exact_int(v.as_float(), i)) fatal(unwrap_none);
    return i;
}

} // namespace

std::int64_t int_mod(std::int64_t a, std::int64_t b) {
    if (b == 0) fatal("attempt to calculate the remainder with a divisor of zero");
    if (b == -1) {
        if (a == INT64_MIN) fatal("attempt to calculate the remainder with overflow");
        return 0;
    }
    return a % b;
}

std::int64_t int_idiv(std::int64_t a, std::int64_t b) {
    if (b == 0) fatal("attempt to divide by zero");
    if (b == -1 && a == INT64_MIN) fatal("attempt to divide with overflow");
    return a / b;
}

std::int64_t shift_left(std::int64_t a, std::int64_t n) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) << (n & 63));
}

std::int64_t shift_right(std::int64_t a, std::int64_t n) { return a >> (n & 63); }

Value arith(ArithOp op, const Value& a, const Value& b) {
    if (!a.is_number() || !b.is_number()) fatal("not yet implemented: meta");
    const bool ints = a.is_int() && b.is_int();
    switch (op) {
    case ArithOp::Add:
        if (ints) return Value::integer(wrap_add(a.as_int(), b.as_int()));
        return Value::number(to_float(a) + to_float(b));
    case ArithOp::Sub:
        if (ints) return Value::integer(wrap_sub(a.as_int(), b.as_int()));
        return Value::number(to_float(a) - to_float(b));
    case ArithOp::Mul:
        if (ints) return Value::integer(wrap_mul(a.as_int(), b.as_int()));
        return Value::number(to_float(a) * to_float(b));
    case ArithOp::Mod:
        if (ints) return Value::integer(int_mod(a.as_int(), b.as_int()));
        return Value::number(std::fmod(to_float(a), to_float(b)));
    case ArithOp::Idiv:
        if (ints) return Value::integer(int_idiv(a.as_int(), b.as_int()));
        return Value::number(to_float(a) / to_float(b));
    case ArithOp::Div:
        return Value::number(to_float(a) / to_float(b));
    case ArithOp::Pow:
        return Value::number(std::pow(to_float(a), to_float(b)));
    default:
        break;
    }
    const std::int64_t x = bit_operand(a);
    const std::int64_t y = bit_operand(b);
    switch (op) {
    case ArithOp::BitAnd:
        return Value::integer(x & y);
    case ArithOp::BitXor:
        return Value::integer(x ^ y);
    case ArithOp::BitOr:
        return Value::integer(x | y);
    case ArithOp::ShiftL:
        return Value::integer(shift_left(x, y));
    default:
        return Value::integer(shift_right(x, y));
    }
}

Value arith_neg(const Value& a) {
    if (a.is_int()) return Value::integer(wrap_sub(0, a.as_int()));
    if (a.is_float()) return Value::number(-a.as_float());
    fatal("invalid -");
}

Value arith_bit_not(const Value& a) {
    if (a.is_int()) return Value::integer(~a.as_int());
    fatal("invalid ~");
}

Value arith_len(const Value& a) {
    if (a.is_string()) return Value::integer(static_cast<std::int64_t>(a.as_string().size()));
    if (a.is_table()) return Value::integer(static_cast<std::int64_t>(a.as_table()->array_len()));
    fatal("invalid #");
}

Order partial_cmp(const Value& a, const Value& b) {
    switch (a.kind()) {
    case Kind::Integer:
        if (b.is_int()) return order_of(a.as_int(), b.as_int());
        if (b.is_float()) return order_of(static_cast<double>(a.as_int()), b.as_float());
        return Order::None;
    case Kind::Float:
        if (b.is_number()) return order_of(a.as_float(), to_float(b));
        return Order::None;
    case Kind::ShortString:
    case Kind::MiddleString:
    case Kind::LongString: {
        if (!b.is_string()) return Order::None;
        const std::string_view x = a.as_string(), y = b.as_string();
        // memcmp compares as unsigned bytes, which is the order strings have.
        const std::size_t n = std::min(x.size(), y.size());
        const int c = n == 0 ? 0 : std::memcmp(x.data(), y.data(), n);
        if (c != 0) return c < 0 ? Order::Less : Order::Greater;
        return order_of(x.size(), y.size());
    }
    default:
        return Order::None;
    }
}

double make_float(Value& v) {
    if (v.is_int()) {
        const double f = static_cast<double>(v.as_int());
        v = Value::number(f);
        return f;
    }
    if (v.is_float()) return v.as_float();
    fatal("not number " + v.quoted());
}

Value concat(const Value& a, const Value& b) {
    if (!a.is_string()) fatal("invalid string Value");
    if (!b.is_string()) {
        if (b.is_int()) fatal("not yet implemented: int");
        if (b.is_float()) fatal("not yet implemented: float");
        fatal("invalid string Value");
    }
    const std::string_view x = a.as_string(), y = b.as_string();
    // Both short, by the representation's rule.
    if (x.size() + y.size() <= short_max) return Value::short_concat(a, b);
    Value result = Value::string_uninit(x.size() + y.size());
    char* bytes = result.fill_bytes();
    if (!x.empty()) std::memcpy(bytes, x.data(), x.size());
    if (!y.empty()) std::memcpy(bytes + x.size(), y.data(), y.size());
    return result;
}

} // namespace tarn
