// The exclusive borrow around a native closure's call.

#include "vm/native.h"

#include "utils/fatal.h"

namespace tarn {

namespace {

// Clears the running flag however the call ends, so a stop never leaves the closure borrowed.
class RunningGuard {
public:
    explicit RunningGuard(bool& flag) : flag_(flag) { flag_ = true; }
    RunningGuard(const RunningGuard&) = delete;
    RunningGuard& operator=(const RunningGuard&) = delete;
    ~RunningGuard() { flag_ = false; }

private:
    bool& flag_;
};

} // namespace

std::int32_t NativeClosure::invoke(ExeState& machine) {
    if (running_) fatal("already borrowed: BorrowMutError");
    RunningGuard guard(running_);
    return fn_(*this, machine);
}

} // namespace tarn
