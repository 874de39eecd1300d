// The run's reset, its memory ceiling and its clock for the host's polls. Freeing shared
// objects and the end-of-run sweep need the value kinds and are defined with them
// (src/vm/heap.cpp).

#include "utils/run.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <malloc.h>

#include "utils/fatal.h"
#include "utils/memory.h"

namespace tarn {

namespace {

constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();
// A poll that was not forced looks at the host at most this often: taking the host's lock back
// may wait for another of its threads.
constexpr std::int64_t poll_period_ns = 5'000'000;

std::int64_t monotonic_ns() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

std::size_t start_figure(MemoryFigures& figures) {
    figures.start = memory::used();
    figures.end = figures.start;
    figures.swept = 0;
    return figures.start;
}

} // namespace

Run* Run::active_ = nullptr;

Run::Run(std::size_t memory_limit, HostHook host, MemoryFigures& figures)
    : figures_(figures),
      ceiling_(memory_limit > unlimited - start_figure(figures) ? unlimited : figures.start + memory_limit),
      host_(host), next_poll_ns_(monotonic_ns() + poll_period_ns), output_(*this) {
    assert(!active_ && "runs never nest");
    active_ = this;
}

Run::~Run() {
    ceiling_ = unlimited;
    if (!discarding_) sweep();
    figures_.discarded = discarding_;
    // After a sweep nothing is left on the lists; after a discard everything is.
    assert((discarding_ || (!big_ && !protos_)) && "a release was lost");
    discard();
    storage_.release_all();
    pool_.release_all();
    active_ = nullptr;
    figures_.end = memory::used();
    // The output buffer is not counted, so nothing of the run is left in the figure.
    assert(figures_.end == figures_.start && "a release was lost");
}

bool Run::admits(std::size_t n) const {
    std::size_t used = memory::used();
    return used <= ceiling_ && n <= ceiling_ - used;
}

void Run::exhausted() {
    ceiling_ = unlimited;
    throw OutOfMemory();
}

void Run::charge(std::size_t n) {
    if (!admits(n)) exhausted();
    memory::add(n);
}

void Run::refund(std::size_t n) { memory::sub(n); }

bool Run::ask_host(bool now) {
    if (!host_.poll) return false;
    std::int64_t t = monotonic_ns();
    if (!now && t < next_poll_ns_) return false;
    next_poll_ns_ = t + poll_period_ns;
    if (!host_.poll(host_.context, now)) return false;
    // The run is over: whatever it made is freed wholesale at its end.
    discarding_ = true;
    return true;
}

void Run::end_of_execution() {
    if (pool_.carved() > discard_above) discarding_ = true;
}

Run::BigBlock* Run::system_block(BigBlock* b, std::size_t size) {
    if (size > unlimited - sizeof(BigBlock)) throw OutOfMemory();
    const std::size_t bytes = sizeof(BigBlock) + size;
    const std::size_t before = b ? ::malloc_usable_size(b) : 0;
    if (bytes > before && !admits(bytes - before)) exhausted();
    void* p = std::realloc(b, bytes);
    if (!p) exhausted();
    memory::sub(before);
    memory::add(::malloc_usable_size(p));
    return static_cast<BigBlock*>(p);
}

void Run::free_block(BigBlock* b) noexcept {
    memory::sub(::malloc_usable_size(b));
    std::free(b);
}

void* Run::allocate_big(std::size_t size) {
    BigBlock* b = system_block(nullptr, size);
    b->prev = nullptr;
    b->next = big_;
    if (big_) big_->prev = b;
    big_ = b;
    return b + 1;
}

void* Run::resize_big(void* p, std::size_t size) {
    BigBlock* b = system_block(static_cast<BigBlock*>(p) - 1, size);
    (b->prev ? b->prev->next : big_) = b;
    if (b->next) b->next->prev = b;
    return b + 1;
}

void Run::free_big(void* p) {
    BigBlock* b = static_cast<BigBlock*>(p) - 1;
    (b->prev ? b->prev->next : big_) = b->next;
    if (b->next) b->next->prev = b->prev;
    free_block(b);
}

void Run::poll(bool now) {
    if (ask_host(now)) throw Interrupted{};
    if (deadline_ns_ != 0 && monotonic_ns() >= deadline_ns_) time_limit_reached();
}

void Run::set_timeout(double seconds) {
    if (!(seconds > 0)) {
        deadline_ns_ = 0;
        return;
    }
    // Far beyond any run: a century is as good as no limit, and keeps the sum in range.
    double ns = std::min(seconds, 3.2e9) * 1e9;
    deadline_ns_ = monotonic_ns() + static_cast<std::int64_t>(ns);
    if (deadline_ns_ == 0) deadline_ns_ = 1;
}

std::int64_t Run::time_left_ns() const {
    std::int64_t left = deadline_ns_ - monotonic_ns();
    return left > 0 ? left : 0;
}

void Run::time_limit_reached() { fatal("time limit reached"); }

} // namespace tarn
