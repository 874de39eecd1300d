#pragma once
// Callable objects of the host program that carry their own mutable state. A native closure is
// borrowed exclusively for the whole of each call, so one that reaches itself again while
// running stops with "already borrowed: BorrowMutError".

#include <cstdint>

#include "utils/rc.h"

namespace tarn {

class ExeState;

class NativeClosure final : public Shared {
public:
    using Fn = std::int32_t (*)(NativeClosure& self, ExeState& machine);

    // A new closure with its count at zero, from the run's pool.
    static NativeClosure* make(Fn fn);
    static void free(NativeClosure* c);

    // Runs the closure under the native calling convention: arguments are
    // stack[base .. top), results are pushed and counted by the return value.
    std::int32_t invoke(ExeState& machine);

    // The function's own state.
    std::int64_t state = 0;

private:
    explicit NativeClosure(Fn fn) : Shared(ObjKind::NativeClosure), fn_(fn) {}

    Fn fn_;
    bool running_ = false;
};

} // namespace tarn
