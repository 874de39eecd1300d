// One script run: the run object, then reader, compiler and machine inside it. The main
// prototype and the machine are destroyed before the run, whose destructor then frees what
// only reference cycles kept alive.

#include "lib/run_script.h"

#include <cxxabi.h>
#include <memory>

#include "parse/parser.h"
#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/reader.h"
#include "utils/run.h"
#include "vm/exe_state.h"

namespace tarn {

namespace {

void compile_and_execute(Run& run, const std::string& path) {
    CompileOptions compile;
    compile.chunk_name = path;
    Rc<FuncProto> main = load(run, std::make_unique<FileReader>(run, path), compile);
    ExeState state(run);
    state.execute_main(main);
}

} // namespace

void run_script(const RunOptions& options, RunReport& report) {
    // The operating system would read the path only up to the first NUL and open some other
    // file; refuse it as the open itself would report an invalid name.
    if (options.path.find('\0') != std::string::npos) {
        fatal(std::string(unwrap_err) +
              "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    }
    Run run(options.memory_limit, options.host, report.memory);
    try {
        compile_and_execute(run, options.path);
        run.output().flush_or_stop();
    } catch (abi::__forced_unwind&) {
        // Python ends this thread at shutdown: nothing may block on the way out.
        throw;
    } catch (...) {
        // What was written up to the stop goes out before the stop is reported; a failed
        // write is recorded, never raised.
        run.output().flush();
        report.output_error = run.output().error();
        throw;
    }
}

} // namespace tarn
