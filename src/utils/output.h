#pragma once
// The one writer of standard output. Listings, trace lines and everything the script prints
// are copied into a single large buffer that goes to file descriptor 1 in big writes; the
// run flushes it when it returns and before a stop reaches the host. The writer is a member of
// its run.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace tarn {

class Run;

class Output {
public:
    // Takes the buffer, and for a pipe on descriptor 1 a pipe buffer of the same size.
    explicit Output(Run& run);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    static constexpr std::size_t capacity = std::size_t{1} << 20;
    // Prepared trace lines are at most this long and padded by as much, so the dispatch loop
    // copies each with at most two fixed 32-byte moves.
    static constexpr std::size_t line_slack = 64;

    void write(const char* p, std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - cur_)) {
            spill(p, n);
            return;
        }
        std::memcpy(cur_, p, n);
        cur_ += n;
    }
    void write(std::string_view s) { write(s.data(), s.size()); }
    void put(char c) {
        if (cur_ == end_) spill(&c, 1);
        else *cur_++ = c;
    }

    // Stops the run with "output limit reached" before the output would pass `bytes` in all
    // (0: no limit). Set before anything is written.
    void set_limit(std::uint64_t bytes);
    // Bytes written so far, the buffered ones included (with the cursor handed back).
    std::uint64_t total() const { return total_at(cur_); }
    // The same while the dispatch loop holds the cursor in `cur`.
    std::uint64_t total_at(const char* cur) const { return flushed_ + static_cast<std::uint64_t>(cur - buf_); }
    // Whether anything waits in the buffer.
    bool pending() const { return cur_ != buf_; }

    // The dispatch loop keeps the write position in a local while instructions run and hands
    // it back before anything else writes, flushes or unwinds.
    char* cursor() const { return cur_; }
    void set_cursor(char* c) { cur_ = c; }
    // While the cursor is at or below this, a whole trace line still fits, both in the buffer
    // and within the output limit; past it, make_room_for_line decides. Null (every line takes
    // the slow path) when less than a line is left before the limit.
    char* trace_limit() const {
        return static_cast<std::size_t>(end_ - buf_) < line_slack ? nullptr : end_ - line_slack;
    }
    static_assert(capacity > line_slack);
    // Makes room for a trace line of `len` bytes: flushes a full buffer, or stops the run when
    // the line would pass the output limit.
    void make_room_for_line(std::size_t len);

    // Writes the buffer out while a stop or an interruption is being reported. A failed write
    // is recorded, not raised, and what could not be written is dropped.
    void flush();
    // Flushes, then stops the run if standard output could not take everything written so far
    // (a full disk, a reader that went away, a closed descriptor), and polls the host: the
    // buffer fills every few tens of thousands of instructions, which makes this the run's
    // regular look at Ctrl-C.
    void flush_or_stop();
    // The errno of the first failed write of this run, 0 if none failed.
    int error() const { return error_; }

private:
    void spill(const char* p, std::size_t n);
    // Writes the buffered bytes out and empties the buffer.
    void drain(bool may_stop);
    void write_all(const char* p, std::size_t n, bool may_stop);
    // For a run with a deadline, on a pipe: waits until the pipe takes more and returns how
    // many bytes it takes without blocking; 0 when the write is given up.
    std::size_t pipe_room(bool may_stop);
    // The end of what may be buffered: the buffer's end, or the output limit if nearer.
    void update_end();
    [[noreturn]] [[gnu::cold]] static void limit_reached();

    struct FreeBuffer {
        void operator()(char* p) const { std::free(p); }
    };

    Run& run_;
    // Taken with malloc, outside the run's memory accounting: the buffer is the writer's, not
    // the script's, and a script under a small ceiling must not lose a megabyte of it to output.
    std::unique_ptr<char, FreeBuffer> storage_;
    char* buf_;
    char* cur_;
    char* end_;                    // see update_end
    std::uint64_t flushed_ = 0;    // bytes handed to the system so far (or dropped after a failure)
    std::uint64_t limit_ = ~std::uint64_t{0};
    bool fifo_ = false;            // descriptor 1 is a pipe
    int error_ = 0; // errno of the first failed write of the run
};

// "failed printing to stdout: " and the system's description of `errnum`.
std::string output_error_message(int errnum);

} // namespace tarn
