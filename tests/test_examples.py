"""The example scripts run to their end and print what they should.

The expected lines were checked against the reference Lua 5.4 interpreter; where the languages
part, the line follows this interpreter's rules and says so.
"""

from pathlib import Path

import pytest

from listing import program_output

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

EXPECTED = {
    "hello.lua": ["hello, world"],
    "fib.lua": [f"{i}\t{f}" for i, f in enumerate([0, 1, 1, 2, 3, 5, 8, 13, 21, 34, 55])],
    "closures.lua": [
        "count is\t2",
        "10\t20\t30",
        "3\ta\tb\tc",
        # new_counter is one of this interpreter's built-ins.
        "counter: 1",
        "counter: 2",
    ],
    "loops.lua": [
        "for\t1", "for\t2", "for\t3",
        "step\t1.0", "step\t1.5", "step\t2.0",
        "odd\t1", "odd\t3", "odd\t5", "odd\t7",
        "repeat\t3", "repeat\t2", "repeat\t1",
        "goto\t1", "goto\t2",
        # Integer // and % truncate toward zero (the reference prints -4 and 2).
        "3\t-3\t-1\t3.5\t1024.0",
    ],
    "tables.lua": [
        "3\t10\tex\twhy",
        "4\t40",
        # ipairs walks the whole array part, the nil included (the reference stops at it).
        "1\t1", "2\tnil", "3\t3",
        "25",
        "3\ttable\tnil\tfunction\tnumber\tstring",
    ],
}


def test_every_example_has_expectations():
    assert sorted(p.name for p in EXAMPLES.glob("*.lua")) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_output(name, run_lua):
    out, error = run_lua((EXAMPLES / name).read_bytes())
    assert error is None
    assert program_output(out) == EXPECTED[name]
