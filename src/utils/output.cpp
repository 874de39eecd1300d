#include "utils/output.h"

#include <cerrno>
#include <unistd.h>

namespace tarn {

namespace {

Output the_output;

// Writes all of [p, p + n) to descriptor 1. A write that fails for good (a closed pipe)
// drops the rest: the run goes on, as a program whose reader went away would.
void write_all(const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(1, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace

Output& out() { return the_output; }

void Output::flush() {
    write_all(buf_, len_);
    len_ = 0;
}

void Output::spill(const char* p, std::size_t n) {
    flush();
    if (n >= capacity) {
        write_all(p, n);
        return;
    }
    std::memcpy(buf_, p, n);
    len_ = n;
}

} // namespace tarn
