// Creation of the machine with its global environment, the charging of its stack, and the
// upvalue cells open on it. The calling convention is in calls.h and calls.cpp.

#include "vm/exe_state.h"

#include <algorithm>
#include <new>
#include <ctime>
#include <cstring>
#include <string_view>
#include <sys/mman.h>

#include "utils/memory.h"
#include "utils/run.h"
#include "value/table.h"
#include "vm/builtins.h"
#include "vm/native.h"

namespace tarn {

namespace {

// Room above max_slots for what natives push on top of a full stack.
constexpr std::size_t slack_slots = 64;
constexpr std::size_t mapped_bytes = (max_slots + slack_slots) * sizeof(Value);
// The stack is charged to the memory ceiling as it is first reached, in steps of this many
// slots (the pages behind the block are only taken from the system when touched).
constexpr std::size_t charge_step = 4096;

// Out of line, so that the callers that can overflow keep no frame for the message.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void
stack_overflow(std::source_location where = std::source_location::current()) {
    fatal("stack overflow", where);
}

} // namespace

ExeState::ExeState(Run& run) : run_(run) {
    // Anonymous memory reads as zero bytes, and a nil is sixteen zero bytes (src/value/value.h):
    // the whole block starts as nils without a pass over it.
    void* block = ::mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) throw OutOfMemory();
    stack_ = static_cast<Value*>(block);
    // Set before anything can fail: the teardown of a failed construction walks down to it.
    top_ = stack_;
    try {
        check_room(charge_step);
        Value env = new_table(0, 0);
        auto install = [&](std::string_view name, NativeFn fn) {
            env.as_table()->new_index(Value::string(name), Value::native(fn));
        };
        install("print", lib_print);
        install("type", lib_type);
        install("ipairs", ipairs);
        install("new_counter", test_new_counter);
        stack_[1] = std::move(env);
        top_ = stack_ + 2;
        base = 1;
    } catch (...) {
        teardown();
        throw;
    }
}

ExeState::~ExeState() { teardown(); }

void ExeState::teardown() {
    // Open cells would outlive the block they point into: they keep nil from now on.
    while (Upvalue* u = open_) {
        open_ = u->next_open;
        u->next_open = nullptr;
        u->detach();
        release(u);
    }
    varargs_.clear();
    drop_above(0);
    ::munmap(stack_, mapped_bytes);
    run_.refund(charged_ * sizeof(Value));
    charged_ = 0;
}

void ExeState::execute_main(const Rc<FuncProto>& main) {
    // The main function's callee slot holds nil; the caller keeps the prototype alive.
    if (frames_made_ == 0) grow_frames();
    depth_ = 1;
    frame_ = frames_.data();
    CallFrame& f = *frame_;
    f.proto = main.get();
    f.cells = nullptr;
    f.base = stack_ + 1;
    f.ip = main->instrs.data();
    f.va_begin = 0;
    f.va_count = 0;
    check_room(1 + main->max_stack);
    if (top() < 1 + main->nparam) top_ = stack_ + 1 + main->nparam;
    if (mode_.count) main->calls = 1;
    Loop loop = loops[loop_index(mode_)];
    // A module without the plain loop traces with the metered one.
    if (!loop && mode_.trace && !mode_.metered) {
        mode_.metered = true;
        loop = loops[loop_index(mode_)];
    }
    if (!loop) fatal("internal error: this module has no loop for the run's mode");
    (this->*loop)();
}

void ExeState::configure(LoopMode mode, std::uint64_t max_instructions, std::size_t steps) {
    // Every mode but the plain traced one counts its instructions.
    if (!mode.trace || mode.annotate || mode.count || max_instructions != 0) mode.metered = true;
    if (mode.annotate) mode.count = true;
    mode_ = mode;
    max_instructions_ = max_instructions;
    steps_wanted_ = mode.count ? steps : 0;
}

namespace {

// How many instructions a metered loop runs between two looks at the limits and the host.
constexpr std::uint64_t tick = 1 << 14;
// How long the output-only mode keeps what a script prints before it writes it out anyway.
constexpr std::int64_t quiet_flush_ns = 50'000'000;

std::int64_t now_ns() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

} // namespace

std::uint64_t ExeState::refill_budget(bool quiet) {
    // The budget is spent: everything handed out so far has run.
    if (max_instructions_ != 0 && issued_ >= max_instructions_) {
        budget_left_ = 0;
        fatal("instruction limit reached");
    }
    run_.poll();
    if (quiet && run_.output().pending()) {
        // Without a trace the buffer may take long to fill: what a script prints goes out
        // within a fraction of a second all the same.
        std::int64_t t = now_ns();
        if (t - last_quiet_flush_ns_ >= quiet_flush_ns) {
            last_quiet_flush_ns_ = t;
            run_.output().flush_or_stop();
        }
    }
    std::uint64_t next = tick;
    if (max_instructions_ != 0) next = std::min(next, max_instructions_ - issued_);
    issued_ += next;
    return next;
}

void ExeState::note_frame(const char* how) {
    Output& output = run_.output();
    output.write(how);
    output.write(frame_->proto->describe());
    output.put('\n');
}

// Charges the stack up to `new_top` slots, or stops when it would pass the limit.
void ExeState::check_room(std::size_t new_top) {
    if (new_top + varargs_.size() > max_slots) fatal("stack overflow");
    if (new_top > charged_) {
        std::size_t to = std::min(max_slots, (new_top + charge_step - 1) / charge_step * charge_step);
        run_.charge((to - charged_) * sizeof(Value));
        charged_ = to;
    }
    room_end_ = stack_ + std::min(charged_, max_slots - varargs_.size());
}

void ExeState::push(Value v) {
    if (top_ >= stack_ + max_slots + slack_slots) [[unlikely]]
        stack_overflow();
    // The slot above the top holds a nil, which has no reference to give up.
    new (top_++) Value(std::move(v));
}

Upvalue* ExeState::capture(Value* slot) {
    Upvalue** link = &open_;
    while (*link && (*link)->get() > slot) link = &(*link)->next_open;
    if (*link && (*link)->get() == slot) return *link;
    Upvalue* cell = Upvalue::make(slot);
    retain(cell);
    cell->next_open = *link;
    *link = cell;
    return cell;
}

void ExeState::close_cells(Value* limit) {
    while (open_ && open_->get() >= limit) {
        Upvalue* cell = open_;
        std::size_t slot = static_cast<std::size_t>(cell->get() - stack_);
        if (slot >= top()) fatal_bounds(top(), slot);
        open_ = cell->next_open;
        cell->next_open = nullptr;
        cell->close();
        release(cell);
    }
}

double ExeState::make_float(std::size_t index) {
    if (index >= top()) fatal_bounds(top(), index);
    Value& v = stack_[index];
    if (v.is_int()) {
        double f = static_cast<double>(v.as_int());
        v.set_float(f);
        return f;
    }
    if (!v.is_float()) fatal("not number " + v.quoted());
    return v.as_float();
}

} // namespace tarn
