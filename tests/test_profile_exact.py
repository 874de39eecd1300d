"""The profile counts exactly: checked against the annotated trace of the same run, for every
program of the corpus, and through the command line's summary and JSON."""

import json
import re
import subprocess
from collections import Counter

import pytest

import tarn
from corpus import SMALL, TRACE_LINE, ids, trace_lines

HEADER = re.compile(rb"; function (.+) \(.+:(\d+)-(\d+)\)$")
MARKER = re.compile(rb"; (enter|tail call|return to) (.+) \(.+:(\d+)-(\d+)\)$")
LISTED = re.compile(rb"  (\d+)\t(.*)\t; line (\d+)$")
TRACED = re.compile(rb"  \[(\d+)\]\t(.*)\t; line (\d+)$")


def counts_from_annotated_trace(output: bytes):
    """(functions in listing order as (key, [(text, line)]), {key: Counter(pc)}, {key: calls})
    where key is (name, first line, last line)."""
    listings = []
    counts, calls = {}, Counter()
    running = None
    for line in output.split(b"\n"):
        m = HEADER.match(line)
        if m and running is None:
            listings.append(((m.group(1).decode(), int(m.group(2)), int(m.group(3))), []))
            continue
        m = LISTED.match(line)
        if m and running is None:
            listings[-1][1].append((m.group(2).decode(), int(m.group(3))))
            continue
        m = MARKER.match(line)
        if m:
            running = (m.group(2).decode(), int(m.group(3)), int(m.group(4)))
            if m.group(1) != b"return to":
                calls[running] += 1
            continue
        m = TRACED.match(line)
        if m:
            if running is None:
                running = listings[-1][0]
                calls[running] += 1
            counts.setdefault(running, Counter())[int(m.group(1))] += 1
    return listings, counts, calls


def check_profile(profile, output):
    listings, counts, calls = counts_from_annotated_trace(output)
    keys = [key for key, _ in listings]
    assert len(set(keys)) == len(keys)
    functions = profile["functions"]
    assert [(f["name"], f["first_line"], f["last_line"]) for f in functions] == keys
    lines, opcodes = Counter(), Counter()
    for f, (key, listing) in zip(functions, listings):
        assert [(i["index"], i["text"], i["line"]) for i in f["instructions"]] == [
            (pc, text, line) for pc, (text, line) in enumerate(listing)
        ]
        assert [i["count"] for i in f["instructions"]] == [counts.get(key, Counter())[pc] for pc in range(len(listing))], key
        assert f["calls"] == calls[key], key
        for i in f["instructions"]:
            lines[str(i["line"])] += i["count"]
            opcodes[i["text"].partition("(")[0]] += i["count"]
    assert profile["total"] == len(trace_lines(output)) == sum(lines.values())
    assert {k: v for k, v in profile["lines"].items() if v} == {k: v for k, v in lines.items() if v}
    assert {k: v for k, v in profile["opcodes"].items() if v} == {k: v for k, v in opcodes.items() if v}


@pytest.mark.parametrize("script", SMALL, ids=ids(SMALL))
def test_profile_counts_every_traced_instruction(script):
    traced = tarn.run(script, annotate=True, profile=True)
    if traced.profile is None:
        # Nothing ran: a stop while compiling.
        assert traced.error is not None and traced.instructions == 0 and not trace_lines(traced.output)
        return
    check_profile(traced.profile, traced.output)
    assert traced.profile["total"] == traced.instructions
    # The output-only run counts the same.
    assert tarn.run(script, mode="quiet", profile=True).profile == traced.profile


CLOSURES = """\
local fs = {}
for i = 1, 3 do
  fs[i] = function() return i end
end
local function tail(n)
  if n == 0 then return 0 end
  return tail(n - 1)
end
for i = 1, 3 do print(fs[i](), tail(i)) end
local t = nil
print(t.x)
"""


def test_one_prototype_many_closures_and_a_stop(lua_file):
    result = tarn.run(lua_file(CLOSURES), annotate=True, profile=True)
    assert result.error == "not yet implemented: meta __index"
    check_profile(result.profile, result.output)
    by_name = {f["name"]: f for f in result.profile["functions"]}
    assert len(result.profile["functions"]) == 3
    anonymous = next(f for name, f in by_name.items() if name.startswith("function <"))
    # Three closures of one prototype: one function, called three times; a tail call is a call.
    assert anonymous["calls"] == 3 and by_name["tail"]["calls"] == 1 + 2 + 3 + 3
    assert by_name["main chunk"]["calls"] == 1


@pytest.fixture
def fib_script():
    from corpus import EXAMPLES

    return next(p for p in EXAMPLES if p.name == "fib.lua")


def test_command_line_json_is_the_run_profile(fib_script, python_cmd, child_env, tmp_path):
    expected = tarn.run(fib_script, mode="quiet", profile=True)
    out = tmp_path / "profile.json"
    proc = subprocess.run(
        python_cmd + ["-m", "tarn", "-q", "--profile-format", "json", "--profile-out", str(out), str(fib_script)],
        capture_output=True, env=child_env, timeout=60,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, expected.output, b"")
    assert json.loads(out.read_text()) == json.loads(json.dumps(expected.profile))
    # To standard error without --profile-out.
    proc = subprocess.run(python_cmd + ["-m", "tarn", "--profile-format", "json", str(fib_script)],
                          capture_output=True, env=child_env, timeout=60)
    assert proc.returncode == 0 and json.loads(proc.stderr) == json.loads(out.read_text())
    assert proc.stdout == tarn.run(fib_script).output


def test_command_line_summary(fib_script, python_cmd, child_env):
    profile = tarn.run(fib_script, mode="quiet", profile=True).profile
    proc = subprocess.run(python_cmd + ["-m", "tarn", "-q", "--profile", str(fib_script)],
                          capture_output=True, text=True, env=child_env, timeout=60)
    assert proc.returncode == 0
    text = proc.stderr
    assert text.startswith(f"profile of {fib_script}: {profile['total']} instructions executed\n")
    sections = ["functions (instructions executed in the function itself):", "hottest lines (at most 20):",
                "instructions by opcode:"]
    positions = [text.index(f"\n{s}\n") for s in sections]
    assert positions == sorted(positions)
    hottest = max(profile["lines"].items(), key=lambda kv: kv[1])
    assert re.search(rf"\n +{hottest[0]} +{hottest[1]} ", text)
