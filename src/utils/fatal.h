#pragma once
// The one exception type of the interpreter. Every error is a fatal stop: it is raised
// anywhere below the Python boundary and caught only there (src/lib), which writes the
// diagnostic block and turns it into the Python exception.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <source_location>
#include <string>

namespace tarn {

// A place in the script: 1-based line, and column in bytes; 0 for none.
struct SourcePos {
    std::uint32_t line = 0;
    std::uint32_t col = 0;
};

// Takes memory from malloc directly, outside the module's counted heap.
template <class T> struct SystemAllocator {
    using value_type = T;
    SystemAllocator() = default;
    template <class U> SystemAllocator(const SystemAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) { std::free(p); }
    friend bool operator==(const SystemAllocator&, const SystemAllocator&) { return true; }
};

// A stop's message outlives the run it ends, so it is kept outside the heap a run is measured
// by: the run's memory figure is back at its start when the run is gone, stop or no stop.
using StopText = std::basic_string<char, std::char_traits<char>, SystemAllocator<char>>;

class Fatal {
public:
    Fatal(const std::string& message, std::source_location where)
        : message_(message.data(), message.size()), where_(where) {}
    Fatal(const std::string& message, std::source_location where, SourcePos pos)
        : message_(message.data(), message.size()), where_(where), pos_(pos) {}
    const StopText& message() const { return message_; }
    // Moves the message out, so that reporting a stop needs no memory.
    StopText take_message() { return std::move(message_); }
    const std::source_location& where() const { return where_; }
    // Where in the script a compile-time stop was detected; line 0 when not known.
    SourcePos pos() const { return pos_; }

private:
    StopText message_;
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
