#pragma once
// The body of raw_input without any Python: compile one script file, print its listings and
// run it with the execution trace. Whatever way a run ends, nothing it created survives it.

#include <cstddef>
#include <string>

namespace tarn {

// Compiles and runs the script at `path`. Every failure is a fatal stop (tarn::Fatal); an
// interruption by the host is tarn::Interrupted. Standard output is flushed before it returns;
// after a stop or an interruption the caller flushes what is left.
// The run may allocate at most `memory_limit` bytes beyond what is in use when it starts.
void run_script(const std::string& path, std::size_t memory_limit);

} // namespace tarn
