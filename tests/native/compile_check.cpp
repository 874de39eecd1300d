// Compiles one script without running it and prints what the compiler knows about positions,
// for tests/test_compile_positions.py: one line per function, in the order they are finished
//   function<TAB>NAME<TAB>FIRST<TAB>LAST<TAB>LINE,LINE,... (one per instruction)
// then the annotated trace lines of the main function, or, when compiling stops,
//   stop<TAB>LINE<TAB>COL<TAB>MESSAGE
// Usage: tarn_compile_check [--annotate] [--shebang] [--listing] [--text TEXT] CHUNK [FILE]

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bytecode/func_proto.h"
#include "parse/parser.h"
#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/output.h"
#include "utils/rc.h"
#include "utils/reader.h"
#include "utils/run.h"

namespace {

void dump(const tarn::FuncProto& f, std::string& text) {
    for (const tarn::Value& k : f.constants)
        if (k.kind() == tarn::Kind::LuaFunction)
            dump(*static_cast<const tarn::FuncProto*>(k.as_shared()), text);
    text += "function\t" + f.name + "\t" + std::to_string(f.first_line) + "\t" + std::to_string(f.last_line) +
            "\t";
    for (std::size_t pc = 0; pc < f.lines.size(); ++pc) {
        if (pc) text += ',';
        text += std::to_string(f.lines[pc]);
    }
    text += '\n';
}

} // namespace

int main(int argc, char** argv) {
    tarn::CompileOptions options;
    options.listing = false;
    bool from_text = false;
    std::string text;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--annotate")) {
            options.annotate = true;
        } else if (!std::strcmp(argv[i], "--shebang")) {
            options.skip_shebang = true;
        } else if (!std::strcmp(argv[i], "--listing")) {
            options.listing = true;
        } else if (!std::strcmp(argv[i], "--text") && i + 1 < argc) {
            from_text = true;
            text = argv[++i];
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (i >= argc) return 2;
    options.chunk_name = argv[i];
    std::string path = i + 1 < argc ? argv[i + 1] : argv[i];
    std::string report;
    tarn::MemoryFigures figures;
    tarn::Run run(std::size_t{1} << 30, tarn::HostHook{}, figures);
    try {
        auto reader = from_text ? std::make_unique<tarn::FileReader>(run, tarn::FileReader::FromText{}, text)
                                : std::make_unique<tarn::FileReader>(run, path);
        tarn::Rc<tarn::FuncProto> main = tarn::load(run, std::move(reader), options);
        dump(*main, report);
        if (options.annotate) {
            for (std::size_t pc = 0; pc + 1 < main->annotated_instrs.size(); ++pc)
                report.append(main->annotated_instrs[pc].text, main->annotated_instrs[pc].len);
        }
    } catch (tarn::Fatal& f) {
        report += "stop\t" + std::to_string(f.pos().line) + "\t" + std::to_string(f.pos().col) + "\t" +
                  std::string(f.message().data(), f.message().size()) + "\n";
    }
    run.output().flush();
    std::fwrite(report.data(), 1, report.size(), stdout);
    return 0;
}
