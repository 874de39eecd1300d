#pragma once
// The body of raw_input without any Python: compile one script file, print its listings and
// run it with the execution trace. Whatever way a run ends, nothing it created survives it.

#include <cstddef>
#include <string>

#include "utils/run.h"

namespace tarn {

// What a run is asked to do. Defaults are raw_input's behaviour.
struct RunOptions {
    std::string path;             // the script file
    std::size_t memory_limit = 0; // bytes the run may allocate beyond what is in use at its start
    HostHook host;                // asked at every poll whether to stop
};

// What the caller learns about a run, filled in however it ends (also when a stop unwinds).
struct RunReport {
    MemoryFigures memory;
    int output_error = 0; // errno of the first failed write to standard output, 0 if none
};

// Compiles and runs the script of `options`. Every failure is a fatal stop (tarn::Fatal); an
// interruption by the host is tarn::Interrupted. Standard output is flushed before it returns,
// and also before a stop or an interruption leaves it.
void run_script(const RunOptions& options, RunReport& report);

} // namespace tarn
