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
