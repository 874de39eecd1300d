// The script file behind its read buffer, and the debug forms of operating-system errors that
// the messages quote. The descriptor is closed as soon as the end of the file is seen, so the
// end of the stream stays the end without asking the system again.

#include "utils/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "utils/fatal.h"
#include "utils/run.h"

namespace tarn {

namespace {

const char* error_kind(int e) {
    switch (e) {
    case ENOENT:
        return "NotFound";
    case EACCES:
    case EPERM:
        return "PermissionDenied";
    case ECONNREFUSED:
        return "ConnectionRefused";
    case ECONNRESET:
        return "ConnectionReset";
    case EHOSTUNREACH:
        return "HostUnreachable";
    case ENETUNREACH:
        return "NetworkUnreachable";
    case ECONNABORTED:
        return "ConnectionAborted";
    case ENOTCONN:
        return "NotConnected";
    case EADDRINUSE:
        return "AddrInUse";
    case EADDRNOTAVAIL:
        return "AddrNotAvailable";
    case ENETDOWN:
        return "NetworkDown";
    case EPIPE:
        return "BrokenPipe";
    case EEXIST:
        return "AlreadyExists";
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return "WouldBlock";
    case ENOTDIR:
        return "NotADirectory";
    case EISDIR:
        return "IsADirectory";
    case ENOTEMPTY:
        return "DirectoryNotEmpty";
    case EROFS:
        return "ReadOnlyFilesystem";
    case ELOOP:
        return "FilesystemLoop";
    case ESTALE:
        return "StaleNetworkFileHandle";
    case EINVAL:
        return "InvalidInput";
    case ETIMEDOUT:
        return "TimedOut";
    case ENOSPC:
        return "StorageFull";
    case ESPIPE:
        return "NotSeekable";
    case EDQUOT:
        return "QuotaExceeded";
    case EFBIG:
        return "FileTooLarge";
    case EBUSY:
        return "ResourceBusy";
    case ETXTBSY:
        return "ExecutableFileBusy";
    case EDEADLK:
        return "Deadlock";
    case EXDEV:
        return "CrossesDevices";
    case EMLINK:
        return "TooManyLinks";
    case ENAMETOOLONG:
        return "InvalidFilename";
    case E2BIG:
        return "ArgumentListTooLong";
    case EINTR:
        return "Interrupted";
    case ENOSYS:
        return "Unsupported";
    case ENOMEM:
        return "OutOfMemory";
    case EINPROGRESS:
        return "InProgress";
    default:
        return "Uncategorized";
    }
}

void append_hex(std::uint32_t v, std::string& out) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v != 0);
    while (n > 0) out += digits[--n];
}

// The two forms of strerror_r: the GNU one returns the text, which may be a static one instead
// of `buf`; the POSIX one (musl, and glibc without _GNU_SOURCE) fills `buf` and returns 0, or an
// error number when it could not (an unknown code or a short buffer), having filled it or not.
[[maybe_unused]] const char* strerror_text(const char* text, char*, std::size_t, int) { return text; }
[[maybe_unused]] const char* strerror_text(int status, char* buf, std::size_t size, int errnum) {
    if (status != 0 && buf[0] == '\0') std::snprintf(buf, size, "Unknown error %d", errnum);
    return buf;
}

} // namespace

FileReader::FileReader(Run& run, const std::string& path) : run_(run) {
    for (;;) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int e = errno;
        if (fd_ >= 0) return;
        if (e != EINTR) fatal(unwrap_err + os_error_debug(e));
        run_.poll(true);
    }
}

FileReader::FileReader(Run& run, FromText, std::string text)
    : run_(run), from_text_(true), text_(std::move(text)) {}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

int FileReader::refill() {
    base_ += len_;
    pos_ = len_ = 0;
    if (from_text_) {
        if (base_ >= text_.size()) return end_of_stream;
        run_.poll();
        data_ = text_.data() + base_;
        len_ = std::min(buffer_size, text_.size() - base_);
        pos_ = 1;
        return static_cast<unsigned char>(data_[0]);
    }
    if (fd_ < 0) return end_of_stream;
    // Opens and reads may block (a FIFO, a terminal); a signal that interrupts one is answered
    // by polling the host before trying again. Compiling a large script takes a while: look at
    // Ctrl-C once per buffer too.
    run_.poll();
    for (;;) {
        ssize_t n = ::read(fd_, buf_, buffer_size);
        int e = errno;
        if (n > 0) {
            len_ = static_cast<std::size_t>(n);
            pos_ = 1;
            return static_cast<unsigned char>(buf_[0]);
        }
        if (n == 0) {
            ::close(fd_);
            fd_ = -1;
            return end_of_stream;
        }
        if (e != EINTR) {
            error_ = e;
            return read_error;
        }
        run_.poll(true);
    }
}

std::string os_error_debug(int errnum) {
    char buf[256] = {};
    const char* message = strerror_text(strerror_r(errnum, buf, sizeof buf), buf, sizeof buf, errnum);
    std::string out = "Os { code: " + std::to_string(errnum) + ", kind: " + error_kind(errnum);
    out += ", message: ";
    append_debug_quoted(message, out);
    out += " }";
    return out;
}

void append_debug_quoted(std::string_view text, std::string& out) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\0':
            out += "\\0";
            continue;
        default:
            break;
        }
        std::uint32_t escaped = 0x110000;
        if (c < 0x20 || c == 0x7f) {
            escaped = c;
        } else if (c == 0xc2 && i + 1 < text.size()) {
            // U+0080 to U+009F (controls) and U+00AD (soft hyphen) are not printable.
            auto c2 = static_cast<unsigned char>(text[i + 1]);
            if ((c2 >= 0x80 && c2 <= 0x9f) || c2 == 0xad) {
                escaped = c2;
                ++i;
            }
        }
        if (escaped == 0x110000) {
            out += static_cast<char>(c);
            continue;
        }
        out += "\\u{";
        append_hex(escaped, out);
        out += '}';
    }
    out += '"';
}

} // namespace tarn
