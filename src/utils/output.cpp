#include "utils/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <algorithm>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/run.h"

namespace tarn {

namespace {

// How long a write to a full non-blocking descriptor waits before it asks the host again.
constexpr int blocked_wait_ms = 20;

} // namespace

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
        std::size_t chunk = n;
        if (fifo_ && run_.has_deadline()) {
            // A blocking write to a full pipe would wait past the deadline: write only what
            // the pipe takes at once.
            std::size_t room = pipe_room(may_stop);
            if (room == 0) continue;
            chunk = std::min(n, room);
        }
        ssize_t w = ::write(1, p, chunk);
        int e = errno;
        if (w >= 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            // A blocking write comes back short when a signal interrupts it after writing some
            // of its bytes: that is the same question to the host as EINTR.
            if (n == 0 || w == 0 || static_cast<std::size_t>(w) == chunk) continue;
        }
        if (w >= 0 || e == EINTR) {
            if (run_.ask_host(true)) {
                error_ = EINTR;
                if (may_stop) throw Interrupted{};
            }
            continue;
        }
        if (e == EAGAIN || e == EWOULDBLOCK) {
            // A non-blocking descriptor: wait until it takes more instead of spinning, asking
            // the host at every signal and every few milliseconds meanwhile (a signal may go
            // to another thread and never interrupt this wait), and minding the deadline.
            pollfd fd{1, POLLOUT, 0};
            int ready = ::poll(&fd, 1, blocked_wait_ms);
            if (ready <= 0 && run_.ask_host(ready < 0)) {
                error_ = EINTR;
                if (may_stop) throw Interrupted{};
            }
            if (run_.has_deadline() && run_.time_left_ns() == 0) {
                error_ = ETIMEDOUT;
                if (may_stop) run_.time_limit_reached();
            }
            continue;
        }
        error_ = e;
    }
}

std::size_t Output::pipe_room(bool may_stop) {
    std::int64_t left = run_.time_left_ns();
    if (left == 0) {
        error_ = ETIMEDOUT;
        if (may_stop) run_.time_limit_reached();
        return 0;
    }
    pollfd fd{1, POLLOUT, 0};
    int wait = static_cast<int>(std::min<std::int64_t>(left / 1'000'000 + 1, blocked_wait_ms));
    int ready = ::poll(&fd, 1, wait);
    if (ready <= 0) {
        if (run_.ask_host(ready < 0)) {
            error_ = EINTR;
            if (may_stop) throw Interrupted{};
        }
        return 0;
    }
    // Free space of the pipe: its size less what waits to be read. A descriptor that answers
    // neither (not a pipe after all) takes the whole write.
    int size = ::fcntl(1, F_GETPIPE_SZ);
    int unread = 0;
    if (size <= 0 || ::ioctl(1, FIONREAD, &unread) != 0) return capacity;
    return size > unread ? static_cast<std::size_t>(size - unread) : 0;
}

Output::Output(Run& run) : run_(run), storage_(static_cast<char*>(std::malloc(capacity))) {
    if (!storage_) throw OutOfMemory();
    buf_ = storage_.get();
    cur_ = buf_;
    // A pipe's default 64 KiB takes a 1 MiB flush in sixteen turns of writer and reader; one
    // buffer of the flush's size halves the cost when the two run on different cores. Only a
    // pipe has the setting, and a refusal (a system limit below it) changes nothing.
    struct stat st {};
    if (::fstat(1, &st) == 0 && S_ISFIFO(st.st_mode)) {
        fifo_ = true;
        ::fcntl(1, F_SETPIPE_SZ, static_cast<int>(capacity));
    }
    update_end();
}

void Output::drain(bool may_stop) {
    auto n = static_cast<std::size_t>(cur_ - buf_);
    cur_ = buf_;
    flushed_ += n;
    update_end();
    write_all(buf_, n, may_stop);
}

void Output::flush() { drain(false); }

void Output::flush_or_stop() {
    drain(true);
    // The error stays recorded, so the rest of this run's output is dropped quietly.
    if (error_ != 0) fatal(output_error_message(error_));
    run_.poll();
}

void Output::spill(const char* p, std::size_t n) {
    if (n > limit_ - total()) limit_reached();
    flush_or_stop();
    if (n >= capacity) {
        flushed_ += n;
        update_end();
        write_all(p, n, true);
        flush_or_stop();
        return;
    }
    std::memcpy(buf_, p, n);
    cur_ = buf_ + n;
}

void Output::make_room_for_line(std::size_t len) {
    if (len > limit_ - total()) limit_reached();
    if (static_cast<std::size_t>(buf_ + capacity - cur_) < line_slack) flush_or_stop();
}

void Output::set_limit(std::uint64_t bytes) {
    limit_ = bytes == 0 ? ~std::uint64_t{0} : bytes;
    update_end();
}

void Output::update_end() {
    std::uint64_t allowed = limit_ - flushed_;
    end_ = allowed < capacity ? buf_ + allowed : buf_ + capacity;
}

void Output::limit_reached() { fatal("output limit reached"); }

} // namespace tarn
