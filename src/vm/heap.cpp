// Freeing shared objects by kind, and the sweep at the end of a run (the run's members that
// need the value kinds, so they are defined here rather than with the run). A dead object that holds
// references waits in a list linked through the object itself while the one being freed drops
// its references, so freeing a long chain takes constant host stack and no memory.

#include <new>

#include "bytecode/func_proto.h"
#include "utils/rc.h"
#include "utils/run.h"
#include "value/table.h"
#include "vm/native.h"
#include "vm/upvalue.h"

namespace tarn {

namespace {

Shared*& dead_link(Shared* p) {
    if (p->kind == ObjKind::Upvalue) return static_cast<Upvalue*>(p)->next_dead;
    return static_cast<Identified*>(p)->next_dead;
}

bool can_cycle(const Shared* p) {
    return p->kind == ObjKind::Table || p->kind == ObjKind::LuaClosure || p->kind == ObjKind::Upvalue;
}

void clear_refs(Shared* p) {
    switch (p->kind) {
    case ObjKind::Table:
        static_cast<Table*>(p)->clear_refs();
        return;
    case ObjKind::LuaClosure:
        static_cast<LuaClosure*>(p)->clear_refs();
        return;
    case ObjKind::Upvalue:
        static_cast<Upvalue*>(p)->clear_refs();
        return;
    default:
        return;
    }
}

// A dead object lets go of what it holds, then its memory goes.
void free_dead(Shared* p) {
    clear_refs(p);
    switch (p->kind) {
    case ObjKind::Table:
        Table::free(static_cast<Table*>(p));
        return;
    case ObjKind::LuaClosure:
        LuaClosure::free(static_cast<LuaClosure*>(p));
        return;
    case ObjKind::Upvalue:
        Upvalue::free(static_cast<Upvalue*>(p));
        return;
    case ObjKind::FuncProto:
        delete static_cast<FuncProto*>(p);
        return;
    default:
        return;
    }
}

} // namespace

void Run::destroy(Shared* p) noexcept {
    if (discarding_) return;
    switch (p->kind) {
    case ObjKind::MiddleStr:
    case ObjKind::LongStr:
        free_string(p);
        return;
    case ObjKind::NativeClosure:
        NativeClosure::free(static_cast<NativeClosure*>(p));
        return;
    default:
        break;
    }
    dead_link(p) = dead_;
    dead_ = p;
    if (draining_) return;
    draining_ = true;
    while (dead_) {
        Shared* q = dead_;
        dead_ = dead_link(q);
        free_dead(q);
    }
    draining_ = false;
}

// Nothing collects reference cycles during a run. When a run ends (also after a stop), this
// frees every table, Lua closure and upvalue cell still alive, which only cycles keep alive
// once the run's own values are gone. It allocates nothing.
void Run::sweep() {
    // Pin everything first so that clearing one object cannot free another under the walk.
    std::size_t alive = 0;
    pool_.for_each_live([&](Shared* p) {
        if (!can_cycle(p)) return;
        retain(p);
        ++alive;
    });
    figures_.swept = alive;
    pool_.for_each_live([](Shared* p) {
        if (can_cycle(p)) clear_refs(p);
    });
    pool_.for_each_live([](Shared* p) {
        if (can_cycle(p)) release(p);
    });
}

void Run::adopt(FuncProto* p) {
    p->run_prev = nullptr;
    p->run_next = protos_;
    if (protos_) protos_->run_prev = p;
    protos_ = p;
}

void Run::disown(FuncProto* p) {
    (p->run_prev ? p->run_prev->run_next : protos_) = p->run_next;
    if (p->run_next) p->run_next->run_prev = p->run_prev;
}

// What a discarded run still holds outside its pools: the prototypes (their code and constants
// live in the C++ library's containers) and the large blocks. The pools' slabs go after this.
void Run::discard() {
    while (FuncProto* p = protos_) {
        // Its constants refer to objects freed wholesale: they are forgotten, not released.
        if (!p->constants.empty()) fill_nil(p->constants.data(), p->constants.size());
        delete p; // takes itself off the list
    }
    while (BigBlock* b = big_) {
        big_ = b->next;
        free_block(b);
    }
}

} // namespace tarn
