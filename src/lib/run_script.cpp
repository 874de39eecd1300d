// One script run: the run object, then reader, compiler and machine inside it. The main
// prototype and the machine are destroyed before the run, whose destructor then frees what
// only reference cycles kept alive.

#include "lib/run_script.h"

#include <exception>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "parse/parser.h"
#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/reader.h"
#include "utils/run.h"
#include "vm/exe_state.h"

namespace tarn {

namespace {

// Runs `body`; when the interpreter stops it (a stop, an interruption, running out of memory),
// runs `stopped` and lets the stop go on. Only the interpreter's own exceptions are caught: the
// unwinding that ends a thread at Python's shutdown must pass untouched, and nothing may block
// on its way out (under libc++abi a catch-all could not even send it on).
template <class Body, class Stopped> void on_stop(Body&& body, Stopped&& stopped) {
    try {
        body();
    } catch (const Fatal&) {
        stopped();
        throw;
    } catch (const Interrupted&) {
        stopped();
        throw;
    } catch (const std::exception&) {
        stopped();
        throw;
    }
}

// Levels of a traceback shown before and after the ones skipped in a long chain.
constexpr std::size_t traceback_head = 10;
constexpr std::size_t traceback_tail = 11;

StopText text_of(std::string_view s) { return StopText(s.data(), s.size()); }

StopText number(std::uint64_t n) {
    std::string digits = std::to_string(n);
    return text_of(digits);
}

std::uint32_t line_of(const FuncProto& p, std::size_t pc) {
    if (pc < p.lines.size()) return p.lines[pc];
    return p.last_line;
}

// "path:line: in function 'fib'", as the reference Lua writes a level of a traceback.
StopText traceback_line(const FuncProto& p, std::size_t pc) {
    StopText line = text_of(p.chunk_name);
    line += ':';
    line += number(line_of(p, pc));
    line += ": in ";
    if (p.name == "main chunk" || p.name.starts_with("function <")) {
        line += text_of(p.name);
    } else {
        line += "function '";
        line += text_of(p.name);
        line += '\'';
    }
    return line;
}

// Where a run-time stop happened and the calls that led there, innermost first.
void describe_stop(const ExeState& state, RunReport& report) {
    std::size_t levels = 0;
    state.for_each_frame([&](const FuncProto&, std::size_t) { ++levels; });
    std::size_t level = 0;
    state.for_each_frame([&](const FuncProto& p, std::size_t pc) {
        if (level == 0) {
            report.location = text_of(p.chunk_name);
            report.location += ':';
            report.location += number(line_of(p, pc));
            report.location += ':';
        }
        if (levels <= traceback_head + traceback_tail || level < traceback_head ||
            level >= levels - traceback_tail) {
            report.traceback.push_back(traceback_line(p, pc));
        } else if (level == traceback_head) {
            StopText skip = "...\t(skipping ";
            skip += number(levels - traceback_head - traceback_tail);
            skip += " levels)";
            report.traceback.push_back(std::move(skip));
        }
        ++level;
    });
}

// The profile of a counted run: every function in listing order with its instructions.
void collect_profile(const std::vector<FuncProto*>& functions, RunReport& report) {
    report.profiled = true;
    std::string text;
    for (const FuncProto* p : functions) {
        ProfileFunction& f = report.functions.emplace_back();
        f.name = text_of(p->name);
        f.first_line = p->first_line;
        f.last_line = p->last_line;
        f.calls = p->calls;
        for (std::size_t pc = 0; pc < p->byte_codes.size(); ++pc) {
            text.clear();
            p->byte_codes[pc].print(text);
            f.instrs.push_back({text_of(text), line_of(*p, pc), pc < p->counts.size() ? p->counts[pc] : 0});
        }
    }
}

void compile_and_execute(Run& run, const RunOptions& options, RunReport& report) {
    CompileOptions compile;
    compile.chunk_name = options.path;
    compile.listing = options.mode != RunOptions::Mode::Quiet;
    compile.annotate = options.annotate;
    compile.skip_shebang = options.skip_shebang;
    std::vector<FuncProto*> functions;
    // The annotated loop counts too (one loop serves it, see LoopMode).
    const bool counting = options.profile || options.steps != 0 ||
                          (options.annotate && options.mode == RunOptions::Mode::Trace);
    if (counting || options.annotate) compile.finished = &functions;
    Rc<FuncProto> main;
    try {
        auto reader = options.from_text ? std::make_unique<FileReader>(run, FileReader::FromText{}, options.text)
                                        : std::make_unique<FileReader>(run, options.path);
        main = load(run, std::move(reader), compile);
    } catch (const Fatal& f) {
        if (f.pos().line != 0) {
            report.location = text_of(options.path);
            for (std::uint32_t n : {f.pos().line, f.pos().col}) {
                report.location += ':';
                report.location += number(n);
            }
            report.location += ':';
        }
        throw;
    }
    if (options.mode == RunOptions::Mode::List) {
        if (counting) collect_profile(functions, report);
        return;
    }
    for (FuncProto* p : functions) {
        // The annotated run executes the annotated copy of the code, so its trace lines carry
        // their source lines at no cost to the loop.
        if (options.annotate) std::swap(p->instrs, p->annotated_instrs);
        if (counting) p->counts.assign(p->instrs.size(), 0);
    }
    LoopMode mode;
    mode.trace = options.mode == RunOptions::Mode::Trace;
    mode.annotate = options.annotate && mode.trace;
    mode.count = counting;
    // A deadline is looked at with every budget, not only at the flushes of the plain loop.
    mode.metered = options.metered || options.timeout > 0;
    ExeState state(run);
    // Declared after the machine, so that it goes first, however the run ends.
    struct EndOfExecution {
        Run& run;
        ~EndOfExecution() { run.end_of_execution(); }
    } end_of_execution{run};
    state.configure(mode, options.max_instructions, options.steps);
    // How far the run got, however it ended; after a stop also where. A report that cannot be
    // made (no memory at all) is left incomplete.
    auto count = [&] {
        report.instructions = state.executed();
        if (counting) collect_profile(functions, report);
        for (const auto& step : state.steps()) report.steps.push_back(step);
    };
    on_stop([&] { state.execute_main(main); },
            [&] {
                try {
                    count();
                    describe_stop(state, report);
                } catch (const std::exception&) {
                }
            });
    count();
}

} // namespace

void run_script(const RunOptions& options, RunReport& report) {
    // The operating system would read the path only up to the first NUL and open some other
    // file; refuse it as the open itself would report an invalid name.
    if (!options.from_text && options.path.find('\0') != std::string::npos) {
        fatal(std::string(unwrap_err) +
              "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    }
    Run run(options.memory_limit, options.host, report.memory);
    // What was written up to a stop goes out before the stop is reported; a failed write is
    // recorded, never raised.
    on_stop(
        [&] {
            run.set_timeout(options.timeout);
            run.output().set_limit(options.max_output);
            compile_and_execute(run, options, report);
            run.output().flush_or_stop();
        },
        [&] {
            run.output().flush();
            report.output_error = run.output().error();
        });
}

} // namespace tarn
