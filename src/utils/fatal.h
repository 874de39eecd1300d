#pragma once
// The one exception type of the interpreter. Every error is a fatal stop: it is raised
// anywhere below the Python boundary and caught only there (src/lib), which writes the
// diagnostic block and turns it into the Python exception.

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string>

namespace tarn {

// A place in the script: 1-based line, and column in bytes; 0 for none.
struct SourcePos {
    std::uint32_t line = 0;
    std::uint32_t col = 0;
};

class Fatal {
public:
    Fatal(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}
    Fatal(std::string message, std::source_location where, SourcePos pos)
        : message_(std::move(message)), where_(where), pos_(pos) {}
    const std::string& message() const { return message_; }
    // Moves the message out, so that reporting a stop needs no memory.
    std::string take_message() { return std::move(message_); }
    const std::source_location& where() const { return where_; }
    // Where in the script a compile-time stop was detected; line 0 when not known.
    SourcePos pos() const { return pos_; }

private:
    std::string message_;
    std::source_location where_;
    SourcePos pos_;
};

// Thrown by the dispatch loop when the host asks the run to stop (Ctrl-C). Not an error of
// the script: the host has already recorded its own exception.
struct Interrupted {};

[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void
fatal(std::string message, std::source_location where = std::source_location::current());

// The same stop, at a place in the script (the compiler's stops).
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void
fatal_at(SourcePos pos, std::string message, std::source_location where = std::source_location::current());

// "index out of bounds: the len is L but the index is I", the one bounds message used for
// every indexing failure of the machine and the compiler.
// clang-format off
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void
fatal_bounds(std::size_t len, std::size_t index, std::source_location where = std::source_location::current());
// clang-format on

// The runtime-library texts used word for word by several checks.
inline constexpr const char* unwrap_none = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* unwrap_err = "called `Result::unwrap()` on an `Err` value: ";

} // namespace tarn
