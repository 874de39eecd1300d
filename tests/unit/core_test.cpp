// Unit tests of the core without Python: the table's placement of integer keys and its hash
// part, the small-object pool, and a run's memory accounting. Built with -DTARN_TESTS=ON and
// run by ctest; every failed check prints its line and the binary exits non-zero.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/run_script.h"
#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/pool.h"
#include "utils/run.h"
#include "value/table.h"
#include "vm/exe_state.h"

using namespace tarn;

namespace {

int failures = 0;

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                    \
            ++failures;                                                                                      \
        }                                                                                                    \
    } while (0)

constexpr std::size_t generous = std::size_t{1} << 30;

// A run with no script, for the objects of a test: tables and strings come from its pool.
struct Scratch {
    MemoryFigures figures;
    Run run{generous, HostHook{}, figures};
};

Table* table_of(const Value& v) { return v.as_table(); }

void test_placement_of_first_keys() {
    Scratch s;
    // Keys 1 to 3 of an empty table go to the array part, key 4 and beyond to the hash part.
    for (std::int64_t key : {1, 2, 3}) {
        Value t = new_table(0, 0);
        table_of(t)->new_index(Value::integer(key), Value::boolean(true));
        CHECK(table_of(t)->array_len() == static_cast<std::size_t>(key));
        CHECK(table_of(t)->hash_len() == 0);
    }
    for (std::int64_t key : {4, 5}) {
        Value t = new_table(0, 0);
        table_of(t)->new_index(Value::integer(key), Value::boolean(true));
        CHECK(table_of(t)->array_len() == 0);
        CHECK(table_of(t)->hash_len() == 1);
        CHECK(table_of(t)->index(Value::integer(key)).truthy());
    }
}

void test_placement_at_twice_the_capacity() {
    Scratch s;
    for (std::size_t cap : {4u, 8u, 64u}) {
        const auto below = static_cast<std::int64_t>(2 * cap - 1);
        Value t = new_table(cap, 0);
        CHECK(table_of(t)->array_capacity() == cap);
        table_of(t)->new_index(Value::integer(below), Value::boolean(true));
        CHECK(table_of(t)->array_len() == static_cast<std::size_t>(below));
        CHECK(table_of(t)->hash_len() == 0);

        Value u = new_table(cap, 0);
        table_of(u)->new_index(Value::integer(below + 1), Value::boolean(true));
        CHECK(table_of(u)->array_len() == 0);
        CHECK(table_of(u)->hash_len() == 1);
    }
}

// Integral floats and integers are the same key: in a hash part of many nodes the two must
// land on the same chain whichever is written first.
void test_float_and_integer_keys_meet() {
    Scratch s;
    constexpr std::int64_t first = 1000;
    constexpr std::int64_t count = 64;
    Value ints = new_table(0, 0);
    Value floats = new_table(0, 0);
    for (std::int64_t k = first; k < first + count; ++k) {
        table_of(ints)->new_index(Value::integer(k), Value::integer(k * 2));
        table_of(floats)->new_index(Value::number(static_cast<double>(k)), Value::integer(k * 3));
    }
    CHECK(table_of(ints)->hash_len() == count);
    int found = 0;
    for (std::int64_t k = first; k < first + count; ++k) {
        Value a = table_of(ints)->index(Value::number(static_cast<double>(k)));
        Value b = table_of(floats)->index(Value::integer(k));
        found += a.is_int() && a.as_int() == k * 2 && b.is_int() && b.as_int() == k * 3;
    }
    CHECK(found == count);
    // Writing the float form of an integer key replaces the entry rather than adding one.
    table_of(ints)->new_index(Value::number(static_cast<double>(first)), Value::integer(-1));
    CHECK(table_of(ints)->hash_len() == count);
    CHECK(table_of(ints)->index(Value::integer(first)).as_int() == -1);
}

void test_pool_reuses_and_walks() {
    Scratch s;
    Pool& pool = s.run.pool();
    std::vector<void*> blocks;
    std::set<void*> distinct;
    for (int i = 0; i < 3000; ++i) { // several slabs of one class
        void* p = pool.allocate(40);
        new (p) Shared(ObjKind::Table);
        blocks.push_back(p);
        distinct.insert(p);
    }
    CHECK(distinct.size() == blocks.size());
    std::size_t live = 0;
    pool.for_each_live([&](Shared*) { ++live; });
    CHECK(live == blocks.size());
    std::set<void*> freed;
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        pool.free(blocks[i], 40);
        freed.insert(blocks[i]);
    }
    live = 0;
    pool.for_each_live([&](Shared*) { ++live; });
    CHECK(live == blocks.size() / 2);
    // A freed block is handed out again before the pool carves anything new.
    void* again = pool.allocate(33); // the same size class as 40
    CHECK(freed.count(again) == 1);
    // Blocks of other classes do not mix with it.
    CHECK(Pool::class_of(40) == Pool::class_of(33));
    CHECK(Pool::class_of(48) != Pool::class_of(40));
    CHECK(Pool::block_size(Pool::class_of(Pool::max_block)) >= Pool::max_block);
    // Leave every block free: the run's end requires no pool object alive outside the sweep.
    pool.free(again, 33);
    for (std::size_t i = 1; i < blocks.size(); i += 2) pool.free(blocks[i], 40);
}

// Every allocation of a run goes through the run's ceiling, the C++ library's included, and
// the ceiling is lifted once it has stopped the run so that unwinding can allocate.
void test_allocations_go_through_the_run() {
    MemoryFigures figures;
    {
        Run run(std::size_t{1} << 20, HostHook{}, figures);
        bool stopped = false;
        try {
            std::vector<char> big(std::size_t{2} << 20);
        } catch (const OutOfMemory&) {
            stopped = true;
        }
        CHECK(stopped);
        std::vector<char> after(std::size_t{2} << 20); // lifted
        CHECK(after.size() == std::size_t{2} << 20);
    }
    {
        Run run(std::size_t{1} << 20, HostHook{}, figures);
        std::size_t before = memory::used();
        std::vector<char> fits(std::size_t{512} << 10);
        CHECK(memory::used() >= before + (std::size_t{512} << 10));
        bool stopped = false;
        try {
            run.charge(std::size_t{1} << 20); // what the stack charges by hand counts too
        } catch (const OutOfMemory&) {
            stopped = true;
        }
        CHECK(stopped);
    }
    CHECK(Run::active() == nullptr);
    CHECK(figures.end == figures.start);
}

// Runs `source` as a script with standard output sent to /dev/null; the stop message, if any.
std::string run_source(const std::string& source, std::size_t limit, MemoryFigures& figures,
                       HostHook host = {}) {
    char path[] = "/tmp/tarn_core_test_XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0 || ::write(fd, source.data(), source.size()) != static_cast<ssize_t>(source.size()))
        std::abort();
    ::close(fd);
    int saved = ::dup(1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
    std::string stop;
    {
        RunOptions options;
        options.path = path;
        options.memory_limit = limit;
        options.mode = RunOptions::Mode::Quiet;
        options.host = host;
        RunReport report;
        try {
            run_script(options, report);
        } catch (Fatal& f) {
            StopText m = f.take_message();
            stop.assign(m.data(), m.size());
        } catch (const std::bad_alloc&) {
            stop = "out of memory";
        } catch (const Interrupted&) {
            stop = "interrupted";
        }
        figures = report.memory;
    }
    ::dup2(saved, 1);
    ::close(saved);
    ::unlink(path);
    return stop;
}

// The heap in use is back at its start after every run: finished, stopped by an error, stopped
// by the ceiling, with cycles of tables and closures left for the sweep.
void test_runs_return_memory() {
    const std::string cycles = "local t = {} t.self = t\n"
                               "local function f() return f end\n"
                               "for i = 1, 200 do local a = {} local b = {a} a[1] = b end\n"
                               "print(#t)\n";
    struct Case {
        std::string source;
        std::size_t limit;
        std::string stop; // "" when the script runs to its end, "*" for any stop
        std::size_t swept;
    };
    // Left for the sweep: the 400 tables of the loop, t, and f with its cell (a closure holding
    // itself through its closed cell). A stop leaves f's cell open, and the machine's teardown
    // detaches open cells, which breaks that cycle.
    const Case cases[] = {
        {cycles, generous, "", 403},
        {cycles + "local x = {} .. 1\n", generous, "*", 401},
        // Steady loops under a small ceiling: every object made in one turn is gone by the next.
        {"for i = 1, 300000 do local t = {} end\n", std::size_t{8} << 20, "", 0},
        {"for i = 1, 100000 do local x = i local f = function() return x end end\n", std::size_t{8} << 20, "",
         0},
        {"local t = {} for i = 1, 1000000 do t[i] = {i} end\n", std::size_t{4} << 20, "out of memory", 0},
        {"local function f(n) return f(n + 1) + 1 end f(1)\n", generous, "stack overflow", 0},
    };
    for (const Case& c : cases) {
        MemoryFigures figures;
        std::string stop = run_source(c.source, c.limit, figures);
        CHECK(c.stop == "*" ? !stop.empty() : stop == c.stop);
        CHECK(figures.end == figures.start);
        CHECK(figures.swept == c.swept);
        if (figures.swept != c.swept)
            std::fprintf(stderr, "  swept %zu: %s", figures.swept, c.source.c_str());
    }
}

// A run with many objects, or one the host stopped, is freed wholesale at its end rather than
// object by object: every kind of storage still comes back, whatever held what.
void test_discarded_runs_return_memory() {
    // Tables with parts from the storage pool and from the system, long strings beyond the pool,
    // closures over cells, nested prototypes with string constants of every size, native
    // closures, and cycles among them all.
    const std::string everything =
        "local keep = {}\n"
        "local big = string_of_size\n"
        "local function make(i)\n"
        "  local cell = {i, 'a medium string constant of some length', n = i}\n"
        "  return function() cell.n = cell.n + 1 return cell end\n"
        "end\n"
        "local every = 0\n"
        "for i = 1, COUNT do\n"
        "  local t = {i, i + 1, i + 2}\n"
        "  every = every + 1\n"
        "  t.f = make(i)\n"
        "  t.self = t\n"
        "  if every == 1000 then\n"
        "    every = 0\n"
        "    local wide = {}\n"
        "    for k = 1, 600 do wide[k] = k wide[k + 0.5] = t end\n"
        "    t.wide = wide\n"
        "    t.c = new_counter()\n"
        "  end\n"
        "  keep[i] = t\n"
        "end\n";
    std::string long_string = "local string_of_size = '" + std::string(9000, 'x') + "'\n";
    auto program = [&](const char* count, const std::string& tail) {
        std::string body = everything;
        body.replace(body.find("string_of_size"), 14, "string_of_size .. string_of_size");
        body.replace(body.find("COUNT"), 5, count);
        return long_string + body + tail;
    };
    struct Case {
        std::string source;
        std::size_t limit;
        std::string stop;
        bool discarded;
    };
    const Case cases[] = {
        // On both sides of the number of objects a finished run is freed one by one.
        {"local t = {} for i = 1, 60000 do t[i] = {} end\n", generous, "", false},
        {"local t = {} for i = 1, 70000 do t[i] = {} end\n", generous, "", true},
        {program("30000", ""), generous, "", true},
        {program("30000", "local x = {} .. 1\n"), generous, "*", true},
        {program("300000", ""), std::size_t{24} << 20, "out of memory", true},
        {program("2000", ""), generous, "", false},
    };
    for (const Case& c : cases) {
        MemoryFigures figures;
        std::string stop = run_source(c.source, c.limit, figures);
        CHECK(c.stop == "*" ? !stop.empty() && stop != "out of memory" : stop == c.stop);
        CHECK(figures.discarded == c.discarded);
        CHECK(figures.end == figures.start);
        if (c.discarded) CHECK(figures.swept == 0);
        if (figures.discarded != c.discarded || figures.end != figures.start || stop != c.stop)
            std::fprintf(stderr, "  discarded %d, stop '%s': %.60s\n", figures.discarded, stop.c_str(),
                         c.source.c_str());
    }
    // A host that asks to stop at its first poll: the run is discarded however few objects it
    // made, and what it made still comes back.
    auto stop_at_once = [](void*, bool) { return true; };
    for (const char* count : {"10", "30000"}) {
        MemoryFigures figures;
        std::string stop = run_source(program(count, "while true do end\n"), generous, figures,
                                      HostHook{stop_at_once, nullptr});
        CHECK(stop == "interrupted");
        CHECK(figures.discarded);
        CHECK(figures.end == figures.start);
    }
}

// Copies, moves, swaps and overwrites of values keep every object's count exact, whatever the
// kinds on either side, and an assignment of a value to itself leaves it as it was.
void test_value_copies_keep_counts() {
    Scratch s;
    Value t = new_table(0, 0);
    Shared* obj = t.as_shared();
    const std::uint32_t base = obj->refs;
    {
        Value a = t; // copy
        CHECK(obj->refs == base + 1);
        Value b = std::move(a); // move: a is nil and the count unchanged
        CHECK(a.is_nil() && b.is_table() && obj->refs == base + 1);
        Value& alias = b;
        b = alias; // self-assignment
        CHECK(b.is_table() && obj->refs == base + 1);
        b = std::move(alias); // self-move
        CHECK(b.is_table() && obj->refs == base + 1);
        Value n = Value::integer(7);
        n.swap(b);
        CHECK(n.is_table() && b.is_int() && b.as_int() == 7 && obj->refs == base + 1);
        b = n; // an integer overwritten by a table
        CHECK(obj->refs == base + 2);
        b.set_int(-3); // a table overwritten by an integer
        CHECK(b.is_int() && b.as_int() == -3 && obj->refs == base + 1);
        Value moved(std::move(n)); // how a push fills the empty slot above the top
        CHECK(n.is_nil() && moved.is_table() && obj->refs == base + 1);
        // A string written over a number and back reads the same bytes.
        Value str = Value::string("abc");
        b = str;
        CHECK(b.is_string() && b.as_string() == "abc" && b.same_string(str));
        b.set_float(0.5);
        CHECK(b.is_float() && b.as_float() == 0.5);
        b.set_bool(true);
        CHECK(b.truthy() && b.kind() == Kind::Boolean);
        b.clear();
        CHECK(b.is_nil() && b == Value());
    }
    CHECK(obj->refs == base);
}

} // namespace

int main() {
    tarn::ExeState::link_plain_loop();
    tarn::ExeState::link_mode_loops();
    test_placement_of_first_keys();
    test_placement_at_twice_the_capacity();
    test_float_and_integer_keys_meet();
    test_pool_reuses_and_walks();
    test_allocations_go_through_the_run();
    test_runs_return_memory();
    test_discarded_runs_return_memory();
    test_value_copies_keep_counts();
    if (failures) std::fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
