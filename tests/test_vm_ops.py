"""Operator instructions as the machine runs them: the integer-immediate comparison forms in
both skip directions, equality against immediates, immediate arithmetic, and upvalue cells."""

import pytest

from listing import program_output

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"

RELATIONS = ["<", "<=", ">", ">=", "==", "~="]


LEFTS = {"3": 3, "3.0": 3.0, "2.5": 2.5, "3.5": 3.5, "-7": -7, "4": 4, "1e300": 1e300, "-0.0": -0.0}


@pytest.mark.parametrize("left", LEFTS)
def test_immediate_comparisons(run_lua, left):
    # As values (expected outcome false) and as conditions (expected outcome true).
    values = ", ".join(f"x {op} 3" for op in RELATIONS)
    conds = " ".join(f"if x {op} 3 then print('{op}') end" for op in RELATIONS)
    out, err = run_lua(f"local x = {left} print({values}) {conds}")
    assert err is None, err
    x = LEFTS[left]
    truth = [x < 3, x <= 3, x > 3, x >= 3, x == 3, x != 3]
    assert program_output(out) == ["\t".join(str(t).lower() for t in truth)] + [
        op for op, t in zip(RELATIONS, truth) if t
    ]


@pytest.mark.parametrize(
    "left, eq",
    [("nil", False), ("true", False), ("'3'", False), ("{}", False), ("print", False), ("0/0", False), ("3.0", True)],
)
def test_equality_with_immediate_for_other_kinds(run_lua, left, eq):
    script = f"local x = {left} print(x == 3, x ~= 3) if x == 3 then print('eq') end if x ~= 3 then print('ne') end"
    out, err = run_lua(script)
    assert err is None
    assert program_output(out) == [f"{str(eq).lower()}\t{str(not eq).lower()}", "eq" if eq else "ne"]


@pytest.mark.parametrize(
    "left, message",
    [
        ("0/0", UNWRAP_NONE),
        ("nil", "invalid compare"),
        ("'3'", "invalid compare"),
        ("{}", "invalid compare"),
    ],
)
@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_immediate_ordering_errors(run_lua, left, message, op):
    _, err = run_lua(f"local x = {left} local y = x {op} 3")
    assert err == message


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("x + 255", "262"),
        ("-x // 2", "-3"),
        ("-x % 3", "-1"),
        ("x / 2", "3.5"),
        ("x << 62", "-4611686018427387904"),
        ("-x >> 1", "-4"),
        ("f // 2", "3.75"),
        ("big + 1", "-9223372036854775808"),
        ("-(big + 1)", "-9223372036854775808"),
    ],
)
def test_immediate_arithmetic(run_lua, expr, expected):
    out, err = run_lua(f"local x, f, big = 7, 7.5, 9223372036854775807 print({expr})")
    assert err is None, err
    assert program_output(out) == [expected]


@pytest.mark.parametrize(
    "expr, message",
    [
        ("x % 0", "attempt to calculate the remainder with a divisor of zero"),
        ("x // 0", "attempt to divide by zero"),
        ("m // -1", "attempt to divide with overflow"),
        ("m % -1", "attempt to calculate the remainder with overflow"),
        ("f | 1", UNWRAP_NONE),
        ("~f", "invalid ~"),
        ("-s", "invalid -"),
    ],
)
def test_operator_errors(run_lua, expr, message):
    _, err = run_lua(f"local x, f, s, m = 7, 7.5, 's', -9223372036854775807 - 1 local r = {expr}")
    assert err == message


CELLS = {
    "nested_functions_share_an_outer_local": (
        "local function outer() local n = 0\n"
        "  local function mid() return function() n = n + 1 return n end end\n"
        "  local inc = mid() inc() inc() return n, inc end\n"
        "local n, inc = outer() print(n, inc())",
        ["2\t3"],
    ),
    "closed_cell_outlives_frame": (
        "local function mk() local v = 'first' local get = function() return v end v = 'last' return get end\n"
        "local g = mk() print(g()) print(g())",
        ["last", "last"],
    ),
    "globals_through_env_upvalue": (
        "local function set() g1 = 10 g2 = g1 + 1 end set() print(g1, g2)\n"
        "local function get(k) return k and g2 end print(get(1))",
        ["10\t11", "11"],
    ),
    "cycle_through_cell": (
        "local t = {} local function f() return t end t.f = f t.self = t print(t.f() == t)",
        ["true"],
    ),
    "parameter_captured_in_recursion": (
        "local function r(n) local f = function() return n end if n > 0 then local g = function() return r(n - 1) end return f() + g() end return 0 end\n"
        "local function wrap(n) return function() return r(n) end end print(wrap(3)())",
        ["6"],
    ),
}


@pytest.mark.parametrize("name", CELLS)
def test_upvalue_cells(run_lua, name):
    source, expected = CELLS[name]
    out, err = run_lua(source)
    assert err is None, err
    assert program_output(out) == expected
