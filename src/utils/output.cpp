#include "utils/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/fatal.h"
#include "utils/interrupt.h"

namespace tarn {

namespace {

// Trivially destructible, so a thread still running at process exit never meets a destroyed
// writer. Made on first use in zeroed storage: as a plain global, its cursor pointing into its
// own buffer would make some compilers store the whole megabyte in the module file.
alignas(Output) unsigned char output_storage[sizeof(Output)];

} // namespace

Output& out() {
    static Output* const the_output = ::new (output_storage) Output;
    return *the_output;
}

std::string output_error_message(int errnum) {
    return "failed printing to stdout: " + std::string(std::strerror(errnum)) + " (os error " +
           std::to_string(errnum) + ")";
}

// Writes all of [p, p + n) to descriptor 1; after a failure the rest of the run's output is
// dropped. A signal that interrupts a blocked write (Ctrl-C while a full pipe waits for its
// reader) is answered by polling the host: when it asks to stop, the unwritten output is
// dropped and, if `may_stop`, the run is interrupted; reporting a stop (`may_stop` false)
// just gives up the write.
void Output::write_all(const char* p, std::size_t n, bool may_stop) {
    while (n > 0 && error_ == 0) {
        ssize_t w = ::write(1, p, n);
        int e = errno;
        if (w >= 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            // A blocking write comes back short when a signal interrupts it after writing some
            // of its bytes: that is the same question to the host as EINTR.
            if (n == 0 || w == 0) continue;
        }
        if (w >= 0 || e == EINTR) {
            if (host_poll && host_poll(true)) {
                error_ = EINTR;
                if (may_stop) throw Interrupted{};
            }
            continue;
        }
        if (e == EAGAIN || e == EWOULDBLOCK) {
            // A non-blocking descriptor: wait until it takes more instead of spinning.
            pollfd fd{1, POLLOUT, 0};
            ::poll(&fd, 1, -1);
            continue;
        }
        error_ = e;
    }
}

void Output::begin_run() {
    error_ = 0;
    // A pipe's default 64 KiB takes a 1 MiB flush in sixteen turns of writer and reader; one
    // buffer of the flush's size halves the cost when the two run on different cores. Only a
    // pipe has the setting, and a refusal (a system limit below it) changes nothing.
    struct stat st {};
    if (::fstat(1, &st) == 0 && S_ISFIFO(st.st_mode)) ::fcntl(1, F_SETPIPE_SZ, static_cast<int>(capacity));
}

void Output::drain(bool may_stop) {
    auto n = static_cast<std::size_t>(cur_ - buf_);
    cur_ = buf_;
    write_all(buf_, n, may_stop);
}

void Output::flush() { drain(false); }

void Output::flush_or_stop() {
    drain(true);
    // The error stays recorded, so the rest of this run's output is dropped quietly.
    if (error_ != 0) fatal(output_error_message(error_));
    poll_host();
}

void Output::spill(const char* p, std::size_t n) {
    flush_or_stop();
    if (n >= capacity) {
        write_all(p, n, true);
        flush_or_stop();
        return;
    }
    std::memcpy(buf_, p, n);
    cur_ = buf_ + n;
}

} // namespace tarn
