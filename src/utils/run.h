#pragma once
// One run of a script: everything a run creates or counts belongs to this object, from its
// constructor (the only reset) to its destructor (the only sweep): the small-object pool and
// the dead list, identities, the memory ceiling, the output buffer and cursor, and the clock of
// the host's polls. `run_script` makes one per call; the machine, the compiler and the natives
// reach it by reference. After the destructor the module's memory counter is back where it was
// before the constructor: checked in debug and sanitizer builds.

#include <cstddef>
#include <cstdint>

#include "utils/output.h"
#include "utils/pool.h"
#include "utils/rc.h"

namespace tarn {

struct FuncProto;

// How the host takes part in a run: asked at every poll whether the run must stop (Ctrl-C).
// `now` is set after a system call came back interrupted by a signal, which the host must look
// at at once. A null `poll` means no host to ask.
struct HostHook {
    bool (*poll)(void* context, bool now) = nullptr;
    void* context = nullptr;
};

// The module's heap figures around one run, for tests: `end` differs from `start` only when
// memory outside the pool was not given back; `swept` counts the objects still alive when the
// machine and the compiler were gone, which only reference cycles explain (a lost release of a
// pooled object shows here, since the sweep frees it all the same). `discarded` says that the end
// of the run freed its memory wholesale instead of object by object (see Run::end_of_execution);
// `swept` is then 0.
struct MemoryFigures {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t swept = 0;
    bool discarded = false;
};

class Run {
public:
    // Bounds the run's allocations to `memory_limit` bytes beyond what is in use now. The
    // figures are filled in by the constructor and the destructor.
    Run(std::size_t memory_limit, HostHook host, MemoryFigures& figures);
    // Frees every object still alive (only reference cycles keep any alive once the machine and
    // the compiler are gone) and hands the pool's memory back; when the run is discarded, frees
    // it all wholesale. Never writes output: a write may block, and this runs during unwinding.
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The run being executed, for the few places that cannot be handed a reference: a value's
    // destructor releasing the last reference to a shared object (whose memory goes back to the
    // pool and whose dead list is the run's), the constructors of values that carve shared
    // objects from the pool, and the module's operator new, which checks the run's ceiling for
    // every block the C++ library allocates. Runs are serialised and never nest, so one pointer
    // suffices; it is set by the constructor and cleared by the destructor, and is the only route
    // to a run other than a reference.
    static Run* active() { return active_; }
    // In a child made by fork while another thread of the parent was in a run: that run does
    // not go on in the child (its thread is not there), so the child starts with none.
    static void forget_after_fork() { active_ = nullptr; }

    Pool& pool() { return pool_; }
    Output& output() { return output_; }

    // The next identity of the run (tables, closures, prototypes print with it).
    std::uint64_t next_identity() { return ++last_identity_; }

    // Frees a shared object whose count reached zero, with everything only it held, without
    // recursing on the host stack and without allocating. Once the run is discarded, does
    // nothing: its end frees everything at once.
    void destroy(Shared* p) noexcept;

    // Storage that belongs to one object and is not an object itself (the parts of a table):
    // small blocks from a pool of their own, which is never walked, larger ones from the system
    // with a link to the run's list of them. Either way the run can free it without visiting
    // the owner. `size` is the same for both calls; throws OutOfMemory.
    void* allocate_storage(std::size_t size) {
        return pooled_storage(size) ? storage_.allocate(size) : allocate_big(size);
    }
    void free_storage(void* p, std::size_t size) {
        if (pooled_storage(size))
            storage_.free(p, size);
        else
            free_big(p);
    }
    // A block from the system on the run's list (long strings, large table parts), counted by
    // its usable size as operator new counts its own.
    void* allocate_big(std::size_t size);
    void free_big(void* p);
    // Resizes a block of allocate_big, keeping its first bytes up to the smaller size: the
    // system may move or remap it instead of copying. The block is unchanged when this throws.
    void* resize_big(void* p, std::size_t size);
    // Every prototype of the run is on its list from its constructor to its destructor.
    void adopt(FuncProto* p);
    void disown(FuncProto* p);

    // Called when the script is done (finished or stopped), before the machine and the compiler
    // let go of their objects. Freeing millions of objects one by one takes a noticeable time
    // after the run, when nothing can interrupt it; a run that has many objects, or that the host
    // asked to stop, is therefore discarded: nothing is freed one by one any more, and the
    // destructor hands back the pools' slabs, the large blocks and the prototypes wholesale.
    void end_of_execution();

    // Memory ceiling. `admits` says whether `n` more bytes stay within it.
    bool admits(std::size_t n) const;
    // Charges `n` bytes taken from the system by other means than operator new (the value
    // stack); throws OutOfMemory past the ceiling.
    void charge(std::size_t n);
    void refund(std::size_t n);
    // Lifts the ceiling, so that the unwinding that follows can still allocate, and throws
    // OutOfMemory.
    [[noreturn]] [[gnu::cold]] void exhausted();

    // Whether the host asks the run to stop. Without `now`, a host asked less than a few
    // milliseconds ago is not asked again.
    bool ask_host(bool now);
    // Asks the host and throws `Interrupted` when it says to stop; past the run's deadline,
    // stops with "time limit reached".
    void poll(bool now = false);

    // The wall-time limit: `seconds` from now (0: none). Checked at every poll, which the run
    // makes at least every few milliseconds while it compiles, runs or waits to write.
    void set_timeout(double seconds);
    bool has_deadline() const { return deadline_ns_ != 0; }
    // Nanoseconds left before the deadline (0 when it has passed); only with a deadline.
    std::int64_t time_left_ns() const;
    [[noreturn]] [[gnu::cold]] void time_limit_reached();

    // Storage blocks that fill a class of the pool exactly, up to this size, come from the
    // storage pool (larger ones would leave a large part of a slab unused).
    static constexpr std::size_t small_storage = 1024;
    static bool pooled_storage(std::size_t size) {
        return size <= small_storage && Pool::block_size(Pool::class_of(size)) == size;
    }
    // Objects of the pool beyond which a finished run is discarded rather than freed one by one
    // (a few milliseconds of freeing).
    static constexpr std::size_t discard_above = 65536;

private:
    // A block of the list: the link, then the caller's bytes (16-byte aligned, as from malloc).
    struct BigBlock {
        BigBlock* prev;
        BigBlock* next;
    };
    static_assert(sizeof(BigBlock) == 16);

    void sweep();
    void discard();
    // malloc (for a null `b`) or realloc, within the ceiling and counted.
    BigBlock* system_block(BigBlock* b, std::size_t size);
    static void free_block(BigBlock* b) noexcept;

    static Run* active_;

    MemoryFigures& figures_;
    std::size_t ceiling_;
    HostHook host_;
    std::int64_t next_poll_ns_ = 0;
    std::int64_t deadline_ns_ = 0; // CLOCK_MONOTONIC; 0 for none
    std::uint64_t last_identity_ = 0;
    // Dead objects waiting for their turn to be freed, linked through themselves.
    Shared* dead_ = nullptr;
    bool draining_ = false;
    // Set once the host asks the run to stop, or by end_of_execution: no object is freed one by
    // one any more.
    bool discarding_ = false;
    BigBlock* big_ = nullptr;
    FuncProto* protos_ = nullptr;
    // Declared after the figures and before nothing that holds objects: the pools' slabs go
    // last, once the sweep has emptied them.
    Pool pool_;
    Pool storage_;
    Output output_;
};

} // namespace tarn
