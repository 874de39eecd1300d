"""What the output cannot show: memory that returns in loops that run for long under a small
ceiling, the call limits at their exact edges, and trace lines of every length.

Runs that trace hundreds of thousands of instructions go through the command line with their
output sent to /dev/null; only the exit status and standard error are looked at.
"""

import collections
import random
import subprocess

import pytest

import tarn
from listing import check_trace


def run_quietly(python_cmd, child_env, script, memory_limit=None):
    """(exit status, standard error) of `python -m tarn script` with its output discarded."""
    env = dict(child_env)
    env.pop("TARN_MEMORY_LIMIT", None)
    if memory_limit:
        env["TARN_MEMORY_LIMIT"] = memory_limit
    proc = subprocess.run(
        python_cmd + ["-m", "tarn", str(script)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        env=env, timeout=120,
    )
    return proc.returncode, proc.stderr.decode("utf-8", "replace")


def ends(python_cmd, child_env, lua_file, source, memory_limit=None):
    """"ok", or the message the run stopped with."""
    status, err = run_quietly(python_cmd, child_env, lua_file(source + "\n"), memory_limit)
    if status == 0:
        assert err == ""
        return "ok"
    assert status == 1 and err.startswith("error: "), (status, err)
    # "error: PLACE: MESSAGE", then the calls that led there.
    first = err[len("error: ") :].split("\n", 1)[0]
    return strip_place(first)


def strip_place(line):
    """The message of an "error:" line without the script position in front of it."""
    import re

    match = re.match(r"\S+?:\d+:(\d+:)? ", line)
    return line[match.end() :] if match else line


# Each loop makes something every iteration and drops it again; 300,000 iterations of any of
# them leaking what it made need several times the ceiling. The names say what must be freed.
STEADY = {
    "table in a register": "for i = 1, 300000 do local t = {} end",
    "table overwriting a table": "local t for i = 1, 300000 do t = {i} end",
    "table in a field": "local t = {} for i = 1, 300000 do t.x = {} end",
    "table in the array part": "local t = {} for i = 1, 300000 do t[i % 8 + 1] = {} end",
    "table in the hash part": "local t = {} for i = 1, 300000 do t[-(i % 8)] = {} end",
    "table in an upvalue": "local u local function set(v) u = v end for i = 1, 300000 do set({}) end",
    "closure with a captured local": "for i = 1, 300000 do local j = i local f = function() return j end end",
    "closure over the loop variable": "local f for i = 1, 300000 do f = function() return i end end",
    "closure called and dropped": "for i = 1, 300000 do local j = {} local function g() return j end g() end",
    "long strings": "local s = '" + "x" * 60 + "' for i = 1, 300000 do local u = s .. s end",
    "middle strings": "local s = '" + "x" * 10 + "' for i = 1, 300000 do local u = s .. s end",
    "vararg lists": "local function f(...) return ... end for i = 1, 300000 do f(1, {}, 'x', {}) end",
    "vararg lists kept": "local function f(...) local a, b = ... return a end for i = 1, 300000 do f({}, {}) end",
    "results dropped": "local function f() return {}, {} end for i = 1, 300000 do f() end",
    "cycles within an iteration": "for i = 1, 10000 do local a = {} a.self = a end",
}


@pytest.mark.parametrize("source", STEADY.values(), ids=STEADY.keys())
def test_loops_run_in_steady_memory(python_cmd, child_env, lua_file, source):
    # Cycles are only freed at the end of the run, so that loop is short enough to fit.
    assert ends(python_cmd, child_env, lua_file, source, memory_limit="8M") == "ok"


def recursion(depth):
    # depth + 1 frames of f and the main function's frame.
    return f"local function f(n) if n == 0 then return 0 end return 1 + f(n - 1) end print(f({depth}))"


@pytest.mark.parametrize("frames, expected", [(200000, "ok"), (200001, "stack overflow")])
def test_frame_limit_edge(python_cmd, child_env, lua_file, frames, expected):
    assert ends(python_cmd, child_env, lua_file, recursion(frames - 2)) == expected


def vararg_recursion(depth):
    # Every level holds 200 extra arguments in its vararg list and two slots of its own on the
    # stack: at 4,949 levels the two together are just under the 1,000,000 slots, one level
    # more is just over. The stack alone stays near 10,000 slots.
    args = ", ".join(["1"] * 200)
    return f"local function f(n, ...) if n == 0 then return 0 end return 1 + f(n - 1, ...) end print(f({depth}, {args}))"


@pytest.mark.parametrize("depth, expected", [(4949, "ok"), (4950, "stack overflow")])
def test_stack_and_vararg_lists_share_the_slot_limit(python_cmd, child_env, lua_file, depth, expected):
    assert ends(python_cmd, child_env, lua_file, vararg_recursion(depth)) == expected


def wide_recursion(depth):
    # 200 registers a frame, all nil: only the stack grows, nothing else allocates.
    locals_ = ", ".join(f"a{i}" for i in range(200))
    return f"local function f(n) local {locals_} if n == 0 then return 0 end return 1 + f(n - 1) end print(f({depth}))"


@pytest.mark.parametrize("depth, expected", [(50, "ok"), (2000, "out of memory")])
def test_memory_ceiling_bounds_the_stack(python_cmd, child_env, lua_file, depth, expected):
    # 2,000 frames of 200 slots take 6.4 MB of stack, well inside the slot limit.
    assert ends(python_cmd, child_env, lua_file, wide_recursion(depth), memory_limit="4M") == expected


def trace_line_script():
    """A script whose trace has lines of every length from 20 to 39 bytes: instructions of
    many shapes and operand widths, run at indexes of one to six digits."""
    rng = random.Random(5)

    def statement():
        a, b, f = rng.randrange(150), rng.randrange(150), rng.randrange(300)
        v = rng.choice([1, 12, 123, 1234, 12345, -32768, 40000, 1.5])
        return rng.choice(
            [f"a{a} = {v}", f"t.f{f} = {v}", f"a{a} = t.f{f}", f"t.f{f} = a{b}", f"a{a} = a{b}",
             f"t[{rng.randrange(1, 300)}] = {v}", f"if a{a} ~= 'x{f}' then end", f"a{a} = n + {v}"]
        )

    lines = [f"local {', '.join(f'a{i}' for i in range(150))} = {', '.join(['0'] * 150)}", "local t, n, skip = {}, 7"]
    lines += [statement() for _ in range(2000)]
    # Each block is skipped by one jump: the statements after them run at indexes over 100,000.
    for _ in range(7):
        lines += ["if skip then"] + [statement() for _ in range(15000)] + ["end"]
    lines += [statement() for _ in range(2000)]
    return "\n".join(lines) + "\n"


def test_trace_lines_of_every_length_are_whole(lua_file):
    # The loop copies a trace line in fixed blocks of 32 bytes; lines on both sides of a block
    # must end with their own line feed.
    result = tarn.run(lua_file(trace_line_script()))
    assert result.error is None
    check_trace(result.output)
    lengths = collections.Counter(len(line) + 1 for line in result.output.split(b"\n") if line.startswith(b"  ["))
    assert set(range(20, 40)) <= set(lengths)
