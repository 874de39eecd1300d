"""Numeric and generic for loops at run time: integer and float loops, limit conversion, the
end of the integer range, and generic loops whose iterator is a native or a Lua function
that disturbs its own frame."""

import pytest

from listing import program_output

LOOPS = {
    "float_limit_of_integer_loop": (
        "for i = 1, 2.9 do print(i) end for i = 3, 1.1, -1 do print(i) end\n"
        "for i = 1, -1e300 do print('no') end for i = 1, 1e300, -1 do print('no') end\n"
        "for i = -2, 0/0 do print(i) end",
        ["1", "2", "3", "2", "-2", "-1", "0"],
    ),
    "float_loops": (
        "for i = 1, 2, 0.5 do print(i) end for i = 1.0, 2 do print(i) end\n"
        "for i = 2, 1, -0.5 do print(i) end for i = 1, 2, 0/0 do print('nan step') end",
        ["1.0", "1.5", "2.0", "1.0", "2.0", "2.0", "1.5", "1.0"],
    ),
    "body_assigns_counter": (
        "for i = 1, 5 do print(i) i = 10 end for i = 1, 3 do i = i + 1 print(i) end",
        ["1", "2", "4"],
    ),
    "integer_range_ends": (
        "for i = 9223372036854775805, 9223372036854775807, 2 do print(i) end\n"
        "for i = 9223372036854775807, 9223372036854775807 do print(i) end\n"
        "for i = -9223372036854775807 - 1, -9223372036854775807 - 1, -5 do print(i) end",
        ["9223372036854775805", "9223372036854775807", "9223372036854775807", "-9223372036854775808"],
    ),
    "iterator_assigns_its_parameters": (
        "local function it(s, c) s = 100 c = c + 1 if c <= 3 then return c, s end end\n"
        "for a, b in it, 7, 0 do print(a, b) end",
        ["1\t100", "2\t100", "3\t100"],
    ),
    "vararg_iterator": (
        "local function it(...) local s, c = ... c = c + 1 if c <= 2 then return c, s, select end end\n"
        "for a, b, x, y in it, 'st', 0 do print(a, b, x, y) end",
        ["1\tst\tnil\tnil", "2\tst\tnil\tnil"],
    ),
    "iterator_ending_in_tail_call": (
        "local function step(s, c) if c < s then return c + 1, c * 2 end end\n"
        "local function it(s, c) return step(s, c) end for a, b in it, 3, 0 do print(a, b) end\n"
        "for v in function(s, c) return print(s, c) end, 'p', 'q' do end",
        ["1\t0", "2\t2", "3\t4", "p\tq"],
    ),
    "iterator_results_from_low_registers": (
        "local function it(s, c) if c < 2 then return c + 1 end end\n"
        "for a, b, c in it, nil, 0 do print(a, b, c) end",
        ["1\tnil\tnil", "2\tnil\tnil"],
    ),
    "false_continues_nil_ends": (
        "local n = 0 local function it() n = n + 1 if n <= 2 then return false, n end end\n"
        "for a, b in it do print(a, b) end local function none() end for x in none do print('no') end",
        ["false\t1", "false\t2"],
    ),
    "ipairs_reads_length_each_step": (
        "local t = {1} for i, v in ipairs(t) do if i < 3 then t[i + 1] = i * 10 end print(i, v) end\n"
        "local h = {} h[100] = 1 for i in ipairs(h) do print('no') end\n"
        "for i, v, w in ipairs({nil, 'b'}) do print(i, v, w) end",
        ["1\t1", "2\t10", "3\t20", "1\tnil\tnil", "2\tb\tnil"],
    ),
    "nested_generic_loops": (
        "local r = {} for i, x in ipairs({1, 2}) do for j, y in ipairs({10, 20}) do r[#r + 1] = x * y end end\n"
        "print(#r, r[1], r[2], r[3], r[4])",
        ["4\t10\t20\t20\t40"],
    ),
}


@pytest.mark.parametrize("name", LOOPS)
def test_loops(run_lua, name):
    source, expected = LOOPS[name]
    out, err = run_lua(source)
    assert err is None, err
    assert program_output(out) == expected


def test_generic_loop_with_long_body(run_lua):
    # A body too long for ForCallLoop's 8-bit distance loops through a trailing Jump.
    body = " ".join(f"s = s + {k}" for k in range(200))
    out, err = run_lua(f"local s = 0 for _, v in ipairs({{1, 2, 3}}) do {body} end print(s)")
    assert err is None
    assert "ForCallLoop(" in out and ", 0)\n" in out.split("ForCallLoop(")[1]
    assert program_output(out) == [str(3 * sum(range(200)))]


@pytest.mark.parametrize(
    "source, message",
    [
        ("for i = 1, 10, 0.0 do end", "0 step in numerical for"),
        ("for i = 1.0, 10, -0.0 do end", "0 step in numerical for"),
        ("for i = 'a', 10, 0 do end", "not number 'a'"),
        ("for i = 1, {}, 0.5 do end", "not number table:0:0"),
        ("for i = 1, 2, true do end", "not number true"),
        ("for i = 1, nil do end", "invalid limit type"),
        ("for i = 1, 3 do i = 2.0 end", "xxx"),
        ("for i = 1.0, 3 do i = 2 end", "xxx"),
        ("for i, v in ipairs({1}, 'ignored') do print(v) end for i, v in ipairs(nil) do end", "ipairs non-table"),
        ("for i, v in ipairs_aux or ipairs({}) do end", "ipairs non-table"),
    ],
)
def test_loop_errors(run_lua, source, message):
    _, err = run_lua(source)
    assert err == message


@pytest.mark.parametrize(
    "control, message",
    [("'x'", "not yet implemented: tonumber"), ("true", "invalid string Value")],
)
def test_ipairs_control_value_conversion(run_lua, control, message):
    _, err = run_lua(f"local f, s = ipairs({{1}}) for i, v in f, s, {control} do end")
    assert err == message


def test_ipairs_float_control_is_truncated(run_lua):
    out, err = run_lua("local f, s = ipairs({'a', 'b', 'c'}) for i, v in f, s, 1.9 do print(i, v) end")
    assert err is None
    assert program_output(out) == ["2\tb", "3\tc"]
