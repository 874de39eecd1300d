#include "bytecode/func_proto.h"

#include "utils/output.h"

namespace tarn {

void FuncProto::finish() {
    trace_text.clear();
    trace_offsets.clear();
    trace_offsets.reserve(byte_codes.size() + 1);
    for (std::size_t pc = 0; pc < byte_codes.size(); ++pc) {
        trace_offsets.push_back(static_cast<std::uint32_t>(trace_text.size()));
        trace_text += "  [";
        trace_text += std::to_string(pc);
        trace_text += "]\t";
        byte_codes[pc].print(trace_text);
        trace_text += '\n';
    }
    trace_offsets.push_back(static_cast<std::uint32_t>(trace_text.size()));
    // Padding for Output::write_padded, which may read past the last line.
    trace_text.append(Output::slack, '\0');
}

void FuncProto::print_listing(std::string& out) const {
    out += "constants: [";
    for (std::size_t i = 0; i < constants.size(); ++i) {
        if (i) out += ", ";
        constants[i].print_quoted(out);
    }
    out += "]\nupindexes: [";
    for (std::size_t i = 0; i < upindexes.size(); ++i) {
        if (i) out += ", ";
        out += upindexes[i].where == UpIndex::Local ? "Local(" : "Upvalue(";
        out += std::to_string(upindexes[i].index);
        out += ')';
    }
    out += "]\nbyte_codes:\n";
    for (std::size_t pc = 0; pc < byte_codes.size(); ++pc) {
        out += "  ";
        out += std::to_string(pc);
        out += '\t';
        byte_codes[pc].print(out);
        out += '\n';
    }
}

} // namespace tarn
