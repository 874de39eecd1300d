"""The lexer end to end: how bytes become tokens (seen through listings and program output),
the printed forms of tokens in messages, reading the script in pieces, and every lexical stop."""

import os
import signal
import subprocess
import textwrap
import time

import pytest

from listing import program_output, split_output

UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
BAD_FLOAT = UNWRAP_ERR + "ParseFloatError { kind: Invalid }"
INT_OVERFLOW = UNWRAP_ERR + "ParseIntError { kind: PosOverflow }"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
LONG_COMMENT = "not yet implemented: long comment"
EMPTY_OUTPUT = "constants: []\nupindexes: []\nbyte_codes:\n  0\tReturn0\n  [0]\tReturn0\n"


def assertion(found, expected):
    return f"assertion `left == right` failed\n  left: {found}\n right: {expected}"


LEXICAL_STOPS = {
    "dollar": (b"$", "invalid char 36"),
    "bang_after_statement": (b"x = 1 !", "invalid char 33"),
    "backquote": (b"`", "invalid char 96"),
    "lone_backslash": (b"x = \\", "invalid char 92"),
    "nul_byte": (b"x\0", "invalid char 0"),
    "vertical_tab": (b"a\vb", "invalid char 11"),
    "form_feed": (b"a\fb", "invalid char 12"),
    "latin1_first_byte": (b"\xe9t\xe9 = 1", "invalid char 233"),
    "utf8_second_byte": (b"caf\xc3\xa9 = 1", "invalid char 169"),
    "latin1_symbol_in_name": (b"a\xd7b = 1", "invalid char 215"),
    "two_points": (b"x = 1..2", BAD_FLOAT),
    "minus_without_spaces": (b"x=1-1", BAD_FLOAT),
    "plus_without_spaces": (b"x = 2+3", BAD_FLOAT),
    "exponent_without_digits": (b"x = 1e", BAD_FLOAT),
    "exponent_sign_without_digits": (b"x = 5e+", BAD_FLOAT),
    "point_in_exponent": (b"x = 1e5.5", BAD_FLOAT),
    "two_fractions": (b"x = 1.2.3", BAD_FLOAT),
    "keyword_after_numeral": (b"if 1else", BAD_FLOAT),
    "integer_just_too_large": (b"x = 9223372036854775808", INT_OVERFLOW),
    "integer_far_too_large": (b"x = 123456789012345678901234567890", INT_OVERFLOW),
    "line_feed_in_string": (b"x = 'abc\ndef'", "unfinished string"),
    "string_at_end_of_file": (b"x = 'abc", "unfinished string"),
    "other_quote_does_not_close": (b"x = \"abc'", "unfinished string"),
    "backslash_at_end_of_file": (b"x = 'abc\\", "string escape"),
    "escape_z": (b"x = '\\z'", "invalid string escape"),
    "escape_u": (b"x = '\\u{41}'", "invalid string escape"),
    "escaped_line_feed": (b"x = 'a\\\nb'", "invalid string escape"),
    "hex_escape_bad_digit": (b"x = '\\xg0'", UNWRAP_NONE),
    "hex_escape_one_digit": (b"x = '\\x4'", UNWRAP_NONE),
    "hex_escape_at_end_of_file": (b"x = '\\x4", UNWRAP_NONE),
    "decimal_escape_256": (b"x = '\\256'", "decimal escape too large: TryFromIntError(())"),
    "decimal_escape_999": (b"x = '\\999'", "decimal escape too large: TryFromIntError(())"),
    "long_comment": (b"--[[ x ]]", LONG_COMMENT),
    "bracket_comment": (b"print(1) --[ x", LONG_COMMENT),
}


@pytest.mark.parametrize("source, message", LEXICAL_STOPS.values(), ids=LEXICAL_STOPS.keys())
def test_lexical_stops(run_lua_bytes, source, message):
    # A lexical stop comes before the main function is finished, so nothing is listed.
    assert run_lua_bytes(source) == (b"", message)


@pytest.mark.parametrize(
    "source, message",
    [
        ("if x do end", assertion("Do", "Then")),
        ("while 1 then end", assertion("Then", "Do")),
        ("if 1", assertion("Eos", "Then")),
        ("if 1 9223372036854775807 then end", assertion("Integer(9223372036854775807)", "Then")),
        ("if 1 2.5 then end", assertion("Float(2.5)", "Then")),
        ("if 1 1e16 then end", assertion("Float(1e16)", "Then")),
        ("if 1 .00015 then end", assertion("Float(0.00015)", "Then")),
        ("if 1 1e-5 then end", assertion("Float(1e-5)", "Then")),
        ("if 1 'hi' then end", assertion("String([104, 105])", "Then")),
        ("if 1 '' then end", assertion("String([])", "Then")),
        ("if 1 caf\xe9 then end", assertion('Name("café")', "Then")),
        ("print(0x1F)", assertion('Name("x1F")', "ParR")),
    ],
)
def test_expected_token_messages(run_lua_bytes, source, message):
    assert run_lua_bytes(source.encode("latin-1")) == (b"", message)


@pytest.mark.parametrize(
    "numeral, constant",
    [
        (".5", "0.5"),
        ("5.", "5.0"),
        ("1.e2", "100.0"),
        ("1e3", "1000.0"),
        ("1E+2", "100.0"),
        ("1.5e-3", "0.0015"),
        ("00.25", "0.25"),
        ("0.1", "0.1"),
        # the nearest float, ties to even
        ("9007199254740993.0", "9007199254740992.0"),
        ("1.7976931348623157e308", "1.7976931348623157e308"),
        ("4.9406564584124654e-324", "5e-324"),
        # out of range is no error: too large is infinity, too small is zero
        ("1e400", "inf"),
        ("1.7976931348623159e308", "inf"),
        ("1e-400", "0.0"),
        ("0.0000000001e-320", "0.0"),
        ("9223372036854775807", "9223372036854775807"),
        ("007", "7"),
    ],
)
def test_numerals(run_lua, numeral, constant):
    out, error = run_lua(f"x = {numeral}")
    assert error is None
    assert split_output(out)[0][-1].constants == f"['x', {constant}]"


def test_names_keep_latin1_letters_and_numbers(run_lua_bytes):
    source = b"caf\xe9 = 1 x\xaa\xb5\xba\xb2\xb3\xb9\xbc\xbd\xbe = 2 y\xc0 = 3 _\xc0\xd6\xd8\xf6\xf8\xff = 4"
    out, error = run_lua_bytes(source)
    assert error is None
    constants = split_output(out.decode("utf-8"))[0][-1].constants
    # Each such byte becomes two bytes of UTF-8, which makes the second name 19 bytes long:
    # a middle string, printed between double quotes.
    assert constants == "['café', 1, \"xªµº²³¹¼½¾\", 2, 'yÀ', 3, '_ÀÖØöøÿ', 4]"


def test_names_and_keywords(run_lua):
    # Keywords match exactly; longer words and other cases are names, "continue" included.
    out, error = run_lua("And = 1 whilex = 2 endx = 3 _ = 4 _1 = 5 a_b9 = 6 nil_ = 7 x = continue")
    assert error is None
    assert split_output(out)[0][-1].constants == (
        "['And', 1, 'whilex', 2, 'endx', 3, '_', 4, '_1', 5, 'a_b9', 6, 'nil_', 7, 'x', 'continue']"
    )


def test_string_escapes(run_lua_bytes):
    source = (
        rb"print('a\65\066\0677', '\x4a\x4A\x6f', 'it\'s', " + b'"say \\"hi\\""' + rb", '\\', 'q\"')"
        b"\nprint(#'\\a\\b\\f\\n\\r\\t\\v', #'\\0\\1a\\255\\xff', #'a\rb', #'', #'\\9\\99')"
        b"\nprint('\\97\\98', 'x\\tz', \"it's\", 'say \"hi\"')"
    )
    out, error = run_lua_bytes(source)
    assert error is None
    assert program_output(out.decode("utf-8")) == [
        "aABC7\tJJo\tit's\tsay \"hi\"\t\\\tq\"",
        "7\t5\t3\t0\t2",
        "ab\tx\tz\tit's\tsay \"hi\"",
    ]


def test_operators_and_punctuation(run_lua):
    source = (
        "local function f(...) local t = {b = 'B'} return t.b..'c', ... end print(f('d'))\n"
        "print(7//2, 7/2, 1<<4, 256>>4, 1<=2, 2>=3, 1<2, 2>1, 1==1, 1~=1, ~0, 5&3, 5|3, 5~3)\n"
        "print(2^3, 7%3, #{1, 2; 3}, - -1, '(' .. ')')\n"
        "goto skip print('skipped') ::skip:: print('after')"
    )
    out, error = run_lua(source)
    assert error is None
    assert program_output(out) == [
        "Bc\td",
        "3\t3.5\t16\t16\ttrue\tfalse\ttrue\ttrue\ttrue\tfalse\t-1\t1\t7\t6",
        "8.0\t1\t3\t1\t()",
        "after",
    ]


def test_comments_and_white_space(run_lua):
    source = (
        "--x\nprint(1)--\nprint(2)\r\n\tprint(3)----\n"
        "print(4 --5\n)-- -[[ not long\nprint(- -6)-- the end"
    )
    out, error = run_lua(source)
    assert error is None
    assert program_output(out) == ["1", "2", "3", "4", "6"]


@pytest.mark.parametrize(
    "source", [b"", b"-- only a comment", b"\n\n \t\r\n--c\n--", b"\n" * 20000 + b"--c\n" * 20000]
)
def test_scripts_without_tokens(run_lua_bytes, source):
    assert run_lua_bytes(source) == (EMPTY_OUTPUT.encode(), None)


@pytest.mark.parametrize("pad", range(8184, 8194))
def test_tokens_across_read_buffer(run_lua, pad):
    # The file is read 8192 bytes at a time; tokens and look-ahead must not care where a read
    # ends.
    body = (
        "local a = 'xy' .. 'z' print(a..'!', .15e+2, 'q\\0657', #'"
        + "s" * 20000
        + "', 9223372036854775807)"
    )
    out, error = run_lua(" " * pad + body)
    assert error is None
    assert program_output(out) == ["xyz!\t15.0\tqA7\t20000\t9223372036854775807"]


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "script.fifo"
    os.mkfifo(path)
    return path


def start_child(python_cmd, child_env, code, *args):
    return subprocess.Popen(
        python_cmd + ["-c", textwrap.dedent(code), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=child_env,
        text=True,
    )


def test_script_arriving_in_pieces(python_cmd, child_env, fifo):
    # A pipe hands the script over in several short reads, cutting tokens in the middle.
    code = "import sys; from tarn import Brindle; Brindle.raw_input(sys.argv[1])"
    child = start_child(python_cmd, child_env, code, fifo)
    try:
        with open(fifo, "w") as f:
            for piece in ["local s = 'a", "b' pri", "nt(s .", ". 'c', 1", "2.5", "e1)\n"]:
                f.write(piece)
                f.flush()
                time.sleep(0.05)
        out, err = child.communicate(timeout=30)
        assert child.returncode == 0, err
        assert program_output(out) == ["abc\t125.0"]
    finally:
        child.kill()
        child.wait()


def test_ctrl_c_while_waiting_for_the_script(python_cmd, child_env, fifo):
    # Opening a pipe nobody writes to blocks; Ctrl-C must still end the call.
    code = """
        import sys
        from tarn import Brindle
        print("ready", file=sys.stderr, flush=True)
        try:
            Brindle.raw_input(sys.argv[1])
        except KeyboardInterrupt:
            sys.exit(3)
    """
    child = start_child(python_cmd, child_env, code, fifo)
    try:
        assert child.stderr.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        child.wait(timeout=30)
        assert child.returncode == 3, child.stderr.read()
    finally:
        child.kill()
        child.wait()
