// One script run: reader, compiler, execution state, in that order, and the clean-up that
// follows every run. The main prototype and the state are locals of `run_script`, so a stop
// anywhere releases them by unwinding before the end-of-run sweep.

#include "lib/run_script.h"

#include <memory>

#include "parse/parser.h"
#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/output.h"
#include "utils/rc.h"
#include "utils/reader.h"
#include "vm/exe_state.h"

namespace tarn {

namespace {

// Declared before the prototype and the state, so it runs after both are gone: only objects
// held by reference cycles are left then, and the sweep frees them. Output is flushed by the
// caller, never here: a write may block, and unwinding must not.
class RunEnd {
public:
    RunEnd() = default;
    RunEnd(const RunEnd&) = delete;
    RunEnd& operator=(const RunEnd&) = delete;
    ~RunEnd() {
        // The sweep allocates its work list; if even that fails the cycles are leaked rather
        // than letting an exception escape a destructor during unwinding.
        try {
            sweep_tracked();
        } catch (...) {
        }
    }
};

} // namespace

void run_script(const std::string& path, std::size_t memory_limit) {
    // The operating system would read the path only up to the first NUL and open some other
    // file; refuse it as the open itself would report an invalid name.
    if (path.find('\0') != std::string::npos) {
        fatal(std::string(unwrap_err) +
              "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    }
    out().begin_run();
    reset_identities();
    memory::RunCeiling ceiling(memory_limit);
    RunEnd end;
    CompileOptions options;
    options.chunk_name = path;
    Rc<FuncProto> main = load(std::make_unique<FileReader>(path), options);
    ExeState state;
    state.execute_main(main);
    out().flush_or_stop();
}

} // namespace tarn
