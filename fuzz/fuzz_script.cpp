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
#include "vm/exe_state.h"
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

#ifndef TARN_FUZZ_SMALL_CEILING
// A run may charge this much memory to its ceiling (the value stack); everything else is
// bounded by libFuzzer's own limits.
constexpr std::size_t memory_limit = std::size_t{1} << 30;
#endif

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
    tarn::ExeState::link_plain_loop();
    tarn::ExeState::link_mode_loops();
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
    tarn::RunOptions options;
#ifdef TARN_FUZZ_SMALL_CEILING
    // The variant that draws the run from its input: two bytes choose a memory ceiling from
    // 4 KiB to about 2 MiB, so that running out of memory is met at every point of a run's
    // start and of the machine; a third chooses the mode and the counting loops.
    if (size < 3) return -1;
    options.memory_limit = 4096 + std::size_t{static_cast<std::uint16_t>(data[0] | data[1] << 8)} * 32;
    const std::uint8_t mode = data[2];
    options.mode = mode % 3 == 0 ? tarn::RunOptions::Mode::Trace
                   : mode % 3 == 1 ? tarn::RunOptions::Mode::Quiet
                                   : tarn::RunOptions::Mode::List;
    options.annotate = (mode & 4) != 0 && options.mode != tarn::RunOptions::Mode::Quiet;
    options.profile = (mode & 8) != 0;
    options.steps = (mode & 16) != 0 ? 100 : 0;
    options.metered = (mode & 32) != 0;
    options.max_instructions = (mode & 64) != 0 ? 1000 : 0;
    options.max_output = (mode & 128) != 0 ? 4096 : 0;
    data += 3;
    size -= 3;
#else
    options.memory_limit = memory_limit;
#endif
    write_script(data, size);
    options.path = script_path;
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
