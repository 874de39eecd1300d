#include "bytecode/func_proto.h"

#include <algorithm>

#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/run.h"

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

// The operand at position `pos` (0 to 2) as the instruction's shape lays it out.
std::int64_t operand(ByteCode i, int pos) {
    switch (op_shapes[static_cast<int>(i.op)]) {
    case Shape::AU16:
        return pos == 0 ? i.a : i.bx();
    case Shape::AI16:
        return pos == 0 ? i.a : i.sbx();
    case Shape::I16:
        return i.sbx();
    default:
        return pos == 0 ? i.a : pos == 1 ? i.b : i.c;
    }
}

// Where control may go after instruction `pc` besides the next one: -1 when nowhere else.
std::int64_t jump_target(ByteCode i, std::int64_t pc) {
    switch (i.op) {
    case Op::Jump:
    case Op::TestAndJump:
    case Op::TestOrJump:
        return pc + 1 + i.sbx();
    case Op::TestAndSetJump:
    case Op::TestOrSetJump:
        return pc + 1 + i.c;
    case Op::ForPrepare:
        return pc + 1 + i.bx();
    case Op::ForLoop:
        return pc + 1 - i.bx();
    case Op::ForCallLoop:
        return i.c == 0 ? pc + 2 : pc + 1 - i.c;
    case Op::SetFalseSkip:
        return pc + 2;
    default:
        // The comparisons skip the next instruction.
        return i.op >= Op::Equal && i.op <= Op::GreaterConst ? pc + 2 : -1;
    }
}

[[noreturn]] void invalid_operand(std::size_t pc, const char* what) {
    fatal("internal error: instruction " + std::to_string(pc) + " of a function names " + what);
}

void append_line_note(std::uint32_t line, std::string& out) {
    out += "\t; line ";
    out += std::to_string(line);
}

// Builds the machine's table of `code` with one trace line per instruction into `text`:
// "  [pc]\tForm", the line note when `annotate`, and '\n'.
void prepare_trace(const std::vector<ByteCode>& code, const std::vector<std::uint32_t>& lines, bool annotate,
                   std::string& text, std::vector<Instr>& instrs) {
    const std::size_t ncode = code.size();
    text.clear();
    std::vector<std::size_t> offsets;
    offsets.reserve(ncode + 1);
    for (std::size_t pc = 0; pc < ncode; ++pc) {
        offsets.push_back(text.size());
        text += "  [";
        text += std::to_string(pc);
        text += "]\t";
        code[pc].print(text);
        if (annotate) append_line_note(lines[pc], text);
        text += '\n';
    }
    offsets.push_back(text.size());
    // Padding for the trace copy, which may read past the last line.
    text.append(Output::line_slack, '\0');

    instrs.clear();
    instrs.reserve(ncode + 1);
    for (std::size_t pc = 0; pc < ncode; ++pc) {
        auto len = static_cast<std::uint32_t>(offsets[pc + 1] - offsets[pc]);
        // The copy moves at most line_slack bytes; no line comes near that (the longest form
        // with a ten-digit line note stays under 60).
        if (len > Output::line_slack) fatal("internal error: trace line too long");
        instrs.push_back({code[pc], len, text.data() + offsets[pc]});
    }
    instrs.push_back({ByteCode::none(op_past_end), 0, text.data() + offsets[ncode]});
}

} // namespace

FuncProto::FuncProto() : Identified(ObjKind::FuncProto) { Run::active()->adopt(this); }

FuncProto::~FuncProto() { Run::active()->disown(this); }

void FuncProto::prepare(bool annotate) {
    if (lines.size() != byte_codes.size())
        fatal("internal error: a function's line table does not match its code");
    prepare_trace(byte_codes, lines, false, trace_text, instrs);
    if (annotate) {
        prepare_trace(byte_codes, lines, true, annotated_text, annotated_instrs);
    } else {
        annotated_text.clear();
        annotated_instrs.clear();
    }
}

void FuncProto::finish(bool annotate) {
    const std::size_t ncode = byte_codes.size();
    if (instrs.size() != ncode + 1 || (annotate && annotated_instrs.size() != ncode + 1)) prepare(annotate);
    for (std::size_t pc = 0; pc < ncode; ++pc) {
        ByteCode i = byte_codes[pc];
        const Roles& r = op_roles[static_cast<int>(i.op)];
        for (int pos = 0; pos < 3; ++pos) {
            if (r.of[pos] == Role::Constant && static_cast<std::size_t>(operand(i, pos)) >= constants.size())
                invalid_operand(pc, "a constant it does not have");
            if (r.of[pos] == Role::Upvalue && static_cast<std::size_t>(operand(i, pos)) >= upindexes.size())
                invalid_operand(pc, "an upvalue it does not have");
        }
        // A target just past the code reaches the end entry, which stops like running off the
        // end; anything further is no code at all.
        std::int64_t target = jump_target(i, static_cast<std::int64_t>(pc));
        if (target != -1 && (target < 0 || static_cast<std::size_t>(target) > ncode))
            invalid_operand(pc, "a jump out of its code");
    }

    max_stack = nparam;
    for (ByteCode i : byte_codes) max_stack = std::max(max_stack, registers_touched(i));
    const_hashes.clear();
    for (const Value& k : constants) const_hashes.push_back(k.is_string() ? k.string_hash() : 0);
}

std::string FuncProto::describe() const {
    return name + " (" + chunk_name + ":" + std::to_string(first_line) + "-" + std::to_string(last_line) +
           ")";
}

void FuncProto::print_listing(std::string& out, bool annotate) const {
    if (annotate) {
        out += "; function ";
        out += describe();
        out += '\n';
    }
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
    const std::size_t ncode = byte_codes.size();
    const std::vector<Instr>& prepared = annotate ? annotated_instrs : instrs;
    if (prepared.size() == ncode + 1) {
        // Each instruction was printed once already, into its trace line "  [pc]\tForm...\n":
        // the listing line is the same without the brackets.
        for (std::size_t pc = 0; pc < ncode; ++pc) {
            const char* text = prepared[pc].text;
            std::size_t digits = 1;
            while (text[3 + digits] != ']') ++digits;
            out.append("  ", 2);
            out.append(text + 3, digits);
            out.append(text + 4 + digits, prepared[pc].len - 4 - digits);
        }
        return;
    }
    for (std::size_t pc = 0; pc < ncode; ++pc) {
        out += "  ";
        out += std::to_string(pc);
        out += '\t';
        byte_codes[pc].print(out);
        if (annotate) append_line_note(lines[pc], out);
        out += '\n';
    }
}

} // namespace tarn
