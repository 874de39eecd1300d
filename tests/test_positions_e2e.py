"""Stops that point at the script and the annotated listing and trace, end to end: through the
command line, tarn.run and raw_input's diagnostic block."""

import re
import subprocess

import pytest

import tarn
from corpus import SMALL, TRACE_LINE, ids, strip_annotations

# (source, location, message): compile-time stops at the token where they are found.
COMPILE_STOPS = [
    ("print(x +)\n", "1:10:", "invalid prefixexp ParR"),
    ("local a = 1\nlocal b = = 2\n", "2:11:", "invalid prefixexp Assign"),
    ("x = 1\n  y = 'abc\n", "2:7:", "unfinished string"),
    ("goto nowhere\n", "2:1:", "goto nowhere no destination"),
    ("return 1\nprint(2)\n", "2:1:", "'end' expected"),
]


def cli(python_cmd, env, *args):
    return subprocess.run(python_cmd + ["-m", "tarn", *args], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=60)


@pytest.mark.parametrize("source, where, message", COMPILE_STOPS, ids=[c[2] for c in COMPILE_STOPS])
def test_compile_stop_everywhere(source, where, message, lua_file, python_cmd, child_env, capfd):
    script = lua_file(source)
    location = f"{script}:{where}"
    result = tarn.run(script, mode="quiet")
    assert (result.error, result.location, result.traceback, result.instructions) == (message, location, (), 0)
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        tarn.raw_input(str(script))
    # The exception keeps the bare message; the block on standard error says where.
    assert tarn.is_panic(info.value) and str(info.value) == message
    err = capfd.readouterr().err
    assert re.fullmatch(rf"tarn: fatal error at \S+:\d+:\d+:\nat {re.escape(location)}\n{re.escape(message)}\n", err), err
    proc = cli(python_cmd, child_env, str(script))
    assert (proc.returncode, proc.stderr) == (1, f"error: {location} {message}\n")


def recursion(depth):
    return (
        "local function f(n)\n"
        "  if n == 0 then\n"
        "    local x = nil\n"
        "    return x.y\n"
        "  end\n"
        "  return 1 + f(n - 1)\n"
        "end\n"
        f"print(f({depth}))\n"
    )


# Calls f(depth) .. f(0) and the main chunk: depth + 2 frames. Up to 21 are all shown; past
# that, the first 10 and the last 11, as the reference Lua does.
@pytest.mark.parametrize("depth, skipped", [(0, 0), (19, 0), (20, 1), (40, 21)])
def test_run_time_stop_and_its_traceback(depth, skipped, lua_file, python_cmd, child_env, capfd):
    script = lua_file(recursion(depth))
    frames = [f"{script}:4: in function 'f'"] + [f"{script}:6: in function 'f'"] * depth + [f"{script}:8: in main chunk"]
    if skipped:
        frames = frames[:10] + [f"...\t(skipping {skipped} levels)"] + frames[10 + skipped:]
        assert len(frames) == 22
    message = "not yet implemented: meta __index"
    result = tarn.run(script, mode="quiet")
    assert (result.error, result.location, result.traceback) == (message, f"{script}:4:", tuple(frames))
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        tarn.raw_input(str(script))
    assert str(info.value) == message
    err = capfd.readouterr().err
    block = f"at {script}:4:\nstack traceback:\n" + "".join(f"\t{f}\n" for f in frames) + message + "\n"
    assert err.endswith("\n" + block) and err.count("tarn: fatal error at ") == 1
    proc = cli(python_cmd, child_env, "-q", str(script))
    assert proc.returncode == 1
    assert proc.stderr == f"error: {script}:4: {message}\nstack traceback:\n" + "".join(f"\t{f}\n" for f in frames)


@pytest.mark.parametrize("script", SMALL, ids=ids(SMALL))
def test_annotations_strip_back_to_the_plain_output(script):
    plain = tarn.run(script)
    annotated = tarn.run(script, annotate=True)
    assert strip_annotations(annotated.output) == plain.output
    assert annotated.error == plain.error


MARKER = re.compile(r"; (enter|tail call|return to) (.+) \((.+):(\d+)-(\d+)\)$")
HEADER = re.compile(r"; function (.+) \((.+):(\d+)-(\d+)\)$")


def annotated_run(result):
    """(listings {name: [(text, line)]}, [(function, pc, text, line)] per executed instruction,
    markers [(kind, function)]) from an annotated traced run's output."""
    listings = {}
    steps, markers = [], []
    current = None
    running = None
    for line in result.output.decode().split("\n"):
        header = HEADER.match(line)
        if header:
            current = header.group(1)
            listings[current] = []
            continue
        m = re.match(r"  (\d+)\t(.*)\t; line (\d+)$", line)
        if m and running is None:
            assert int(m.group(1)) == len(listings[current])
            listings[current].append((m.group(2), int(m.group(3))))
            continue
        m = MARKER.match(line)
        if m:
            running = m.group(2)
            markers.append((m.group(1), running))
            continue
        m = re.match(r"  \[(\d+)\]\t(.*)\t; line (\d+)$", line)
        if m:
            if running is None:
                running = "main chunk"
            steps.append((running, int(m.group(1)), m.group(2), int(m.group(3))))
    return listings, steps, markers


CALLS = """\
local function sq(n)
  return n * n
end
local function tail(n)
  return sq(n)
end
local function iter(s, i)
  if i < s then return i + 1 end
end
for i in iter, 2, 0 do
  print(tail(i))
end
local t = {}
function t.boom(x)
  return x.field
end
t.boom(nil)
"""


def test_annotated_trace_names_function_and_line(lua_file):
    script = lua_file(CALLS)
    result = tarn.run(script, annotate=True)
    assert result.error == "not yet implemented: meta __index" and result.location == f"{script}:15:"
    listings, steps, markers = annotated_run(result)
    assert list(listings) == ["sq", "tail", "iter", "t.boom", "main chunk"]
    # Every executed instruction is the listed one of the function said to be running, with
    # its line; nothing else is traced.
    for function, pc, text, line in steps:
        assert listings[function][pc] == (text, line), (function, pc)
    assert len(steps) == len(TRACE_LINE.findall(result.output)) == result.instructions
    round_trip = [("enter", "iter"), ("return to", "main chunk"), ("enter", "tail"), ("tail call", "sq"),
                  ("return to", "main chunk")]
    assert markers == round_trip * 2 + [("enter", "iter"), ("return to", "main chunk"), ("enter", "t.boom")]
    # The markers give each function's source range.
    assert f"; enter t.boom ({script}:14-16)\n" in result.output.decode()
    assert f"; return to main chunk ({script}:1-17)\n" in result.output.decode()
    # The run stops in t.boom at the instruction of line 15, the last one traced.
    assert steps[-1][0] == "t.boom" and steps[-1][3] == 15
    # Lines the trace visits, in order of first visit.
    assert list(dict.fromkeys(line for *_, line in steps)) == [1, 4, 7, 10, 8, 11, 5, 2, 9, 13, 14, 17, 15]
