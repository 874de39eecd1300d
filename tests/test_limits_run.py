"""Bounded runs: the instruction, output and time limits at their edges, through tarn.run and
the command line, and the run's memory back at its start after every kind of end."""

import os
import subprocess
import threading
import time

import pytest

import tarn
from tarn import _capture, _core
from corpus import trace_lines

# 15 instructions, a print among them.
SUM = "local s = 0\nfor i = 1, 3 do\n  s = s + i\nend\nprint(s)\n"


@pytest.fixture(scope="module")
def full():
    result = tarn.run(source=SUM, name="sum.lua")
    assert result.error is None and len(trace_lines(result.output)) == result.instructions == 15
    return result


@pytest.mark.parametrize("extra", [-1, 0, 1])
def test_instruction_limit_edge(extra, full):
    n = full.instructions
    result = tarn.run(source=SUM, name="sum.lua", max_instructions=n + extra)
    if extra < 0:
        # The (n-1)-th instruction ran and was traced; the next one stopped the run unseen.
        assert (result.error, result.location, result.instructions) == ("instruction limit reached", "sum.lua:5:", n - 1)
        assert len(trace_lines(result.output)) == n - 1
        # Everything up to the n-th trace line: the program output of the (n-1)-th included.
        assert result.output == full.output[: full.output.rindex(trace_lines(full.output)[-1])]
    else:
        assert result == full and result.instructions == n


def test_instruction_limit_is_the_same_every_time_and_in_every_mode():
    source = "local t = {}\nfor i = 1, 100000 do t[i] = i * 2 end\n"
    results = [tarn.run(source=source, mode=mode, max_instructions=777) for mode in ("trace", "quiet", "trace")]
    assert {r.error for r in results} == {"instruction limit reached"}
    assert {(r.instructions, r.location) for r in results} == {(777, "<source>:2:")}
    assert len(trace_lines(results[0].output)) == 777 and results[0].output == results[2].output


@pytest.mark.parametrize("less", [0, 1])
def test_output_limit_edge(less, full):
    size = len(full.output)
    result = tarn.run(source=SUM, name="sum.lua", max_output=size - less)
    if not less:
        assert result == full
    else:
        # No partial line: everything before the last line, which did not fit whole.
        last = full.output[: -1].rsplit(b"\n", 1)[1] + b"\n"
        assert result.error == "output limit reached"
        assert result.output == full.output[: size - len(last)]


@pytest.mark.parametrize("limit, kept", [(5, b""), (6, b"hello\n"), (11, b"hello\n"), (12, b"hello\nworld\n")])
def test_output_limit_keeps_whole_program_lines(limit, kept):
    result = tarn.run(source='print("hello")\nprint("world")\n', mode="quiet", max_output=limit)
    assert result.output == kept
    assert result.error == (None if kept.count(b"\n") == 2 else "output limit reached")


def test_output_limit_values(monkeypatch):
    many = "for i = 1, 50 do print(i) end\n"
    size = len(tarn.run(source=many, mode="quiet").output)
    assert tarn.run(source=many, mode="quiet", max_output=None).error is None
    assert tarn.run(source=many, mode="quiet", max_output=str(size)).error is None
    assert tarn.run(source=many, mode="quiet", max_output="1K").error is None
    assert tarn.run(source=many, mode="quiet", max_output=size - 1).error == "output limit reached"
    # A captured run has a default limit (1 GiB, documented); output sent elsewhere has none.
    monkeypatch.setattr(_capture, "DEFAULT_MAX_OUTPUT", size - 1)
    assert tarn.run(source=many, mode="quiet").error == "output limit reached"
    assert tarn.run(source=many, mode="quiet", output=os.devnull).error is None
    assert tarn.run(source=many, mode="quiet", max_output=None).error is None
    assert "1 GiB" in tarn.run.__doc__


@pytest.mark.parametrize("mode", ["quiet", "trace"])
def test_timeout_during_a_run(mode, tmp_path):
    started = time.monotonic()
    result = tarn.run(source="while true do end\n", mode=mode, timeout=0.2, output=tmp_path / "out")
    elapsed = time.monotonic() - started
    assert (result.error, result.location) == ("time limit reached", "<source>:1:")
    # Not early; the upper bound only catches a limit that is never looked at.
    assert 0.2 <= elapsed < 10


def test_timeout_during_compile():
    # Some 30 MB of script: its compilation alone takes seconds.
    source = "local x = 0\n" + "x = x + 1\n" * 3_000_000
    result = tarn.run(source=source, mode="quiet", timeout=0.05)
    assert result.error == "time limit reached" and result.instructions == 0
    # A compile-time place: line and column.
    assert result.location.startswith("<source>:") and result.location.count(":") == 3


def test_timeout_during_a_blocked_write(lua_file):
    # Standard output a pipe nobody reads: the trace fills it and the write waits.
    read_end, write_end = os.pipe()
    try:
        with os.fdopen(write_end, "wb", closefd=False) as out:
            result = tarn.run(lua_file("while true do print(1) end\n"), timeout=0.3, output=out)
        assert result.error == "time limit reached"
        assert os.get_blocking(write_end)
    finally:
        os.close(read_end)
        os.close(write_end)


def test_command_line_limits(python_cmd, child_env, lua_file):
    script = str(lua_file("while true do print(1) end\n"))
    for args, message in [
        (["--max-instructions", "10"], "instruction limit reached"),
        (["--max-output", "1K"], "output limit reached"),
        (["--timeout", "0.2"], "time limit reached"),
    ]:
        # The pipe is never read during the run: a blocked write must still time out.
        child = subprocess.Popen(python_cmd + ["-m", "tarn", *args, script], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env)
        try:
            assert child.wait(timeout=30) == 1
            err = child.stderr.read().decode()
            out = child.stdout.read()
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
            child.stderr.close()
        # (A write the time limit cut short is reported as lost output before the stop.)
        assert f"\nerror: {script}:1: {message}\nstack traceback:\n" in "\n" + err, args
        assert err.endswith(f"\tin main chunk\n".replace("\t", f"\t{script}:1: ")), args
        if message == "output limit reached":
            assert len(out) <= 1024 and out.endswith(b"\n")


MEMORY_ENDS = [
    ("finished", "local t = {}\nfor i = 1, 1000 do t[i] = {i} end\n", {}, None),
    ("instructions", "local t = {}\nfor i = 1, 100000 do t[i] = {i} end\n", {"max_instructions": 5000},
     "instruction limit reached"),
    ("output", "local t = {}\nfor i = 1, 100000 do t[i] = {i} print(i) end\n", {"max_output": 2000},
     "output limit reached"),
    ("time", "local t = {}\nlocal c = {}\nc[1] = c\nwhile true do t[#t % 1000 + 1] = {c} end\n", {"timeout": 0.1},
     "time limit reached"),
    ("memory", "local t = {}\nfor i = 1, 10000000 do t[i] = {i} end\n", {"memory_limit": "2M"}, "out of memory"),
    ("compile", "local t = {}\nlocal x = = 1\n", {}, "invalid prefixexp Assign"),
]


@pytest.mark.parametrize("source, limits, error", [m[1:] for m in MEMORY_ENDS], ids=[m[0] for m in MEMORY_ENDS])
def test_memory_returns_to_its_start(source, limits, error, capfd):
    result = _core.run("m.lua", text=source, mode="quiet", **limits)
    assert result["error"] == error
    start, end = result["memory"]
    assert start == end and (start, end) == _core.last_run_memory()


@pytest.mark.parametrize("limit", [400, 540])
def test_output_limit_counts_only_traced_instructions(limit):
    result = tarn.run(source=SUM, name="sum.lua", max_output=limit, profile=True)
    assert result.error == "output limit reached"
    assert result.instructions == result.profile["total"] == len(trace_lines(result.output))
