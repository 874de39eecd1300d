#pragma once
// The compiler's entry: compiles a whole script in one pass into its main function, printing
// the listing of every function as soon as it is finished.

#include <memory>
#include <string>
#include <vector>

#include "bytecode/func_proto.h"
#include "utils/reader.h"

namespace tarn {

class Run;

// The defaults compile as raw_input does.
struct CompileOptions {
    // Print each function's listing (and the `== function:` line of a local function).
    bool listing = true;
    // Listings carry a header per function and each instruction's source line; the prototypes
    // also prepare the annotated trace lines.
    bool annotate = false;
    // A first line starting with '#' is skipped (and still counted).
    bool skip_shebang = false;
    // The script's name in function names and headers: its path as given, or a name such as
    // "=(command line)" for a text.
    std::string chunk_name;
    // When set, receives every finished function in listing order (the main chunk last); they
    // live as long as the main function returned by `load`.
    std::vector<FuncProto*>* finished = nullptr;
};

Rc<FuncProto> load(Run& run, std::unique_ptr<FileReader> reader, const CompileOptions& options = {});

} // namespace tarn
