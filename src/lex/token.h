#pragma once
// A lexical token: 60 variants, the last five with a payload (Integer, Float, String bytes,
// Name text as UTF-8) or none (Eos).

#include <cstdint>
#include <string>

namespace tarn {

// clang-format off
enum class Tok : std::uint8_t {
    And, Break, Do, Else, Elseif, End, False, For, Function, Goto, If, In, Local, Nil, Not, Or,
    Repeat, Return, Then, True, Until, While,
    Add, Sub, Mul, Div, Mod, Pow, Len, BitAnd, BitNot, BitOr, ShiftL, ShiftR, Idiv,
    Equal, NotEq, LesEq, GreEq, Less, Greater, Assign, ParL, ParR, CurlyL, CurlyR, SqurL, SqurR,
    DoubColon, SemiColon, Colon, Comma, Dot, Concat, Dots,
    Integer, Float, String, Name, Eos,
};
// clang-format on

struct Token {
    Tok kind = Tok::Eos;
    std::uint32_t line = 0; // where the token starts: 1-based line, column in bytes
    std::uint32_t col = 0;
    std::int64_t i = 0; // Integer
    double f = 0;       // Float
    std::string s;      // String bytes, Name text

    Token() = default;
    explicit Token(Tok k) : kind(k) {}

    // Equality by variant and payload, not position (a NaN float equals nothing).
    bool operator==(const Token& o) const;
    // The printed form used in messages: Eos, Integer(5), Float(1e16), String([104, 105]),
    // Name("x").
    std::string str() const;
};

} // namespace tarn
