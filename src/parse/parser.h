#pragma once
// The compiler's entry: compiles a whole script in one pass into its main function, printing
// the listing of every function as soon as it is finished.

#include <memory>

#include "bytecode/func_proto.h"
#include "utils/reader.h"

namespace tarn {

class Run;

Rc<FuncProto> load(Run& run, std::unique_ptr<FileReader> reader);

} // namespace tarn
