"""The calling convention: argument and result placement through the stack top, varargs,
tail calls, natives, deep recursion and the messages of failed calls."""

import subprocess

import pytest

from listing import program_output

CALLS = {
    "missing_and_surplus_arguments": (
        "local function f(a, b) return a, b end print(f(1)) print(f(1, 2, 3))",
        ["1\tnil", "1\t2"],
    ),
    "all_results_become_arguments": (
        "local function three() return 1, 2, 3 end local function none() end\n"
        "print(three(), three()) print(none()) print(0, none())",
        ["1\t1\t2\t3", "", "0"],
    ),
    "results_padded_or_cut": (
        "local function two() return 1, 2 end local function none() end\n"
        "local a, b, c = two() print(a, b, c) local x = none() print(x) local y, z = two(), 5 print(y, z)",
        ["1\t2\tnil", "nil", "1\t5"],
    ),
    "varargs_expand_every_time": (
        "local function f(a, ...) local t = {...} return a, #t, ... end\n"
        "print(f()) print(f(1)) print(f(1, 2, nil, 4))\n"
        "local function g(...) local a, b, c = ... return c, b, a end print(g(1, 2))",
        ["nil\t0", "1\t0", "1\t3\t2\tnil\t4", "nil\t2\t1"],
    ),
    "call_results_into_registers_below": (
        "local t = {} local function f() return 'r', 'extra' end\n"
        "local a = 1 a = f() print(a) t.x = f() print(t.x) print(#{f(), f()})",
        ["r", "r", "3"],
    ),
    "tail_calls_to_natives_and_closures": (
        "local function p(...) return print(...) end p('a', 'b')\n"
        "local function ty(v) return type(v) end print(ty(1), ty('s'))\n"
        "local function mk(k) return function(x) return x * k end end\n"
        "local function via(f, x) return f(x) end print(via(mk(3), 5), via(print, 'in'))",
        ["a\tb", "number\tstring", "in", "15"],
    ),
    "recursion_results": (
        "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end\n"
        "local function sum(n, acc) if n == 0 then return acc end return sum(n - 1, acc + n) end\n"
        "print(fib(15), sum(1000, 0))",
        ["610\t500500"],
    ),
    "methods": (
        "local o = {n = 1} function o:add(k) self.n = self.n + k return self end\n"
        "print(o:add(2):add(3).n) local s = o print(s:add(1) == o)",
        ["6", "true"],
    ),
    "results_from_below_the_callees_top": (
        # Returned values with live registers above them, taken by each kind of call.
        "local function mid() local a, b, c = 1, 2, 3 local t = {a} return b end\n"
        "local function pair() local x, y, z = 'x', 'y', {} return x, y end\n"
        "local x = mid() print(x) print(mid(), pair()) local t = {pair()} print(#t, t[1], t[2])\n"
        "for k, v in function(s, c) if c < 2 then local junk = {c} return c + 1, c * 10 end end, nil, 0 do\n"
        "print(k, v) end\n"
        "local function nothing() local a, b = {}, {} end print(nothing()) print(1, nothing())\n"
        "local p, q, r = pair() print(p, q, r)",
        ["2", "2\tx\ty", "2\tx\ty", "1\t0", "2\t10", "", "1", "x\ty\tnil"],
    ),
    "counters_are_independent": (
        "local c = new_counter() c() c() local d = new_counter() d() c(1, 2)",
        ["counter: 1", "counter: 2", "counter: 1", "counter: 3"],
    ),
}


@pytest.mark.parametrize("name", CALLS)
def test_call_protocol(run_lua, name):
    source, expected = CALLS[name]
    out, err = run_lua(source)
    assert err is None, err
    assert program_output(out) == expected


@pytest.mark.parametrize(
    "source, message",
    [
        ("local f f()", "invalid function: nil"),
        ("local f = 1.5 f()", "invalid function: 1.5"),
        ("local f = 'abc' f()", "invalid function: 'abc'"),
        ("local f = {1, 2, x = 3} f()", "invalid function: table:2:1"),
        ("local function g() local f = true return f() end g()", "invalid function: true"),
        ("local t = {} t:m()", "invalid function: nil"),
        ("for x in 7 do end", "invalid function: 7"),
        # type reads its argument past the stack top: len and index are absolute slots
        ("print(type())", "index out of bounds: the len is 4 but the index is 4"),
        ("local function f() return type() end f()", "index out of bounds: the len is 4 but the index is 4"),
    ],
)
def test_call_errors(run_lua, source, message):
    _, err = run_lua(source)
    assert err == message


# Runs a script in a child whose stdout goes to a file (deep recursion traces millions of
# lines), optionally on a thread with a small host stack, and reports the stop message and
# the peak resident size.
CHILD = """
import resource, sys, threading
from tarn import Brindle
result = []
def run():
    try:
        Brindle.raw_input(sys.argv[1])
        result.append("")
    except BaseException as exc:
        result.append(str(exc))
if sys.argv[2] != "0":
    threading.stack_size(int(sys.argv[2]))
t = threading.Thread(target=run)
t.start()
t.join()
sys.stderr.write("%s\\n%d" % (result[0], resource.getrusage(resource.RUSAGE_SELF).ru_maxrss))
"""


@pytest.fixture
def run_deep(tmp_path, python_cmd, child_env, lua_file):
    def run(source, stack=0):
        out_path = tmp_path / "out.txt"
        with open(out_path, "wb") as out:
            proc = subprocess.run(
                python_cmd + ["-c", CHILD, str(lua_file(source)), str(stack)],
                stdout=out, stderr=subprocess.PIPE, env=child_env, timeout=120,
            )
        assert proc.returncode == 0, proc.stderr
        message, _, rss = proc.stderr.decode().rpartition("\n")
        message = message.rpartition("\n")[2] if "fatal error" in message else message
        with open(out_path, "rb") as out:
            out.seek(max(0, out_path.stat().st_size - 64))
            tail = out.read().decode()
        return message or None, int(rss), tail

    return run


def test_deep_recursion_on_small_host_stack(run_deep):
    src = "local function d(n) if n == 0 then return 0 end return 1 + d(n - 1) end print(d(100000))"
    err, _, tail = run_deep(src, stack=256 * 1024)
    assert err is None
    assert tail.endswith("\n100000\n  [6]\tReturn0\n")


def test_unbounded_recursion_stops(run_deep):
    err, _, _ = run_deep("local function f(n) return 1 + f(n + 1) end f(1)", stack=256 * 1024)
    assert err == "stack overflow"


def test_tail_recursion_runs_in_bounded_memory(run_deep):
    src = "local function c(n) if n == 0 then return 'done' end return c(n - 1) end print(c(%d))"
    err_small, rss_small, _ = run_deep(src % 1000)
    err_big, rss_big, tail = run_deep(src % 1000000, stack=256 * 1024)
    assert err_small is None and err_big is None
    assert "\ndone\n" in tail
    # A stack growing by one frame per call would add tens of megabytes here.
    assert rss_big - rss_small < 8 * 1024


def test_deeply_nested_source_stops_cleanly_on_small_host_stack(run_deep):
    # The compiler recurses per nesting level: a small thread stack must end in a stop, not
    # a crash, and the main thread's stack still takes a thousand levels.
    src = "x = " + "(" * 3000 + "1" + ")" * 3000
    err, _, _ = run_deep(src, stack=256 * 1024)
    assert err == "chunk has too many syntax levels"
    src = "x = " + "(" * 900 + "1" + ")" * 900 + " print(x)"
    err, _, tail = run_deep(src, stack=0)
    assert err is None and tail.endswith("\n1\n  [4]\tReturn0\n")
