"""The profile summary for people and the profile's JSON form, on profiles rebuilt from real
traced runs and on hand-made ones that sit on the edges (more lines than the table shows, no
instructions at all, hostile source text)."""

import json
from pathlib import Path

import pytest

import tarn
from run_pieces import FIB_LINES, FIB_NAMES, FIB_RANGES, pieces_from_trace
from tarn._profile import BAR_WIDTH, HOT_LINES, format_profile, profile_json, split_lines

FIB = Path(__file__).resolve().parent.parent / "examples" / "fib.lua"


@pytest.fixture(scope="module")
def fib_profile():
    result = tarn.run(FIB)
    return pieces_from_trace(result.output.decode(), FIB_NAMES, FIB_RANGES, FIB_LINES)[0]


def section(text: str, head: str) -> list:
    """The lines of the summary section that starts with ``head``, up to the next blank line."""
    lines = text.split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith(head))
    end = lines.index("", start)
    return lines[start + 1 : end]


def hand_profile(line_counts: dict, opcodes: dict) -> dict:
    instructions = [
        {"index": i, "text": f"LoadInt(0, {i})", "line": line, "count": count}
        for i, (line, count) in enumerate(line_counts.items())
    ]
    total = sum(line_counts.values())
    return {
        "total": total,
        "functions": [{"name": "main chunk", "first_line": 1, "last_line": 99, "calls": 1, "instructions": instructions}],
        "lines": {str(line): count for line, count in line_counts.items()},
        "opcodes": opcodes,
    }


def test_summary_of_a_real_run(fib_profile):
    source = FIB.read_text()
    text = format_profile(fib_profile, split_lines(source), "fib.lua")
    total = fib_profile["total"]
    assert text.startswith(f"profile of fib.lua: {total} instructions executed\n")
    assert text.endswith("\n") and not text.endswith("\n\n")

    functions = section(text, "functions")
    assert functions[0].split() == ["function", "lines", "calls", "instructions", "share"]
    rows = [line.split() for line in functions[1:]]
    # Hottest first; each function's own instructions, which add up to the total.
    assert [line.split("  ")[1] for line in functions[1:]] == ["fib", "main chunk"]
    own = [int(r[-2]) for r in rows]
    assert own == sorted(own, reverse=True) and sum(own) == total
    assert rows[0][1:3] == ["3-8", "453"]  # fib(0) .. fib(10) make 453 calls in all

    hot = section(text, "hottest lines")
    assert hot[1].split()[:2] == ["7", "1768"]
    assert hot[1].endswith("return fib(n - 1) + fib(n - 2)")  # the text, without its indentation
    assert [int(line.split()[1]) for line in hot[1:]] == sorted((int(line.split()[1]) for line in hot[1:]), reverse=True)

    histogram = section(text, "instructions by opcode")
    bars = histogram[1:]
    counts = [int(line.split()[1]) for line in bars]
    assert sum(counts) == total and counts == sorted(counts, reverse=True)
    # Bars start in one column, the largest is full width, the smallest count still shows.
    assert len({line.index("#") for line in bars}) == 1
    assert bars[0].count("#") == BAR_WIDTH and all(line.count("#") >= 1 for line in bars)
    assert bars[-1].split()[0] in {"Closure", "ForPrepare", "Return0"}


@pytest.mark.parametrize("extra", [-1, 0, 1])
def test_hottest_lines_stop_at_twenty(extra):
    n = HOT_LINES + extra
    # Line i runs i times; lines 1 and 2 tie on purpose at the cold end when n > 20.
    counts = {line: line for line in range(1, n + 1)}
    source = [f"x{line} = {line}" for line in range(1, n + 1)]
    hot = section(format_profile(hand_profile(counts, {"LoadInt": sum(counts.values())}), source, "p.lua"), "hottest")
    shown = [int(line.split()[0]) for line in hot[1:]]
    assert shown == list(range(n, n - min(n, HOT_LINES), -1))
    assert hot[1].endswith(f"x{n} = {n}")


def test_ties_keep_line_order_and_text_is_tamed():
    counts = {3: 5, 1: 5, 2: 5, 40: 1}
    source = ["\tlocal a = '\x1b[31m'  ", "b = 1", "c = " + "9" * 200]
    text = format_profile(hand_profile(counts, {"LoadInt": 16}), source, "p.lua")
    hot = section(text, "hottest")
    assert [line.split()[0] for line in hot[1:]] == ["1", "2", "3", "40"]
    assert "\x1b" not in text and "\t" not in text
    assert hot[1].endswith("local a = ' [31m'")
    assert hot[3].endswith("...") and len(hot[3]) < 120
    assert hot[4].split() == ["40", "1", "6.2%"]  # past the end of the source: no text


def test_empty_run_divides_by_nothing():
    text = format_profile({"total": 0, "functions": [], "lines": {}, "opcodes": {}}, [], "e.lua")
    assert text == "profile of e.lua: 0 instructions executed\n"
    unrun = hand_profile({1: 0}, {})
    unrun["total"] = 0
    text = format_profile(unrun, ["x = 1"], "e.lua")
    assert "main chunk" in text and "    -" in text and "hottest" not in text


def test_json_shape(fib_profile):
    # Fresh from a run, line keys may be ints; the JSON has them as strings in numeric order.
    profile = dict(fib_profile, lines={int(k): v for k, v in fib_profile["lines"].items()})
    profile["lines"][100] = 0
    profile["lines"][9] = 0
    text = profile_json(profile)
    assert text.endswith("}\n") and text.isascii()
    back = json.loads(text)
    assert list(back) == ["total", "functions", "lines", "opcodes"]
    assert list(back["lines"]) == [str(k) for k in sorted(profile["lines"])]
    assert back["functions"] == fib_profile["functions"]
    assert back["total"] == sum(i["count"] for f in back["functions"] for i in f["instructions"])
    assert back["opcodes"] == fib_profile["opcodes"]
    # Names outside ASCII (or undecodable, from a chunk name) stay valid JSON.
    odd = dict(fib_profile, functions=[dict(fib_profile["functions"][0], name="function <\udcff\u00e9.lua:3>")])
    assert json.loads(profile_json(odd))["functions"][0]["name"] == "function <\udcff\u00e9.lua:3>"


@pytest.mark.parametrize(
    "source, lines",
    [("", [""]), ("a\nb", ["a", "b"]), ("a\r\nb\n", ["a", "b", ""]), ("a\rb", ["a\rb"])],
)
def test_split_lines_counts_newlines_only(source, lines):
    assert split_lines(source) == lines
