"""Values seen from scripts: printed forms, equality, table placement and every operator.

Operands are passed through locals so that the machine computes the result; where the compiler
would fold the same expression, the folded form is checked too, and both must agree.
"""

import math
import random
import re
import struct

import pytest

# Lines written by the compiler and the tracer; everything else on stdout came from the script.
_MACHINE_LINE = re.compile(r"constants: |upindexes: |byte_codes:$|  \d+\t|  \[\d+\]\t|== function: ")

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def printed(stdout):
    return [line for line in stdout.split("\n")[:-1] if not _MACHINE_LINE.match(line)]


@pytest.fixture
def run_ok(run_lua):
    def run(source):
        out, err = run_lua(source)
        assert err is None, err
        return printed(out)

    return run


def lua_repr(f):
    """The expected plain form of a float, derived from Python's shortest repr."""
    if math.isnan(f):
        return "NaN"
    if math.isinf(f):
        return "inf" if f > 0 else "-inf"
    mantissa, e, exp = repr(f).partition("e")
    return mantissa + e + (str(int(exp)) if e else "")


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("nil", "nil"),
        ("true", "true"),
        ("-9223372036854775807 - 1", "-9223372036854775808"),
        ("1.0", "1.0"),
        ("-3.0", "-3.0"),
        ("0.0 * -1", "-0.0"),
        ("0.0001", "0.0001"),
        ("0.00001", "1e-5"),
        ("-2.5e-7", "-2.5e-7"),
        ("1e15", "1000000000000000.0"),
        ("1e16", "1e16"),
        ("1.5e16", "1.5e16"),
        ("1e100", "1e100"),
        ("2 ^ 63", "9.223372036854776e18"),
        ("0.1 + 0.2", "0.30000000000000004"),
        ("123456.789e3", "123456789.0"),
        ("5e-324", "5e-324"),
        ("1 / 0", "inf"),
        ("-1 / 0", "-inf"),
        ("0 / 0", "NaN"),
        ("''", ""),
        ('"it\'s"', "it's"),
    ],
)
def test_plain_form(run_ok, expr, expected):
    assert run_ok(f"local x = {expr}\nprint(x)\n") == [expected]


def test_float_digits_match_shortest_round_trip(run_ok):
    rng = random.Random(1234)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(150)]
    values += [rng.uniform(0, 1) * 10.0 ** rng.randint(-7, 19) for _ in range(150)]
    values = [v for v in values if math.isfinite(v)]
    script = "".join(f"print({v!r})\n" for v in values)
    assert run_ok(script) == [lua_repr(v) for v in values]


@pytest.mark.parametrize(
    "raw",
    [
        b"\xed\xa0\x80",  # surrogate
        b"\xc0\x80",  # overlong
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"a\xe2\x82",  # truncated at the end
        b"\xe2\x82a\xf0\x9f\x98\x80\xff",
        "h\u00e9 \u20ac \U0001f600".encode(),
    ],
)
def test_plain_form_decodes_utf8_lossily(run_lua_bytes, raw):
    literal = "".join(f"\\x{b:02x}" for b in raw)
    out, err = run_lua_bytes(f'local s = "{literal}"\nprint(s)\n'.encode())
    assert err is None
    lines = printed(out.decode("utf-8"))
    assert lines == [raw.decode("utf-8", "replace")]


@pytest.mark.parametrize(
    "n, quote",
    [(0, "'"), (14, "'"), (15, '"'), (47, '"'), (48, "'''"), (200, "'''")],
)
def test_string_representation_by_length(run_lua, n, quote):
    text = "".join(chr(ord("a") + i % 26) for i in range(n))
    half = n // 2
    # The literal shows in the listing; the concatenation is built at run time and must pick
    # the same representation for the same length.
    script = f"local s = '{text}'\nlocal a, b = '{text[:half]}', '{text[half:]}'\nlocal c = a .. b\nprint(c == s)\nc()\n"
    out, err = run_lua(script)
    assert f"{quote}{text}{quote}" in out.split("\n")[0]
    assert printed(out) == ["true"]
    assert err == f"invalid function: {quote}{text}{quote}"


def test_functions_and_tables_print_with_identity(run_ok):
    # Identities number the prototypes (main first, then nested ones in source order), the
    # global table, then tables and closures as the run makes them; so every run prints the
    # same bytes.
    source = (
        "local function f() end\nlocal t, u = {}, {}\n"
        "local function g() return t end\n"
        "print(print, new_counter(), f, t, u, t, g, {}, function() end)\n"
    )
    lines = run_ok(source)
    assert lines[0].split("\t") == [
        "function", "function", "function: 0x2", "table: 0x6", "table: 0x7", "table: 0x6",
        "function: 0x8", "table: 0x9", "function: 0x4",
    ]
    assert run_ok(source) == lines
    many = run_ok("local t for i = 1, 20 do t = {} end print(t)\n")
    assert many == ["table: 0x16"]


def test_identities_start_afresh_in_every_run(lua_file):
    # Two runs in one process print the same bytes.
    import tarn

    script = lua_file("print({}, function() return 1 end)\n")
    first, second = tarn.run(script), tarn.run(script)
    assert first.error is None and first.output == second.output
    assert b"\ntable: 0x4\tfunction: 0x2\n" in first.output


@pytest.mark.parametrize(
    "setup, message",
    [
        ("local v = nil", "invalid function: nil"),
        ("local v = false", "invalid function: false"),
        ("local v = 1.5", "invalid function: 1.5"),
        ("local v = -7", "invalid function: -7"),
        ("local v = {1, 2, 3, x = 1, y = 2}", "invalid function: table:3:2"),
    ],
)
def test_quoted_form_in_messages(run_lua, setup, message):
    assert run_lua(f"{setup}\nv()\n")[1] == message


@pytest.mark.parametrize(
    "limit, shown",
    [
        ("print", "rust function"),
        ("new_counter()", "rust closure"),
        ("function() end", "Lua function"),  # nothing captured: the prototype itself
        ("function() return i end", "Lua closure"),
        ("'x'", "'x'"),
        ("true", "true"),
    ],
)
def test_quoted_form_of_functions(run_lua, limit, shown):
    assert run_lua(f"local i = 0\nlocal v = {limit}\nfor i = 1.5, v do end\n")[1] == f"not number {shown}"


def test_nested_prototype_constant_is_quoted_as_lua_function(run_lua):
    out, err = run_lua("local function f() end\n")
    assert err is None
    assert "Lua function" in [line for line in out.split("\n") if line.startswith("constants: ")][-1]


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("3", "3.0", "true"),
        ("0.0", "-0.0", "true"),
        ("0.1 + 0.2", "0.3", "false"),
        ("0 / 0", "0 / 0", "false"),
        ("9007199254740993", "2 ^ 53", "false"),  # 2^53 + 1 rounds to 2^53 but is not equal
        ("9223372036854775807", "2 ^ 63", "true"),  # saturates back to the integer
        ("1", "'1'", "false"),
        ("nil", "false", "false"),
        ("'abc'", "ab .. 'c'", "true"),
        ("'" + "m" * 30 + "'", "m15 .. m15", "true"),
        ("'" + "m" * 31 + "'", "m15 .. m15", "false"),
        ("'" + "m" * 60 + "'", "m30 .. m30", "true"),
        ("'" + "m" * 59 + "n'", "m30 .. m30", "false"),
        ("{}", "{}", "false"),
        ("print", "print", "true"),
        ("print", "type", "false"),
    ],
)
def test_equality(run_ok, a, b, expected):
    negated = "false" if expected == "true" else "true"
    # Strings on the right are concatenated at run time, so they are not the literal's constant.
    prelude = f"local ab, m15, m30 = 'ab', '{'m' * 15}', '{'m' * 30}'\n"
    assert run_ok(prelude + f"local a, b = {a}, {b}\nprint(a == b, a ~= b, b == a)\n") == [
        f"{expected}\t{negated}\t{expected}"
    ]


@pytest.mark.parametrize(
    "store, load, expected",
    [
        ("100", "100.0", "v"),  # integer key in the hash part meets the equal float
        ("100.0", "100", "v"),
        ("2.0", "2", "v"),  # the array part is empty, so 2 searches the hash part
        ("-0.0", "0", "v"),
        ("2 ^ 63", "9223372036854775807", "v"),
        ("'" + "k" * 20 + "'", "k10 .. k10", "v"),
        ("'" + "k" * 50 + "'", "k25 .. k25", "v"),
        ("k25 .. k25", "'" + "k" * 50 + "'", "v"),
        ("nil", "nil", "v"),
        ("0 / 0", "0 / 0", "nil"),  # stored, never found again
        ("1", "1.0", "nil"),  # float keys never look at the array part
    ],
)
def test_table_keys_meet_under_equality(run_ok, store, load, expected):
    prelude = f"local k10, k25 = '{'k' * 10}', '{'k' * 25}'\n"
    script = prelude + f"local t = {{}}\nlocal k1, k2 = {store}, {load}\nt[k1] = 'v'\nprint(t[k2])\n"
    assert run_ok(script) == [expected]


@pytest.mark.parametrize(
    "store, load",
    [("k", "k + 0.0"), ("k + 0.0", "k"), ("-k", "-k + 0.0"), ("-k + 0.0", "-k")],
    ids=["integer-float", "float-integer", "negative-integer-float", "negative-float-integer"],
)
def test_integral_float_and_integer_keys_meet_in_a_large_hash_part(run_ok, store, load):
    # Sixty-four keys, all in the hash part (far beyond twice the array capacity).
    script = (
        "local t = {}\nfor i = 1, 64 do local k = i * 1000 t[" + store + "] = i end\n"
        "local found = 0\nfor i = 1, 64 do local k = i * 1000 if t[" + load + "] == i then found = found + 1 end end\n"
        "print(found)\n"
    )
    assert run_ok(script) == ["64"]


@pytest.mark.parametrize(
    "body, shape",
    [
        ("t[3] = 1", "table:3:0"),  # padded with nils
        ("t[4] = 1", "table:0:1"),  # from 4 on, only below twice the capacity (here 0)
        ("t[5] = 1", "table:0:1"),
        ("t[1] = 1 t[7] = 7", "table:7:0"),  # the first append gives capacity 4
        ("t[1] = 1 t[8] = 8", "table:1:1"),
        ("t[100] = 1", "table:0:1"),
        ("t[0] = 1 t[-1] = 2", "table:0:2"),
        ("t[1] = 1 t[2] = 2 t[2] = nil", "table:2:0"),  # storing nil keeps the slot
        ("t[1] = 1 t[2] = 2 t[3] = 3 t[7] = 7", "table:7:0"),  # 7 < 2 * capacity 4
        ("t[1] = 1 t[2] = 2 t[3] = 3 t[4] = 4 t[8] = 8", "table:4:1"),  # 8 >= 2 * 4
        ("for i = 1, 5 do t[i] = i end t[15] = 1", "table:15:0"),  # capacity doubled to 8
        ("t[2.0] = 1 t[1] = 1", "table:1:1"),
        ("t[100] = 1 t[100.0] = 2", "table:0:1"),
        ("for i = 1, 1000 do t[i] = i end", "table:1000:0"),
    ],
)
def test_table_placement(run_lua, body, shape):
    out, err = run_lua(f"local t = {{}}\n{body}\nt()\n")
    assert err == f"invalid function: {shape}"


@pytest.mark.parametrize(
    "ctor, key, shape",
    [
        ("{1, 2, 3}", 5, "table:5:0"),  # capacity exactly 3: 5 < 6
        ("{1, 2, 3}", 6, "table:3:1"),
        ("{f()}", 19, "table:19:0"),  # appending 10 values raises capacity to 10
        ("{f()}", 20, "table:10:1"),
    ],
)
def test_table_capacity_from_constructor(run_lua, ctor, key, shape):
    script = f"local function f() return 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 end\nlocal t = {ctor}\nt[{key}] = 0\nt()\n"
    assert run_lua(script)[1] == f"invalid function: {shape}"


def test_table_reads(run_ok):
    script = (
        "local t = {}\nt[5] = 'hash'\nfor i = 1, 5 do t[i] = i * 10 end\n"
        "t[nil] = 'n'\nt[0] = 'z'\n"
        "print(t[5], t[nil], t[0], t[6], #t)\n"
        "local u = {1, 2, 3}\nu[10] = 10\nprint(#u)\n"
    )
    assert run_ok(script) == ["50\tn\tz\tnil\t5", "3"]


@pytest.mark.parametrize(
    "script, message",
    [
        ("local n = 1\nprint(n.x)", "not yet implemented: meta __index"),
        ("local s = 'abc'\nprint(s[1])", "not yet implemented: meta __index"),
        ("local n = 1\nn.x = 1", "not yet implemented: meta __newindex"),
        ("local s = 'abc'\ns[1] = 2", "not yet implemented: meta __newindex"),
    ],
)
def test_indexing_non_tables(run_lua, script, message):
    assert run_lua(script + "\n")[1] == message


ARITH = [
    ("9223372036854775807", "+", "1", "-9223372036854775808"),
    ("-9223372036854775807", "-", "2", "9223372036854775807"),
    ("9223372036854775807", "*", "2", "-2"),
    ("1", "+", "1.5", "2.5"),
    ("2", "-", "3.0", "-1.0"),
    ("7", "//", "2", "3"),
    ("-7", "//", "2", "-3"),
    ("7", "//", "-2", "-3"),
    ("-7", "%", "2", "-1"),
    ("7", "%", "-3", "1"),
    ("7", "%", "-1", "0"),
    ("7.0", "//", "2", "3.5"),
    ("7.5", "//", "2", "3.75"),
    ("7.0", "//", "0", "inf"),
    ("-7.5", "%", "2", "-1.5"),
    ("7.0", "%", "0", "NaN"),
    ("7", "/", "0", "inf"),
    ("0", "/", "0", "NaN"),
    ("3", "/", "1", "3.0"),
    ("2", "^", "2", "4.0"),
    ("2", "^", "0.5", "1.4142135623730951"),
    ("5", "&", "3", "1"),
    ("5", "|", "3", "7"),
    ("5", "~", "3", "6"),
    ("3.0", "|", "0", "3"),
    ("2 ^ 63", "&", "-1", "9223372036854775807"),
    ("-0.0", "|", "0", "0"),
    ("1", "<<", "64", "1"),
    ("1", "<<", "63", "-9223372036854775808"),
    ("1", "<<", "-1", "-9223372036854775808"),
    ("1", ">>", "-1", "0"),
    ("-1", ">>", "1", "-1"),
    ("-8", ">>", "1", "-4"),
    ("-1", ">>", "63", "-1"),
    ("-1", ">>", "64", "-1"),
    ("'a'", "..", "'b'", "ab"),
    ("''", "..", "''", ""),
]


@pytest.mark.parametrize("a, op, b, expected", ARITH)
def test_binary_operators(run_ok, a, op, b, expected):
    script = f"local a, b = {a}, {b}\nprint(a {op} b)\nprint(({a}) {op} ({b}))\n"
    assert run_ok(script) == [expected, expected]


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("-x", "-9223372036854775808"),
        ("-y", "-0.0"),
        ("~z", "-6"),
        ("#s", "3"),
        ("#e", "0"),
        ("not x", "false"),
        ("not n", "true"),
    ],
)
def test_unary_operators(run_ok, expr, expected):
    script = f"local x, y, z, s, e, n = -9223372036854775807 - 1, 0.0, 5, 'abc', '', nil\nprint({expr})\n"
    assert run_ok(script) == [expected]


@pytest.mark.parametrize(
    "a, op, b, message",
    [
        ("7", "//", "0", "attempt to divide by zero"),
        ("7", "%", "0", "attempt to calculate the remainder with a divisor of zero"),
        ("-9223372036854775807 - 1", "//", "-1", "attempt to divide with overflow"),
        ("-9223372036854775807 - 1", "%", "-1", "attempt to calculate the remainder with overflow"),
        ("3.5", "|", "0", UNWRAP_NONE),
        ("1", "<<", "0.5", UNWRAP_NONE),
        ("1 / 0", "&", "1", UNWRAP_NONE),
    ],
)
@pytest.mark.parametrize("folded", [False, True])
def test_numeric_operator_failures(run_lua, a, op, b, message, folded):
    # The compiler folds constant operands with the same rules, so it stops the same way.
    if folded:
        script = f"print(({a}) {op} ({b}))\n"
    else:
        script = f"local a, b = {a}, {b}\nprint(a {op} b)\n"
    out, err = run_lua(script)
    assert err == message
    assert printed(out) == []


@pytest.mark.parametrize(
    "a, b, expr, message",
    [
        ("'s'", "0", "a | b", "not yet implemented: meta"),
        ("1", "{}", "a + b", "not yet implemented: meta"),
        ("nil", "1", "a * b", "not yet implemented: meta"),
        ("'1'", "1", "a + b", "not yet implemented: meta"),
        ("3.0", "0", "~a", "invalid ~"),
        ("'x'", "0", "-a", "invalid -"),
        ("{}", "0", "-a", "invalid -"),
        ("1", "0", "#a", "invalid #"),
        ("'a'", "1", "a .. b", "not yet implemented: int"),
        ("'a'", "1.5", "a .. b", "not yet implemented: float"),
        ("'a'", "{}", "a .. b", "invalid string Value"),
        ("1", "'a'", "a .. b", "invalid string Value"),
        ("1", "'2'", "a < b", UNWRAP_NONE),
        ("0 / 0", "1", "a < b", UNWRAP_NONE),
        ("0 / 0", "1.5", "a < b", UNWRAP_NONE),  # two floats, one of them NaN
        ("1.5", "0 / 0", "a >= b", UNWRAP_NONE),
        ("true", "false", "a <= b", UNWRAP_NONE),
        ("{}", "{}", "a > b", UNWRAP_NONE),
    ],
)
def test_operator_failures_at_run_time(run_lua, a, b, expr, message):
    out, err = run_lua(f"local a, b = {a}, {b}\nprint({expr})\n")
    assert err == message
    assert printed(out) == []


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("1", "1.5", "true\ttrue\tfalse\tfalse"),
        ("1", "1.0", "false\ttrue\tfalse\ttrue"),
        ("2.5", "2", "false\tfalse\ttrue\ttrue"),
        ("1.5", "2.5", "true\ttrue\tfalse\tfalse"),
        ("2.5", "2.5", "false\ttrue\tfalse\ttrue"),
        ("-0.0", "0.0", "false\ttrue\tfalse\ttrue"),
        ("1 / 0", "1e308", "false\tfalse\ttrue\ttrue"),
        ("-9223372036854775807 - 1", "9223372036854775807", "true\ttrue\tfalse\tfalse"),
        ("'a'", "'b'", "true\ttrue\tfalse\tfalse"),
        ("'ab'", "'abc'", "true\ttrue\tfalse\tfalse"),
        ("'Z'", "'a'", "true\ttrue\tfalse\tfalse"),
        ("'\\xff'", "'a'", "false\tfalse\ttrue\ttrue"),  # bytes compare unsigned
        ("'" + "x" * 20 + "'", "'y'", "true\ttrue\tfalse\tfalse"),
        ("'same'", "'same'", "false\ttrue\tfalse\ttrue"),
    ],
)
def test_ordering(run_ok, a, b, expected):
    assert run_ok(f"local a, b = {a}, {b}\nprint(a < b, a <= b, a > b, a >= b)\n") == [expected]
