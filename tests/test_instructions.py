"""The instruction reference: the checked-in page is what the generator writes from the
instruction list, and every example in it is what the compiler really lists."""

import sys
from pathlib import Path

import pytest

import tarn
from listing import split_output

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import instruction_reference as reference  # noqa: E402

INSTRUCTIONS = reference.read_instructions()


def test_page_is_up_to_date():
    page = (ROOT / "docs" / "instructions.md").read_text(encoding="utf-8")
    assert page == reference.render(INSTRUCTIONS), "run: python tools/instruction_reference.py"


@pytest.mark.parametrize("ins", INSTRUCTIONS, ids=lambda ins: ins.name)
def test_example_is_what_the_compiler_lists(ins, tmp_path):
    script = tmp_path / "example.lua"
    script.write_text(ins.source)
    # Some examples stop when run (calling a missing method); the listing is complete by then.
    result = tarn.run(script)
    listings, _ = split_output(result.output.decode())
    assert any(
        len(listing.code) > ins.index and listing.code[ins.index] == ins.example for listing in listings
    ), f"{ins.source!r} does not list {ins.index}\t{ins.example}"


GOOD = 'OP(Move, AB, "dst src", "R[dst] := R[src].", "local a = 1; local b = a", "1 Move(2, 1)")\n'


@pytest.mark.parametrize(
    "entry, problem",
    [
        (GOOD.replace('"dst src"', '"dst"'), "do not match shape"),
        (GOOD.replace("1 Move(2, 1)", "1 Move(2, 256)"), "is not a u8"),
        (GOOD.replace("1 Move(2, 1)", "1 Mov(2, 1)"), "is not a printed form"),
        (GOOD.replace("1 Move(2, 1)", "Move(2, 1)"), "must start with the listing index"),
        (GOOD.replace("AB,", "AX,"), "unknown shape"),
        (GOOD.replace(', "1 Move(2, 1)"', ""), "expected 6 arguments"),
        # Commas and parentheses inside joined literals belong to the text: the entry is read.
        (GOOD.replace('"local a = 1; local b = a"', '"a, b"   "(c)"'), "expected 99 instructions"),
    ],
)
def test_malformed_list_is_refused(tmp_path, entry, problem):
    path = tmp_path / "opcodes.def"
    path.write_text("// OP(comment, ...) lines are not entries\n" + entry)
    with pytest.raises(reference.DefError, match=problem):
        reference.read_instructions(path)
