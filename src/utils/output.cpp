#include "utils/output.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "utils/fatal.h"

namespace tarn {

namespace {

Output the_output;

} // namespace

Output& out() { return the_output; }

// Writes all of [p, p + n) to descriptor 1. After a failure the rest is dropped: a closed
// pipe lets the run go on, as a program whose reader went away would; any other error is
// kept for flush_or_stop.
void Output::write_all(const char* p, std::size_t n) {
    if (error_ != 0) return;
    while (n > 0) {
        ssize_t w = ::write(1, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking descriptor: wait until it takes more instead of spinning.
                pollfd fd{1, POLLOUT, 0};
                ::poll(&fd, 1, -1);
                continue;
            }
            error_ = errno;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void Output::flush() {
    write_all(buf_, len_);
    len_ = 0;
}

void Output::flush_or_stop() {
    flush();
    if (error_ == 0 || error_ == EPIPE) return;
    // The error stays recorded, so the rest of this run's output is dropped quietly.
    fatal("failed printing to stdout: " + std::string(std::strerror(error_)) + " (os error " +
          std::to_string(error_) + ")");
}

void Output::spill(const char* p, std::size_t n) {
    flush_or_stop();
    if (n >= capacity) {
        write_all(p, n);
        flush_or_stop();
        return;
    }
    std::memcpy(buf_, p, n);
    len_ = n;
}

} // namespace tarn
