// libFuzzer harness: every input is a script, compiled and run (listing, trace and all) by
// the same runner as the Python module's raw_input. A fatal stop (tarn::Fatal, or running out
// of memory) and an input stopped by its time budget (tarn::Interrupted) are ordinary
// outcomes; a crash, a sanitizer report, std::terminate or a leak is a bug.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "lib/run_script.h"
#include "utils/fatal.h"

namespace {

// How long one input may run: an endless loop ends as an interruption long before it
// becomes a libFuzzer timeout.
constexpr std::chrono::milliseconds budget{100};

std::chrono::steady_clock::time_point deadline;

bool out_of_time(void*, bool) { return std::chrono::steady_clock::now() >= deadline; }

// The machine asks the host's poll at each flush of its output buffer (every few tens of
// thousands of instructions) and at each read of the script, and stops the run when it says
// so. All use of the poll is here, to follow any change in how it is wired.
tarn::HostHook start_budget() {
    deadline = std::chrono::steady_clock::now() + budget;
    return tarn::HostHook{out_of_time, nullptr};
}

// A run may charge this much memory to its ceiling (the value stack); everything else is
// bounded by libFuzzer's own limits.
constexpr std::size_t memory_limit = std::size_t{1} << 30;

// The input is handed over as a file, as the module's runner reads scripts: an in-memory file
// reused for every input, opened afresh (from its start) through /proc.
int script_fd = -1;
std::string script_path;

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

void write_script(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(script_fd, 0) != 0) fail("ftruncate");
    std::size_t done = 0;
    while (done < size) {
        ssize_t w = ::pwrite(script_fd, data + done, size - done, static_cast<off_t>(done));
        if (w < 0) fail("pwrite");
        done += static_cast<std::size_t>(w);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Listings, traces and script output go to file descriptor 1; nobody reads them here.
    // libFuzzer reports on standard error.
    int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(null, 1) < 0) fail("/dev/null");
    ::close(null);
    script_fd = ::memfd_create("tarn-fuzz-input", 0);
    if (script_fd < 0) fail("memfd_create");
    script_path = "/proc/self/fd/" + std::to_string(script_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    write_script(data, size);
    tarn::RunOptions options;
    options.path = script_path;
    options.memory_limit = memory_limit;
    options.host = start_budget();
    tarn::RunReport report;
    try {
        tarn::run_script(options, report);
    } catch (const tarn::Fatal&) {
    } catch (const tarn::Interrupted&) {
    } catch (const std::bad_alloc&) {
        // A run stopped by its memory ceiling.
    }
    return 0;
}
