#include "bytecode/bytecode.h"

namespace tarn {

const char* const op_names[op_count] = {
#define OP(name, shape, ...) #name,
#include "bytecode/opcodes.def"
#undef OP
};

const Shape op_shapes[op_count] = {
#define OP(name, shape, ...) Shape::shape,
#include "bytecode/opcodes.def"
#undef OP
};

namespace {

void num(std::string& out, long v) { out += std::to_string(v); }
void flag(std::string& out, std::uint8_t v) { out += v ? "true" : "false"; }

} // namespace

void ByteCode::print(std::string& out) const {
    auto i = static_cast<std::size_t>(op);
    out += op_names[i];
    switch (op_shapes[i]) {
    case Shape::None:
        return;
    case Shape::A:
        out += '(';
        num(out, a);
        break;
    case Shape::AB:
        out += '(';
        num(out, a);
        out += ", ";
        num(out, b);
        break;
    case Shape::ABC:
        out += '(';
        num(out, a);
        out += ", ";
        num(out, b);
        out += ", ";
        num(out, c);
        break;
    case Shape::AU16:
        out += '(';
        num(out, a);
        out += ", ";
        num(out, bx());
        break;
    case Shape::AI16:
        out += '(';
        num(out, a);
        out += ", ";
        num(out, sbx());
        break;
    case Shape::ABool:
        out += '(';
        num(out, a);
        out += ", ";
        flag(out, b);
        break;
    case Shape::ABBool:
        out += '(';
        num(out, a);
        out += ", ";
        num(out, b);
        out += ", ";
        flag(out, c);
        break;
    case Shape::I16:
        out += '(';
        num(out, sbx());
        break;
    }
    out += ')';
}

} // namespace tarn
