"""Source positions kept by the compiler: each instruction's line, each function's name and
range, and the position of a compile-time stop. Nothing of this reaches raw_input's output, so
these tests drive a compiler-only program (tests/native/compile_check.cpp) built from the same
core in the developer build directory (TARN_BUILD_DIR, default build/editable)."""

import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = Path(os.environ.get("TARN_BUILD_DIR", ROOT / "build" / "editable"))


@pytest.fixture(scope="module")
def check_program():
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        pytest.skip(f"no CMake build directory at {BUILD_DIR} (set TARN_BUILD_DIR)")
    subprocess.run(["cmake", "--build", str(BUILD_DIR), "--target", "tarn_compile_check", "-j2"],
                   check=True, capture_output=True)
    return BUILD_DIR / "tarn_compile_check"


def compile_dump(program, source, *flags, chunk="t.lua", tmp_path=None):
    """Returns ([(name, first, last, [lines])...], other output lines) for a script text."""
    if isinstance(source, str):
        source = source.encode()
    path = tmp_path / "script.lua"
    path.write_bytes(source)
    out = subprocess.run([str(program), *flags, chunk, str(path)], check=True, capture_output=True).stdout
    functions, rest = [], []
    for line in out.decode().splitlines():
        if line.startswith("function\t"):
            _, name, first, last, lines = line.split("\t")
            functions.append((name, int(first), int(last), [int(x) for x in lines.split(",") if x]))
        else:
            rest.append(line)
    return functions, rest


FORMS = """\
function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end
local t = {}
function t.m(a) return a end
function t:m2(b)
  return self, b
end
local function f() end
local g = function(...)
  return ...
end
t.h = {k = function() end}
print(fib(10))
"""


def test_function_names_and_ranges(check_program, tmp_path):
    functions, rest = compile_dump(check_program, FORMS, chunk="forms.lua", tmp_path=tmp_path)
    assert rest == []
    assert [(name, first, last) for name, first, last, _ in functions] == [
        ("fib", 1, 4),
        ("t.m", 6, 6),
        ("t:m2", 7, 9),
        ("f", 10, 10),
        ("function <forms.lua:11>", 11, 13),
        ("function <forms.lua:14>", 14, 14),
        ("main chunk", 1, 15),
    ]


def test_instruction_lines_follow_their_tokens(check_program, tmp_path):
    source = (
        "local a, b = 1, 2\n"  # 1
        "local c = a\n"  # 2
        "  +\n"  # 3: the operator's line
        "  b\n"  # 4
        "print\n"  # 5
        "(\n"  # 6: the call's argument list
        "c)\n"  # 7
        "while c > 0 do\n"  # 8
        "  c = c - 1\n"  # 9
        "end\n"  # 10
        "for i = 1, 2 do end\n"  # 11
    )
    functions, _ = compile_dump(check_program, source, tmp_path=tmp_path)
    (name, first, last, lines), = functions
    assert (name, first, last) == ("main chunk", 1, 11)
    assert lines == [
        1, 1,  # LoadInt, LoadInt
        3,  # Add
        5, 7, 6,  # GetField print, Move c (its own token), Call
        8, 8,  # Greater, Jump (while)
        9,  # SubInt
        8,  # the jump back (while)
        11, 11, 11, 11, 11,  # LoadInt x3, ForPrepare, ForLoop
        11,  # Return0 at the end of the script
    ]


def test_every_example_line_is_inside_its_function(check_program, tmp_path):
    scripts = [*(ROOT / "examples").glob("*.lua"), *(ROOT / "fuzz" / "corpus").glob("*.lua")]
    assert len(scripts) > 10
    for example in sorted(scripts):
        functions, rest = compile_dump(check_program, example.read_bytes(), "--annotate", tmp_path=tmp_path)
        if rest and rest[0].startswith("stop\t"):
            # A seed that stops while compiling still names a place in the script.
            assert not functions and int(rest[0].split("\t")[1]) > 0, example.name
            continue
        main_lines = functions[-1][3]
        # The main function's annotated trace lines, one per instruction, each with its line.
        assert rest == [line for line in rest if re.fullmatch(r"  \[\d+\]\t\S.*\t; line \d+", line)]
        assert [int(line.rsplit(" ", 1)[1]) for line in rest] == main_lines, example.name
        assert functions[-1][0] == "main chunk"
        for name, first, last, lines in functions:
            assert lines, (example.name, name)
            assert all(first <= n <= last for n in lines), (example.name, name, first, last, lines)
            # The final Return0 sits on the `end` (or the end of the script).
            assert lines[-1] == last, (example.name, name)


@pytest.mark.parametrize(
    "source, line, col, message",
    [
        ("print(x +)\n", 1, 10, "invalid prefixexp ParR"),
        ("local a = 1\nlocal b = = 2\n", 2, 11, "invalid prefixexp Assign"),
        ("x = 1\n  y = 'abc\n", 2, 7, "unfinished string"),
        ("x = 1 -- note\n\tz = 3 @\n", 2, 8, "invalid char 64"),
        ("#!/usr/bin/env tarn\nprint(1)\n", 1, 1, "assertion `left == right` failed\n  left: Len\n right: Eos"),
        ("local function f()\n  return 1\n", 3, 1,
         "assertion `left == right` failed\n  left: Eos\n right: End"),
        ("if x then\n  y = 1\nelse\n  y = 2\nuntil\n", 5, 1,
         "assertion `left == right` failed\n  left: Until\n right: End"),
        ("s = 'caf\u00e9' + ?\n", 1, 15, "invalid char 63"),  # columns count bytes
        ("x = 99999999999999999999\n", 1, 5, "called `Result::unwrap()` on an `Err` value: "
                                            "ParseIntError { kind: PosOverflow }"),
        ("goto nowhere\n", 2, 1, "goto nowhere no destination"),
    ],
)
def test_compile_stop_position(check_program, tmp_path, source, line, col, message):
    _, rest = compile_dump(check_program, source, tmp_path=tmp_path)
    assert "\n".join(rest) == f"stop\t{line}\t{col}\t{message}"


def test_shebang_is_skipped_and_still_counted(check_program, tmp_path):
    source = "#!/usr/bin/env tarn\nlocal function f()\nend\nf()\n"
    functions, rest = compile_dump(check_program, source, "--shebang", tmp_path=tmp_path)
    assert rest == []
    assert [(n, a, b) for n, a, b, _ in functions] == [("f", 2, 3), ("main chunk", 1, 4)]
    # Only a first line starting with '#' is skipped.
    functions, rest = compile_dump(check_program, "f = 1\n", "--shebang", tmp_path=tmp_path)
    assert rest == [] and functions[0][3] == [1, 1]


def test_text_reader_matches_file_reader(check_program, tmp_path):
    # Long enough to cross several of the reader's 8192-byte windows, with tokens across them.
    source = "".join(f"local v{i} = {i} * 2 + {i} -- padding {'x' * (i % 17)}\n".replace("local ", "", 1)
                     for i in range(2000))
    (tmp_path / "s.lua").write_text(source)
    by_file = subprocess.run([str(check_program), "t.lua", str(tmp_path / "s.lua")],
                             check=True, capture_output=True).stdout
    by_text = subprocess.run([str(check_program), "--text", source, "t.lua"],
                             check=True, capture_output=True).stdout
    assert by_text == by_file
    assert by_file.splitlines()[-1].endswith(b",2000,2000,2000,2000")


def test_annotated_trace_lines(check_program, tmp_path):
    source = "local x = 1\nif x < 2 then\n  print(x)\nend\n"
    _, rest = compile_dump(check_program, source, "--annotate", tmp_path=tmp_path)
    assert rest == [
        "  [0]\tLoadInt(1, 1)\t; line 1",
        "  [1]\tLessInt(1, 2, true)\t; line 2",
        "  [2]\tJump(3)\t; line 2",
        "  [3]\tGetField(2, 0, 0)\t; line 3",
        "  [4]\tMove(3, 1)\t; line 3",
        "  [5]\tCall(2, 2, 0)\t; line 3",
        "  [6]\tReturn0\t; line 4",
    ]


def test_annotated_listing(check_program, tmp_path):
    source = "local function sq(n)\n  return n * n\nend\nprint(sq(3))\n"
    path = tmp_path / "sq.lua"
    path.write_text(source)
    out = subprocess.run([str(check_program), "--listing", "--annotate", "sq.lua", str(path)],
                         check=True, capture_output=True).stdout.decode()
    assert out.startswith(
        "== function: sq\n"
        "; function sq (sq.lua:1-3)\n"
        "constants: []\n"
        "upindexes: []\n"
        "byte_codes:\n"
        "  0\tMul(1, 0, 0)\t; line 2\n"
        "  1\tReturn(1, 1)\t; line 2\n"
        "  2\tReturn0\t; line 3\n"
        "; function main chunk (sq.lua:1-4)\n"
    )
