#pragma once
// The body of raw_input without any Python: compile one script, print its listings and run it
// with the execution trace, or in one of the other modes the package's own entry points offer.
// Whatever way a run ends, nothing it created survives it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/fatal.h"
#include "utils/run.h"

namespace tarn {

// What a run is asked to do. Defaults are raw_input's behaviour.
struct RunOptions {
    enum class Mode {
        Trace, // listings, then the trace interleaved with the program's output
        List,  // listings only: nothing runs
        Quiet, // the program's output only: neither listing nor trace
    };
    std::string path;             // the script file, or the chunk name when `from_text`
    bool from_text = false;       // the script is `text`, not the file at `path`
    std::string text;
    bool skip_shebang = false;    // a first line starting with '#' is skipped (and counted)
    Mode mode = Mode::Trace;
    bool annotate = false;        // source lines and function names in listing and trace
    std::size_t memory_limit = 0; // bytes the run may allocate beyond what is in use at its start
    std::uint64_t max_instructions = 0; // 0: no limit
    double timeout = 0;                 // seconds of wall time from the start, 0: none
    std::uint64_t max_output = 0;       // bytes of standard output, 0: no limit
    bool metered = false;  // count executed instructions (implied by the limits and the profile)
    bool profile = false;  // count the executions of every instruction and the calls of every function
    std::size_t steps = 0; // record the first `steps` executed instructions
    HostHook host;         // asked at every poll whether to stop
};

// Reports outlive their run, so what they hold comes from outside the run's counted heap.
template <class T> using ReportVec = std::vector<T, SystemAllocator<T>>;

struct ProfileInstr {
    StopText text; // as listed: "GetField(1, 0, 0)"
    std::uint32_t line = 0;
    std::uint64_t count = 0;
};

struct ProfileFunction {
    StopText name;
    std::uint32_t first_line = 0;
    std::uint32_t last_line = 0;
    std::uint64_t calls = 0;
    ReportVec<ProfileInstr> instrs;
};

// What the caller learns about a run, filled in however it ends (also when a stop unwinds).
struct RunReport {
    MemoryFigures memory;
    int output_error = 0;       // errno of the first failed write to standard output, 0 if none
    std::uint64_t instructions = 0; // executed, when the run was metered
    // Where a stop happened: "path:line:col:" at compile time, "path:line:" at run time; empty
    // when it is not known. The calls that led there, innermost first.
    StopText location;
    ReportVec<StopText> traceback;
    // Every function in listing order (the main chunk last), when profiled.
    bool profiled = false;
    ReportVec<ProfileFunction> functions;
    // The first executed steps: function (an index of `functions`), pc, and the bytes of output
    // written before the step.
    ReportVec<std::array<std::uint64_t, 3>> steps;
};

// Compiles and runs the script of `options`. Every failure is a fatal stop (tarn::Fatal); an
// interruption by the host is tarn::Interrupted. Standard output is flushed before it returns,
// and also before a stop or an interruption leaves it.
void run_script(const RunOptions& options, RunReport& report);

} // namespace tarn
