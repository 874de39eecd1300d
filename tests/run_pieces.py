"""Profiles, steps and program output rebuilt from a traced run, for the page and summary tests.

The trace does not say which function a line belongs to; a line is given to the running
function when its listing has that text at that index, else to the first function that has.
Good enough for the small scripts the tests use, which keep their functions apart.
"""

from typing import Dict, List, Optional, Sequence, Tuple

from listing import split_output


def _opcode(text: str) -> str:
    return text.partition("(")[0]


def pieces_from_trace(
    out: str,
    names: Sequence[str],
    ranges: Sequence[Tuple[int, int]],
    lines: Sequence[Sequence[int]],
    max_steps: int = 10_000,
) -> Tuple[dict, List[List[int]], bytes]:
    """(profile, steps, program output) of a traced run's output ``out``.

    ``names``, ``ranges`` and ``lines`` give, in listing order, each function's name, first and
    last source line, and the source line of each of its instructions.
    """
    listings, rest = split_output(out)
    code = [listing.code for listing in listings]
    assert len(code) == len(names) == len(ranges) == len(lines)
    counts = [[0] * len(c) for c in code]
    calls = [0] * len(code)
    calls[-1] = 1
    steps: List[List[int]] = []
    program = bytearray()
    current: Optional[int] = len(code) - 1
    previous = ""
    # The listing text ends with the last listing; a trace ends with a newline, so drop the
    # empty string that follows it.
    if rest and rest[-1] == "":
        rest = rest[:-1]
    for line in rest:
        if not line.startswith("  ["):
            program += line.encode("utf-8", "surrogateescape") + b"\n"
            continue
        pc_text, _, text = line[3:].partition("]\t")
        pc = int(pc_text)
        fits = [f for f in range(len(code)) if pc < len(code[f]) and code[f][pc] == text]
        assert fits, line
        function = current if current in fits else fits[0]
        if pc == 0 and _opcode(previous) in ("Call", "CallSet", "TailCall"):
            calls[function] += 1
        current = function
        previous = text
        counts[function][pc] += 1
        if len(steps) < max_steps:
            steps.append([function, pc, len(program)])
    line_counts: Dict[str, int] = {}
    opcodes: Dict[str, int] = {}
    functions = []
    for f, listing in enumerate(code):
        instructions = []
        for i, text in enumerate(listing):
            line = lines[f][i]
            instructions.append({"index": i, "text": text, "line": line, "count": counts[f][i]})
            line_counts[str(line)] = line_counts.get(str(line), 0) + counts[f][i]
            if counts[f][i]:
                opcodes[_opcode(text)] = opcodes.get(_opcode(text), 0) + counts[f][i]
        functions.append(
            {"name": names[f], "first_line": ranges[f][0], "last_line": ranges[f][1], "calls": calls[f], "instructions": instructions}
        )
    total = sum(map(sum, counts))
    profile = {"total": total, "functions": functions, "lines": line_counts, "opcodes": opcodes}
    return profile, steps, bytes(program)


FIB_NAMES = ["fib", "main chunk"]
FIB_RANGES = [(3, 8), (1, 13)]
# Source lines of examples/fib.lua's instructions, read off the script.
FIB_LINES = [[4, 4, 5, 7, 7, 7, 7, 7, 7, 7, 7, 8], [3, 10, 10, 10, 10, 11, 11, 11, 11, 11, 11, 10, 13]]
