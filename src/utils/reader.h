#pragma once
// The script's bytes for the lexer, one at a time: a read-only file behind an 8192-byte buffer
// (the reader owns the descriptor, destroying it closes the file), or a text held in memory,
// handed out in windows of the same size so both take the same path.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn {

class Run;

class FileReader {
public:
    static constexpr std::size_t buffer_size = 8192;
    static constexpr int end_of_stream = -1;
    static constexpr int read_error = -2;

    // Opens `path` for reading only; a failure is the fatal stop
    // "called `Result::unwrap()` on an `Err` value: Os { code: .., kind: .., message: ".." }".
    // Reads and opens that a signal interrupts ask the run's host whether to go on.
    FileReader(Run& run, const std::string& path);
    // A script given as text (a command-line chunk, a string from the host).
    struct FromText {};
    FileReader(Run& run, FromText, std::string text);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    // The next byte (0 to 255), end_of_stream, or read_error (then `error()` is the errno).
    int get() {
        if (pos_ < len_) return static_cast<unsigned char>(data_[pos_++]);
        return refill();
    }
    int error() const { return error_; }
    // Bytes handed out so far.
    std::size_t offset() const { return base_ + pos_; }

private:
    int refill();

    Run& run_;
    int fd_ = -1;
    int error_ = 0;
    bool from_text_ = false;
    const char* data_ = buf_; // the current window: buf_, or a part of text_
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::size_t base_ = 0; // bytes before the current window
    std::string text_;
    char buf_[buffer_size];
};

// The debug form of an operating-system error, as the messages quote it:
// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string os_error_debug(int errnum);

// Appends `text` between double quotes, with quotes, backslashes and control characters
// escaped (\", \\, \n, \u{1b}, ...): the debug form of a text in messages.
void append_debug_quoted(std::string_view text, std::string& out);

} // namespace tarn
