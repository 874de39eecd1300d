// Token equality and the printed form of tokens that compiler messages quote.

#include "lex/token.h"

#include <array>
#include <string_view>

#include "utils/reader.h"
#include "value/value.h"

namespace tarn {

namespace {

// clang-format off
constexpr std::array<std::string_view, 60> variant_names = {
    "And", "Break", "Do", "Else", "Elseif", "End", "False", "For", "Function", "Goto", "If", "In",
    "Local", "Nil", "Not", "Or", "Repeat", "Return", "Then", "True", "Until", "While", "Add", "Sub",
    "Mul", "Div", "Mod", "Pow", "Len", "BitAnd", "BitNot", "BitOr", "ShiftL", "ShiftR", "Idiv",
    "Equal", "NotEq", "LesEq", "GreEq", "Less", "Greater", "Assign", "ParL", "ParR", "CurlyL",
    "CurlyR", "SqurL", "SqurR", "DoubColon", "SemiColon", "Colon", "Comma", "Dot", "Concat", "Dots",
    "Integer", "Float", "String", "Name", "Eos",
};
// clang-format on
static_assert(static_cast<std::size_t>(Tok::Eos) + 1 == variant_names.size(), "one name per variant");

} // namespace

bool Token::operator==(const Token& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
    case Tok::Integer:
        return i == o.i;
    case Tok::Float:
        return f == o.f;
    case Tok::String:
    case Tok::Name:
        return s == o.s;
    default:
        return true;
    }
}

std::string Token::str() const {
    std::string out(variant_names[static_cast<std::size_t>(kind)]);
    switch (kind) {
    case Tok::Integer:
        out += '(';
        out += std::to_string(i);
        out += ')';
        break;
    case Tok::Float:
        out += '(';
        format_float(f, out);
        out += ')';
        break;
    case Tok::String:
        out += "([";
        for (std::size_t k = 0; k < s.size(); ++k) {
            if (k != 0) out += ", ";
            out += std::to_string(static_cast<unsigned char>(s[k]));
        }
        out += "])";
        break;
    case Tok::Name:
        out += '(';
        append_debug_quoted(s, out);
        out += ')';
        break;
    default:
        break;
    }
    return out;
}

} // namespace tarn
