#include "bytecode/func_proto.h"

#include <algorithm>

#include "utils/output.h"

namespace tarn {

namespace {

// One past the highest register `i` names, reads or writes (besides what runs to the stack
// top, which the machine checks as it grows).
std::size_t registers_touched(ByteCode i) {
    const std::size_t a = i.a, b = i.b, c = i.c;
    switch (i.op) {
    case Op::LoadNil:
    case Op::VarArgs:
    case Op::Return:
    case Op::TailCall:
        return std::max(a + b, a + 1);
    case Op::SetList:
        return a + b + 1;
    case Op::Call:
        return std::max({a + b, a + c, a + 1});
    case Op::CallSet:
        return std::max({a + 1, b + c, b + 1});
    case Op::GetFieldSelf:
        return a + 2;
    case Op::ForPrepare:
    case Op::ForLoop:
        return a + 3;
    case Op::ForCallLoop:
        // The loop variables, and the copies of the three loop registers a Lua iterator gets.
        return a + 3 + std::max<std::size_t>(b, 3);
    case Op::Jump:
    case Op::Return0:
        return 0;
    default:
        break;
    }
    // Any byte operand may be a register; one that is an immediate only widens the bound.
    switch (op_shapes[static_cast<int>(i.op)]) {
    case Shape::AB:
    case Shape::ABBool:
        return std::max(a, b) + 1;
    case Shape::ABC:
        return std::max({a, b, c}) + 1;
    default:
        return a + 1;
    }
}

} // namespace

void FuncProto::finish() {
    max_stack = nparam;
    for (ByteCode i : byte_codes) max_stack = std::max(max_stack, registers_touched(i));
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
    // Padding for the trace copy, which may read past the last line.
    trace_text.append(Output::line_slack, '\0');
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
