#pragma once
// One instruction: an 8-bit tag and up to three operands packed in 32 bits. A 16-bit operand
// sits in the second and third bytes (low byte first).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

// After the instructions, the tag of the machine's end-of-code entry (not an instruction, and
// not counted in op_count).
enum class Op : std::uint8_t {
#define OP(name, shape, ...) name,
#include "bytecode/opcodes.def"
#undef OP
    PastEnd
};

enum class Shape : std::uint8_t { A, AB, ABC, AU16, AI16, ABool, ABBool, I16, None };

inline constexpr int op_count = 0
#define OP(name, shape, ...) +1
#include "bytecode/opcodes.def"
#undef OP
    ;
static_assert(op_count == 99, "the instruction set has 99 instructions");
static_assert(static_cast<int>(Op::Concat) == 98 && static_cast<int>(Op::SetFalseSkip) == 97);

extern const char* const op_names[op_count];
extern const Shape op_shapes[op_count];

// What an operand names, read off its name in the instruction list: "k" and "kv" are
// constant indexes, "up" an upvalue cell; everything else (registers, counts, immediates,
// distances) is Other.
enum class Role : std::uint8_t { Other, Constant, Upvalue };
struct Roles {
    Role of[3] = {Role::Other, Role::Other, Role::Other};
};

constexpr Roles roles_of(std::string_view names) {
    Roles r;
    std::size_t pos = 0;
    for (int i = 0; i < 3 && pos < names.size(); ++i) {
        std::size_t end = names.find(' ', pos);
        if (end == std::string_view::npos) end = names.size();
        std::string_view word = names.substr(pos, end - pos);
        r.of[i] = word == "k" || word == "kv" ? Role::Constant : word == "up" ? Role::Upvalue : Role::Other;
        pos = end + 1;
    }
    return r;
}

inline constexpr Roles op_roles[op_count] = {
#define OP(name, shape, operands, ...) roles_of(operands),
#include "bytecode/opcodes.def"
#undef OP
};

struct ByteCode {
    Op op;
    std::uint8_t a;
    std::uint8_t b;
    std::uint8_t c;

    std::uint16_t bx() const { return static_cast<std::uint16_t>(b | (c << 8)); }
    std::int16_t sbx() const { return static_cast<std::int16_t>(bx()); }

    // Operand narrowing happens only here. No range check: the compiler keeps registers,
    // constants and distances within the widths for the programs it accepts, and the
    // design leaves wider values without an encoding.
    static ByteCode abc(Op op, std::size_t a, std::size_t b, std::size_t c) {
        return {op, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(c)};
    }
    static ByteCode ab(Op op, std::size_t a, std::size_t b) { return abc(op, a, b, 0); }
    static ByteCode a_only(Op op, std::size_t a) { return abc(op, a, 0, 0); }
    static ByteCode au16(Op op, std::size_t a, std::size_t x) {
        auto v = static_cast<std::uint16_t>(x);
        return {op, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(v & 0xff),
                static_cast<std::uint8_t>(v >> 8)};
    }
    static ByteCode ai16(Op op, std::size_t a, std::int64_t x) {
        return au16(op, a, static_cast<std::uint16_t>(static_cast<std::int16_t>(x)));
    }
    static ByteCode jump(std::int64_t off) { return ai16(Op::Jump, 0, off); }
    static ByteCode none(Op op) { return {op, 0, 0, 0}; }

    // The printed form: Name(a, b, c), or the bare name when there are no operands.
    void print(std::string& out) const;
    std::string str() const {
        std::string s;
        print(s);
        return s;
    }
};

static_assert(sizeof(ByteCode) == 4);

} // namespace tarn
