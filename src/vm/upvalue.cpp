#include "vm/upvalue.h"

#include <new>

#include "utils/run.h"

namespace tarn {

Upvalue* Upvalue::make(Value* slot) {
    return new (Run::active()->pool().allocate(sizeof(Upvalue))) Upvalue(slot);
}

void Upvalue::free(Upvalue* u) {
    u->~Upvalue();
    Run::active()->pool().free(u, sizeof(Upvalue));
}

LuaClosure* LuaClosure::make(FuncProto* p, std::size_t ncells) {
    auto* c = new (Run::active()->pool().allocate(bytes_for(ncells))) LuaClosure(p);
    c->small = static_cast<std::uint8_t>(ncells);
    retain(p);
    for (std::size_t i = 0; i < ncells; ++i) c->cells()[i] = nullptr;
    return c;
}

void LuaClosure::clear_refs() {
    if (FuncProto* p = proto_) {
        proto_ = nullptr;
        release(p);
    }
    for (std::size_t i = 0; i < ncells(); ++i) {
        if (Upvalue* u = cells()[i]) {
            cells()[i] = nullptr;
            release(u);
        }
    }
}

void LuaClosure::free(LuaClosure* c) {
    std::size_t n = c->ncells();
    c->~LuaClosure();
    Run::active()->pool().free(c, bytes_for(n));
}

} // namespace tarn
