// The scanner: bytes come one at a time from the reader's buffer through a one-byte peek
// slot; tokens go out one at a time through a one-token look-ahead slot. Every lexical
// error is a fatal stop.

#include "lex/lex.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>

#include "utils/fatal.h"

namespace tarn {

namespace {

// How a byte may continue a name: not at all, as itself (ASCII letters, digits, '_'), or as
// the Latin-1 character of that code, which is a Unicode letter or number (ª µ º ² ³ ¹ ¼ ½ ¾
// and the accented letters) and goes into the name UTF-8 encoded.
enum NameByte : std::uint8_t { not_name = 0, ascii_name = 1, latin1_name = 2 };

constexpr std::array<std::uint8_t, 256> make_name_bytes() {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t c = '0'; c <= '9'; ++c) t[c] = ascii_name;
    for (std::size_t c = 'a'; c <= 'z'; ++c) t[c] = ascii_name;
    for (std::size_t c = 'A'; c <= 'Z'; ++c) t[c] = ascii_name;
    t['_'] = ascii_name;
    for (std::size_t c : {0xaaU, 0xb2U, 0xb3U, 0xb5U, 0xb9U, 0xbaU, 0xbcU, 0xbdU, 0xbeU}) t[c] = latin1_name;
    for (std::size_t c = 0xc0; c <= 0xff; ++c) {
        if (c != 0xd7 && c != 0xf7) t[c] = latin1_name; // × and ÷ are symbols
    }
    return t;
}
constexpr std::array<std::uint8_t, 256> name_bytes = make_name_bytes();

bool is_digit(int c) { return c >= '0' && c <= '9'; }

struct Keyword {
    std::string_view text;
    Tok tok;
};
// clang-format off
constexpr Keyword keywords[] = {
    {"and", Tok::And}, {"break", Tok::Break}, {"do", Tok::Do}, {"else", Tok::Else},
    {"elseif", Tok::Elseif}, {"end", Tok::End}, {"false", Tok::False}, {"for", Tok::For},
    {"function", Tok::Function}, {"goto", Tok::Goto}, {"if", Tok::If}, {"in", Tok::In},
    {"local", Tok::Local}, {"nil", Tok::Nil}, {"not", Tok::Not}, {"or", Tok::Or},
    {"repeat", Tok::Repeat}, {"return", Tok::Return}, {"then", Tok::Then}, {"true", Tok::True},
    {"until", Tok::Until}, {"while", Tok::While},
};
// clang-format on

// Keywords are two to eight lowercase letters; anything else is a name without a lookup.
bool find_keyword(std::string_view s, Tok& out) {
    if (s.size() < 2 || s.size() > 8 || s[0] < 'a' || s[0] > 'w') return false;
    for (const Keyword& k : keywords) {
        if (k.text == s) {
            out = k.tok;
            return true;
        }
    }
    return false;
}

// clang-format off
[[noreturn]] void invalid_float(SourcePos at) {
    fatal_at(at, std::string(unwrap_err) + "ParseFloatError { kind: Invalid }");
}
// clang-format on

// A numeral that the converter found well formed but out of range: its magnitude is far
// beyond the largest float or far below the smallest, so the decimal exponent of its leading
// digit decides between infinity and zero.
double out_of_range_value(std::string_view s) {
    std::int64_t lead = 0;
    bool seen_nonzero = false;
    bool in_fraction = false;
    std::size_t k = 0;
    for (; k < s.size() && s[k] != 'e' && s[k] != 'E'; ++k) {
        if (s[k] == '.') {
            in_fraction = true;
        } else if (!seen_nonzero) {
            if (in_fraction) --lead;
            if (s[k] != '0') seen_nonzero = true;
        } else if (!in_fraction) {
            ++lead;
        }
    }
    if (!seen_nonzero) return 0.0;
    std::int64_t exp = 0;
    if (k < s.size()) {
        ++k;
        bool negative = k < s.size() && s[k] == '-';
        if (k < s.size() && (s[k] == '-' || s[k] == '+')) ++k;
        for (; k < s.size(); ++k) {
            if (exp < 1'000'000'000) exp = exp * 10 + (s[k] - '0');
        }
        if (negative) exp = -exp;
    }
    return lead + exp >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

double parse_float(std::string_view s, SourcePos at) {
    double d = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d, std::chars_format::general);
    if (end != s.data() + s.size()) invalid_float(at);
    if (ec == std::errc::result_out_of_range) return out_of_range_value(s);
    if (ec != std::errc()) invalid_float(at);
    return d;
}

std::int64_t parse_integer(std::string_view s, SourcePos at) {
    std::int64_t v = 0;
    for (char c : s) {
        int d = c - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - d) / 10) {
            fatal_at(at, std::string(unwrap_err) + "ParseIntError { kind: PosOverflow }");
        }
        v = v * 10 + d;
    }
    return v;
}

int hex_digit(int c, SourcePos at) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    fatal_at(at, unwrap_none);
}

Token payload_token(Tok kind, std::string s) {
    Token t(kind);
    t.s = std::move(s);
    return t;
}

} // namespace

Lex::Lex(std::unique_ptr<FileReader> input) : input_(std::move(input)) {}

Token Lex::next() {
    if (ahead_.kind == Tok::Eos) {
        Token t = do_next();
        last_line_ = t.line;
        return t;
    }
    Token t = std::move(ahead_);
    ahead_ = Token();
    last_line_ = t.line;
    return t;
}

const Token& Lex::peek() {
    if (ahead_.kind == Tok::Eos) ahead_ = do_next();
    return ahead_;
}

void Lex::expect(Tok t) {
    Token found = next();
    Token expected(t);
    if (!(found == expected)) fail_expect(found, expected);
}

SourcePos Lex::pos() const { return {line_, static_cast<std::uint32_t>(tok_start_ - line_start_ + 1)}; }

void Lex::fail(std::string message, std::source_location where) const {
    fatal_at(pos(), std::move(message), where);
}

void Lex::skip_first_line() {
    if (peek_byte() != '#') return;
    int c;
    do {
        c = next_byte();
    } while (c != '\n' && c != FileReader::end_of_stream);
    if (c == '\n') new_line();
}

void fail_expect(const Token& found, const Token& expected) {
    fatal_at({found.line, found.col},
             "assertion `left == right` failed\n  left: " + found.str() + "\n right: " + expected.str());
}

int Lex::next_byte() {
    int b = peeked_;
    if (b == no_peek) {
        b = input_->get();
    } else {
        peeked_ = no_peek;
    }
    if (b == FileReader::read_error) fail(unwrap_err + os_error_debug(input_->error()));
    return b;
}

int Lex::peek_byte() {
    if (peeked_ == no_peek) peeked_ = input_->get();
    if (peeked_ >= 0) return peeked_;
    if (peeked_ == FileReader::end_of_stream) return 0;
    fail("lex peek error");
}

Tok Lex::check_ahead(int c, Tok longer, Tok shorter) {
    if (peek_byte() != c) return shorter;
    skip_peeked();
    return longer;
}

// Only "<" and ">" use this, so the "=" forms are LesEq and GreEq.
Tok Lex::check_ahead2(int c, Tok longer, Tok shorter) {
    int b = peek_byte();
    if (b == '=') {
        skip_peeked();
        return c == '<' ? Tok::LesEq : Tok::GreEq;
    }
    if (b != c) return shorter;
    skip_peeked();
    return longer;
}

Token Lex::do_next() {
    Token t = scan();
    // No token spans a line end, so the line is still the one where it began.
    t.line = line_;
    t.col = static_cast<std::uint32_t>(tok_start_ - line_start_ + 1);
    return t;
}

Token Lex::scan() {
    for (;;) {
        int c = next_byte();
        tok_start_ = input_->offset() - 1;
        switch (c) {
        case FileReader::end_of_stream:
            tok_start_ = input_->offset();
            return Token(Tok::Eos);
        case '\n':
            new_line();
            continue;
        case ' ':
        case '\t':
        case '\r':
            continue;
        case '-':
            if (peek_byte() != '-') return Token(Tok::Sub);
            skip_peeked();
            read_comment();
            continue;
        case '.': {
            int b = peek_byte();
            if (b == '.') {
                skip_peeked();
                return Token(check_ahead('.', Tok::Dots, Tok::Concat));
            }
            if (is_digit(b)) return read_decimal('.');
            return Token(Tok::Dot);
        }
        case '=':
            return Token(check_ahead('=', Tok::Equal, Tok::Assign));
        case '~':
            return Token(check_ahead('=', Tok::NotEq, Tok::BitNot));
        case '/':
            return Token(check_ahead('/', Tok::Idiv, Tok::Div));
        case ':':
            return Token(check_ahead(':', Tok::DoubColon, Tok::Colon));
        case '<':
            return Token(check_ahead2('<', Tok::ShiftL, Tok::Less));
        case '>':
            return Token(check_ahead2('>', Tok::ShiftR, Tok::Greater));
        case '+':
            return Token(Tok::Add);
        case '*':
            return Token(Tok::Mul);
        case '%':
            return Token(Tok::Mod);
        case '^':
            return Token(Tok::Pow);
        case '#':
            return Token(Tok::Len);
        case '&':
            return Token(Tok::BitAnd);
        case '|':
            return Token(Tok::BitOr);
        case '(':
            return Token(Tok::ParL);
        case ')':
            return Token(Tok::ParR);
        case '{':
            return Token(Tok::CurlyL);
        case '}':
            return Token(Tok::CurlyR);
        case '[':
            return Token(Tok::SqurL);
        case ']':
            return Token(Tok::SqurR);
        case ';':
            return Token(Tok::SemiColon);
        case ',':
            return Token(Tok::Comma);
        case '"':
        case '\'':
            return read_string(c);
        default:
            if (is_digit(c)) return read_decimal(static_cast<char>(c));
            if (c < 128 && name_bytes[static_cast<std::size_t>(c)] == ascii_name) return read_name(c);
            fail("invalid char " + std::to_string(c));
        }
    }
}

Token Lex::read_decimal(char first) {
    std::string text(1, first);
    bool is_float = first == '.';
    for (;;) {
        int b = peek_byte();
        if (is_digit(b)) {
        } else if (b == '+' || b == '-' || b == '.' || b == 'e' || b == 'E') {
            is_float = true;
        } else {
            break;
        }
        skip_peeked();
        text += static_cast<char>(b);
    }
    Token t(is_float ? Tok::Float : Tok::Integer);
    if (is_float) {
        t.f = parse_float(text, pos());
    } else {
        t.i = parse_integer(text, pos());
    }
    return t;
}

Token Lex::read_string(int quote) {
    std::string s;
    for (;;) {
        int c = next_byte();
        if (c == quote) break;
        switch (c) {
        case FileReader::end_of_stream:
        case '\n':
            fail("unfinished string");
        case '\\':
            break;
        default:
            s += static_cast<char>(c);
            continue;
        }
        c = next_byte();
        switch (c) {
        case FileReader::end_of_stream:
            fail("string escape");
        case 'a':
            s += '\a';
            break;
        case 'b':
            s += '\b';
            break;
        case 'f':
            s += '\f';
            break;
        case 'n':
            s += '\n';
            break;
        case 'r':
            s += '\r';
            break;
        case 't':
            s += '\t';
            break;
        case 'v':
            s += '\v';
            break;
        case '\\':
        case '"':
        case '\'':
            s += static_cast<char>(c);
            break;
        case 'x': {
            int high = hex_digit(next_byte(), pos());
            int low = hex_digit(next_byte(), pos());
            s += static_cast<char>(high * 16 + low);
            break;
        }
        default: {
            if (!is_digit(c)) fail("invalid string escape");
            int v = c - '0';
            for (int k = 0; k < 2; ++k) {
                int d = peek_byte();
                if (!is_digit(d)) break;
                skip_peeked();
                v = v * 10 + (d - '0');
            }
            if (v > 255) fail("decimal escape too large: TryFromIntError(())");
            s += static_cast<char>(v);
            break;
        }
        }
    }
    return payload_token(Tok::String, std::move(s));
}

Token Lex::read_name(int first) {
    std::string s(1, static_cast<char>(first));
    for (;;) {
        int b = peek_byte();
        std::uint8_t kind = name_bytes[static_cast<std::size_t>(b)];
        if (kind == not_name) break;
        skip_peeked();
        if (kind == ascii_name) {
            s += static_cast<char>(b);
        } else {
            s += static_cast<char>(0xc0 | (b >> 6));
            s += static_cast<char>(0x80 | (b & 0x3f));
        }
    }
    Tok keyword;
    if (find_keyword(s, keyword)) return Token(keyword);
    return payload_token(Tok::Name, std::move(s));
}

void Lex::read_comment() {
    int c = next_byte();
    if (c == '[') fail("not yet implemented: long comment");
    while (c != '\n' && c != FileReader::end_of_stream) c = next_byte();
    if (c == '\n') new_line();
}

} // namespace tarn
