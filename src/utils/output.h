#pragma once
// The one writer of standard output. Listings, trace lines and everything the script prints
// are copied into a single large buffer that goes to file descriptor 1 in big writes; the
// host flushes it when a run returns and before a fatal stop is raised.

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tarn {

class Output {
public:
    static constexpr std::size_t capacity = std::size_t{1} << 20;

    void write(const char* p, std::size_t n) {
        if (n > capacity - len_) {
            spill(p, n);
            return;
        }
        std::memcpy(buf_ + len_, p, n);
        len_ += n;
    }
    void write(std::string_view s) { write(s.data(), s.size()); }
    // A write whose source may be over-read by up to `slack` bytes (prepared trace lines are
    // padded): most lines are then copied with one fixed-size move.
    static constexpr std::size_t slack = 32;
    void write_padded(const char* p, std::size_t n) {
        if (n > capacity - len_) {
            spill(p, n);
            return;
        }
        char* d = buf_ + len_;
        std::memcpy(d, p, slack);
        if (n > slack) std::memcpy(d + slack, p + slack, n - slack);
        len_ += n;
    }
    void put(char c) {
        if (len_ == capacity) flush_or_stop();
        buf_[len_++] = c;
    }
    // Writes the buffer out while a stop or an interruption is being reported. A failed write
    // is recorded, not raised, and what could not be written is dropped.
    void flush();
    // Flushes, then stops the run if standard output could not take everything written so far
    // (a full disk, a reader that went away, a closed descriptor), and polls the host: the
    // buffer fills every few tens of thousands of instructions, which makes this the run's
    // regular look at Ctrl-C.
    void flush_or_stop();
    // Starts a run with a clean error state.
    void reset_error() { error_ = 0; }
    // The errno of the first failed write of this run, 0 if none failed.
    int error() const { return error_; }

private:
    void spill(const char* p, std::size_t n);
    void write_all(const char* p, std::size_t n, bool may_stop);

    std::size_t len_ = 0;
    int error_ = 0; // errno of the first failed write since reset_error
    char buf_[capacity + slack];
};

// The process-wide writer: there is one file descriptor 1, so there is one buffer.
Output& out();

// "failed printing to stdout: " and the system's description of `errnum`.
std::string output_error_message(int errnum);

} // namespace tarn
