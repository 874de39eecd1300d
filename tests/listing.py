"""Helpers that split the interpreter's output into compile listings and the rest."""

from typing import List, NamedTuple


class Listing(NamedTuple):
    constants: str
    upindexes: str
    code: List[str]


def split_output(out: str):
    """Returns (listings in print order, remaining lines: trace and program output)."""
    lines = out.split("\n")
    listings: List[Listing] = []
    i = 0
    while i < len(lines) and not lines[i].startswith("  ["):
        line = lines[i]
        if line.startswith("constants: "):
            constants = line[len("constants: "):]
            upindexes = lines[i + 1][len("upindexes: "):]
            assert lines[i + 2] == "byte_codes:"
            i += 3
            code = []
            while i < len(lines) and lines[i].startswith("  ") and not lines[i].startswith("  ["):
                index, _, form = lines[i][2:].partition("\t")
                assert int(index) == len(code)
                code.append(form)
                i += 1
            listings.append(Listing(constants, upindexes, code))
        else:
            i += 1
    return listings, lines[i:]


def main_code(out: str) -> List[str]:
    """The instructions of the main function (listed last)."""
    return split_output(out)[0][-1].code


def program_output(out: str) -> List[str]:
    """The lines printed by the script itself: everything after the listings that is not a trace line."""
    _, rest = split_output(out)
    return [line for line in rest if not line.startswith("  [")][:-1] if rest and rest[-1] == "" else [
        line for line in rest if not line.startswith("  [")
    ]


def check_trace(out: bytes) -> None:
    """Fails unless every trace line of a run's output is, byte for byte and newline included,
    "  [pc]\\t" followed by the text of instruction pc of one of the listed functions.

    The listings come first (a run starts only when the main function is finished, and nothing
    runs before its first instruction), so the listing part is parsed exactly; after it, every
    line that begins as a trace line does ("  [", as no line of the listing does) must be one.
    A script that prints such a line itself cannot be told apart and is reported too."""
    lines = out.split(b"\n")
    known = set()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith(b"== function: "):
            i += 1
            continue
        if not line.startswith(b"constants: "):
            break
        # A string constant may hold line feeds: its listing line runs on to "upindexes: ".
        j = i + 1
        while j < len(lines) and not lines[j].startswith(b"upindexes: "):
            j += 1
        if j + 1 >= len(lines) or lines[j + 1] != b"byte_codes:":
            return  # a compile-time stop in the middle of a listing: there is no trace
        i = j + 2
        pc = 0
        prefix = b"  0\t"
        while i < len(lines) and lines[i].startswith(prefix):
            known.add(b"  [%d]\t%s" % (pc, lines[i][len(prefix) :]))
            pc += 1
            prefix = b"  %d\t" % pc
            i += 1
    trace = lines[i:]
    # Nothing can print before the main function's first instruction is traced.
    assert trace in ([], [b""]) or trace[0].startswith(b"  [0]\t"), f"the trace begins {trace[0]!r}"
    # The element after the last line feed: a trace line there lost its line feed.
    for k, line in enumerate(trace):
        if not line.startswith(b"  ["):
            continue
        complete = k < len(trace) - 1
        where = "" if complete else " (no line feed)"
        assert complete and line in known, f"trace line {line!r}{where} is no listed instruction"

