#pragma once
// A run on behalf of a Python caller, shared by the module's entry points: the package's run
// lock, the refusal of nested runs, the interpreter lock given up for the run and taken
// back to poll for signals, and the C++ outcome.

#include <cstddef>
#include <string_view>

#include "lib/boundary.h"
#include "lib/run_script.h"

namespace tarn {

// The run's memory ceiling from TARN_MEMORY_LIMIT (the one grammar of memory sizes), or the
// default when the variable is unset or empty. Invalid text is a ValueError naming the
// variable; false then.
bool memory_limit_from_environment(std::size_t& limit);

// Runs the script `path` (file-system bytes; the reference is dropped before the run starts,
// since no Python object may be held across it) with `options`. False with a Python error set
// when the run could not start; otherwise true with `outcome` set, a stop already reported on
// standard error when `report_stops` says so.
// With `text` (bytes), the script is that text and `path` its name.
bool run_for_python(PyRef path, RunOptions& options, RunReport& report, Outcome& outcome, bool report_stops,
                    PyRef text = PyRef());

} // namespace tarn
