"""What a script can grow, and the clean stop when it grows too far: the memory ceiling, memory
the system refuses, the value stack and the frames."""

import os
import subprocess
import textwrap

import pytest

# A child that runs one script and prints how it ended on stderr: "ok", "stop: MESSAGE" or the
# exception; then, when asked, runs a second, small script to show the module still works. Its
# last line is its peak resident size (VmHWM starts afresh at exec, unlike ru_maxrss, which
# would count the test process it was forked from).
CHILD = """
import resource, sys
from tarn import Brindle, is_panic
limit = int(sys.argv[2])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
def run(path):
    try:
        Brindle.raw_input(path)
        return "ok"
    except BaseException as exc:
        if not is_panic(exc):
            raise
        return "stop: " + str(exc)
print(run(sys.argv[1]), file=sys.stderr)
if len(sys.argv) > 3:
    print(run(sys.argv[3]), file=sys.stderr)
with open("/proc/self/status") as status:
    print([line.split()[1] for line in status if line.startswith("VmHWM:")][0], file=sys.stderr)
"""

GIB = 1 << 30


def run_child(python_cmd, child_env, script, *, address_space=0, env=None, then=None):
    """(the child's report lines, its peak resident size in bytes)."""
    args = [str(script), str(address_space)] + ([str(then)] if then else [])
    with subprocess.Popen(
        python_cmd + ["-c", textwrap.dedent(CHILD), *args],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        env={**child_env, **(env or {})}, text=True,
    ) as proc:
        err = proc.stderr.read()
    assert proc.returncode == 0, err
    lines = err.strip().splitlines()
    return lines[-3 if then else -2 : -1], int(lines[-1]) * 1024


# Scripts that grow without bound in different ways.
GROWING = {
    "tables in a table": "local t = {} for i = 1, 1e9 do t[#t + 1] = {} end",
    "doubling strings": "local s = 'ab' for i = 1, 60 do s = s .. s end",
    "closures": "local t = {} for i = 1, 1e9 do local j = i t[i] = function() return j end end",
    "hash keys": "local t = {} for i = 1, 1e9 do t[-i] = i end",
    # Each key is below twice the array capacity, so each doubles it under the placement rule.
    "sparse array keys": "local t = {}\n" + "".join(f"t[{2 ** k - 1}] = 1\n" for k in range(1, 41)),
}


@pytest.mark.parametrize("source", GROWING.values(), ids=GROWING.keys())
def test_memory_ceiling_stops_the_run(python_cmd, child_env, lua_file, source):
    script = lua_file(source + "\n")
    result, _ = run_child(python_cmd, child_env, script, env={"TARN_MEMORY_LIMIT": "64M"})
    assert result == ["stop: out of memory"]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer needs the address space")
@pytest.mark.parametrize("source", [GROWING["tables in a table"], GROWING["doubling strings"]])
def test_memory_the_system_refuses_is_a_clean_stop(python_cmd, child_env, lua_file, source):
    # The address space runs out long before the default ceiling; freeing everything the run
    # made must not need memory either, and the module stays usable.
    result, _ = run_child(
        python_cmd, child_env, lua_file(source + "\n"), address_space=GIB, then=lua_file("print(1)\n")
    )
    assert result == ["stop: out of memory", "ok"]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer keeps freed memory")
def test_ceiling_bounds_the_footprint(python_cmd, child_env, lua_file):
    script = lua_file(GROWING["tables in a table"] + "\n")
    result, peak = run_child(python_cmd, child_env, script, env={"TARN_MEMORY_LIMIT": "200M"})
    assert result == ["stop: out of memory"]
    # The child's peak: Python itself plus at most the ceiling.
    assert peak < (200 + 60) * (1 << 20)


@pytest.mark.parametrize("text", ["", "10485760", "900k", "900K", "3m", "1G", "1g"])
def test_memory_limit_forms(lua_file, text, monkeypatch, capfd):
    from tarn import Brindle

    monkeypatch.setenv("TARN_MEMORY_LIMIT", text)
    Brindle.raw_input(str(lua_file("print(1)\n")))
    assert capfd.readouterr().out.endswith("1\n  [3]\tReturn0\n")


@pytest.mark.parametrize("text", ["abc", "0", "-5", "12T", "1.5G", "64 M", "K", "99999999999999999999", "17179869184G"])
def test_invalid_memory_limit_is_a_value_error(lua_file, text, monkeypatch):
    from tarn import Brindle

    monkeypatch.setenv("TARN_MEMORY_LIMIT", text)
    with pytest.raises(ValueError, match="^TARN_MEMORY_LIMIT: invalid memory size"):
        Brindle.raw_input(str(lua_file("print(1)\n")))


def test_ceiling_applies_to_each_run(lua_file, monkeypatch, capfd):
    # A stopped run gives its memory back: the next one has the whole ceiling again.
    from tarn import Brindle, is_panic

    monkeypatch.setenv("TARN_MEMORY_LIMIT", "32M")
    big = lua_file("local t = {} for i = 1, 1500000 do t[i] = i end print(#t)\n")
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            Brindle.raw_input(str(big))
        assert is_panic(info.value) and str(info.value) == "out of memory"
    small = lua_file("local t = {} for i = 1, 500000 do t[i] = i end print(#t)\n")
    Brindle.raw_input(str(small))
    assert "\n500000\n" in capfd.readouterr().out


DEEP = {
    # Each level passes one more argument on: the vararg lists grow quadratically.
    "growing varargs": "local function f(...) f(1, ...) end f()",
    "wide frames": "local function f(n)\n"
    + "".join(f"  local a{k}_0" + "".join(f", a{k}_{j}" for j in range(1, 50)) + " = 1\n" for k in range(4))
    + "  return f(n + 1) + 1\nend\nf(0)",
    "plain recursion": "local function f(n) return f(n + 1) + 1 end f(0)",
    "method recursion": "local o = {} function o:m(n) return self:m(n + 1) + 1 end o:m(0)",
    "iterator recursion": "local function it(s, c) for k in it, s, c do end return nil end for k in it, 0, 0 do end",
}


@pytest.mark.parametrize("source", DEEP.values(), ids=DEEP.keys())
def test_stack_overflow_stops_cleanly_and_small(python_cmd, child_env, lua_file, source):
    result, peak = run_child(python_cmd, child_env, lua_file(source + "\n"))
    assert result == ["stop: stack overflow"]
    assert peak < 100 * (1 << 20)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("local function down(n) if n == 0 then return 0 end return 1 + down(n - 1) end print(down(100000))",
         "100000"),
        ("local function loop(n) if n == 0 then return 'done' end return loop(n - 1) end print(loop(1000000))",
         "done"),
    ],
    ids=["100,000 nested calls", "1,000,000 tail calls"],
)
def test_deep_recursion_within_the_limits(run_lua, source, expected):
    out, err = run_lua(source + "\n")
    assert err is None
    assert f"\n{expected}\n" in out


def test_long_chains_and_cycles_are_freed(run_lua):
    # A million-long linked list is freed without deep recursion; the cycles are freed at the
    # end of the run.
    source = (
        "local head = nil\nfor i = 1, 1000000 do head = {next = head} end\nhead = nil\n"
        "for i = 1, 1000 do local a, b = {}, {} a.b = b b.a = a end\n"
        "local f\nf = function() return f end\nprint('end')\n"
    )
    out, err = run_lua(source)
    assert err is None and out.endswith("end\n  [24]\tReturn0\n")
