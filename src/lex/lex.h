#pragma once
// The lexer: turns the script's bytes into tokens on demand, with one token of look-ahead.
// It owns the reader, so dropping the lexer closes the file. Every token carries the line and
// byte column where it starts; lines end at '\n' (so "\r\n" too).

#include <memory>
#include <source_location>

#include "lex/token.h"
#include "utils/fatal.h"
#include "utils/reader.h"

namespace tarn {

class Lex {
public:
    explicit Lex(std::unique_ptr<FileReader> input);

    // The next token (the look-ahead one if any).
    Token next();
    // The next token without consuming it.
    const Token& peek();
    // Takes the next token and requires it to equal `t`, else the assertion stop
    // "assertion `left == right` failed\n  left: FOUND\n right: EXPECTED".
    void expect(Tok t);

    // Skips a first line that starts with '#' (a shebang); its line is still counted. Call
    // before the first token.
    void skip_first_line();
    // Where the latest token read (consumed or looked at) starts: where a stop is detected.
    SourcePos pos() const;
    // The line of the latest token consumed by `next`.
    std::uint32_t last_line() const { return last_line_; }
    // The stop at pos() (the diagnostic names the caller's line).
    [[noreturn]] void fail(std::string message,
                           std::source_location where = std::source_location::current()) const;

private:
    Token do_next();
    Token scan();
    void new_line() {
        ++line_;
        line_start_ = input_->offset();
    }
    // A byte (0 to 255) or FileReader::end_of_stream; a read error is a fatal stop.
    int next_byte();
    // The byte `next_byte` would return, without consuming it; the end of the stream reads
    // as 0.
    int peek_byte();
    // Consumes the byte that `peek_byte` just returned.
    void skip_peeked() { peeked_ = no_peek; }
    Tok check_ahead(int c, Tok longer, Tok shorter);
    Tok check_ahead2(int c, Tok longer, Tok shorter);
    Token read_decimal(char first);
    Token read_string(int quote);
    Token read_name(int first);
    void read_comment();

    std::unique_ptr<FileReader> input_;
    static constexpr int no_peek = -3;
    int peeked_ = no_peek;       // a byte, FileReader::end_of_stream, FileReader::read_error, or no_peek
    Token ahead_;                // Eos means empty
    std::uint32_t line_ = 1;     // the line being read: the latest token's, between tokens
    std::size_t line_start_ = 0; // reader offset of the current line's first byte
    std::size_t tok_start_ = 0;  // reader offset of the latest token's first byte
    std::uint32_t last_line_ = 1;
};

// The assertion stop used by `expect` and by the block-end checks of the compiler, at the
// found token.
[[noreturn]] void fail_expect(const Token& found, const Token& expected);

} // namespace tarn
