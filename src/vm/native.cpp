// Native closures in the run's pool, and the exclusive borrow around a call of one.

#include "vm/native.h"

#include <new>

#include "utils/fatal.h"
#include "utils/run.h"

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

NativeClosure* NativeClosure::make(Fn fn) {
    return new (Run::active()->pool().allocate(sizeof(NativeClosure))) NativeClosure(fn);
}

void NativeClosure::free(NativeClosure* c) {
    c->~NativeClosure();
    Run::active()->pool().free(c, sizeof(NativeClosure));
}

std::int32_t NativeClosure::invoke(ExeState& machine) {
    if (running_) fatal("already borrowed: BorrowMutError");
    RunningGuard guard(running_);
    return fn_(*this, machine);
}

} // namespace tarn
