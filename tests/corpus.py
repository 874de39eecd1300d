"""The programs the suite runs whole (examples, the fuzzer's seeds, the benchmarks), and how to
take a traced run's output apart into listing, trace and program output."""

import re
from pathlib import Path
from typing import List, Tuple

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.lua"))
SEEDS = sorted((ROOT / "fuzz" / "corpus").glob("*.lua"))
BENCH = sorted((ROOT / "bench" / "programs").glob("*.lua"))
# Small enough to trace: a few thousand instructions at most.
SMALL = EXAMPLES + SEEDS
# Programs where this language parts from Lua 5.4 (continue, integer // and %, built-ins,
# ipairs over nils, closures per goto loop): the reference gives other output.
DIFFERS_FROM_LUA = {
    "closures.lua", "loops.lua", "tables.lua", "closures_in_loops.lua", "continue_close.lua",
    "continue_until.lua", "folding.lua", "goto_block_end.lua", "goto_scope.lua",
    "repeat_continue.lua", "string_escapes.lua",
}
AGREES_WITH_LUA = [p for p in EXAMPLES + SEEDS + BENCH if p.name not in DIFFERS_FROM_LUA]

TRACE_LINE = re.compile(rb"  \[(\d+)\]\t")
ANNOTATION = re.compile(rb"\t; line \d+$")


def ids(paths: List[Path]) -> List[str]:
    return [f"{p.parent.name}/{p.name}" for p in paths]


def split_traced(output: bytes) -> Tuple[bytes, List[bytes]]:
    """(the listing part, the lines after it) of a traced run's output. The run starts after
    the last listing, with the main function's first instruction."""
    start = 0 if output.startswith(b"  [0]\t") else output.find(b"\n  [0]\t") + 1
    if start == 0 and not output.startswith(b"  [0]\t"):
        return output, []  # nothing ran: a compile-time stop
    lines = output[start:].split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return output[:start], lines


def trace_lines(output: bytes) -> List[bytes]:
    return [line for line in split_traced(output)[1] if TRACE_LINE.match(line)]


def program_output(output: bytes) -> bytes:
    """What the script printed: the traced output without its listings and trace lines."""
    return b"".join(line + b"\n" for line in split_traced(output)[1] if not TRACE_LINE.match(line))


def strip_annotations(output: bytes) -> bytes:
    """The annotated output made plain: no '; ...' header or marker lines, no line suffixes on
    listing and trace lines."""
    kept = []
    for line in output.split(b"\n"):
        if line.startswith(b"; "):
            continue
        if TRACE_LINE.match(line) or re.match(rb"  \d+\t", line):
            line = ANNOTATION.sub(b"", line)
        kept.append(line)
    return b"\n".join(kept)
