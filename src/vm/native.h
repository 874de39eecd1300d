#pragma once
// Callable objects of the host program that carry their own mutable state. A native closure
// is borrowed exclusively for the whole of each call, so one that reaches itself again while
// running stops with "already borrowed: BorrowMutError".

#include <cstdint>

#include "utils/rc.h"

namespace tarn {

class ExeState;

class NativeClosure : public Shared {
public:
    // Runs the closure under the native calling convention: arguments are
    // stack[base .. top), results are pushed and counted by the return value.
    std::int32_t invoke(ExeState& state);

protected:
    virtual std::int32_t call(ExeState& state) = 0;

private:
    bool running_ = false;
};

} // namespace tarn
