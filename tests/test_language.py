"""Language behaviour end to end: what scripts print, including the cases where operand
placement, jump lists and closing captured locals are easy to get wrong."""

import pytest

from listing import program_output

CASES = {
    # literal left operands whose right operand is a call or an and/or chain
    "literal_left_call": (
        "local function f() return 3 end local function g() return 'b' end\n"
        "print(1 - f(), 'a' .. g(), 5 < f(), 2 ^ f(), 10 - (nil and 1 or 4))\n"
        "local c, a, b = true, 1, 2 print(10 - (c and a or b), 'x' .. (nil or ''))",
        ["-2\tab\tfalse\t8.0\t6", "9\tx"],
    ),
    # an and/or chain ending in a call, used as an operand
    "chain_ending_in_call": (
        "local function f() return 5 end local a = true\n"
        "print((a and f()) + 1, -(nil or f()), (a and f()) .. '')",
        None,  # concatenating an integer stops: checked separately
    ),
    "comparison_inside_stored_chain": (
        "local a, b, c = 1, 2, 'c'\n"
        "local x = a < b and c print(x)\n"
        "x = a > b and c print(x)\n"
        "print((a < b) or c, (a > b) or c)\n"
        "x = nil and b < c print(x)\n"
        "x = a or b < a print(x)",
        ["c", "false", "true\tc", "false", "true"],
    ),
    "index_keys_with_code": (
        "t = {10, 20, 30, x = 'tx'} h = {x = 2} local function f() return 3 end\n"
        "print(t[f()], t[h.x], t[h.x + 1 - 2])\n"
        "local function mk() return t end print(mk()[f()], mk()[h.x])",
        ["30\t20\t10", "30\t20"],
    ),
    "equal_int_general_equality": (
        "local x if x ~= 0 then print('ne') end\n"
        "local y = 3.0 if y == 3 then print('eq') end\n"
        "local s = 's' print(s == 1, s ~= 1, 1.0 == 1, nil == 0)",
        ["ne", "eq", "false\ttrue\ttrue\tfalse"],
    ),
    "ordering_int_immediate": (
        "local a = 2.5 print(a > 2, a < 3, a <= 2, a >= 3)\n"
        "local b = 3 print(b > 2, b < 3, b <= 3, b >= 4)",
        ["true\ttrue\tfalse\tfalse", "true\tfalse\ttrue\tfalse"],
    ),
    "negative_zero_constant": (
        "local z = -0.0 print(z, 0.0, 1/z, 1/0.0)",
        ["-0.0\t0.0\t-inf\tinf"],
    ),
    "for_loop_end_of_range": (
        "for i = 9223372036854775806, 9223372036854775807 do print(i) end\n"
        "for i = -9223372036854775807, -9223372036854775807 - 1, -1 do print(i) end",
        ["9223372036854775806", "9223372036854775807", "-9223372036854775807", "-9223372036854775808"],
    ),
    "numeric_for_forms": (
        "for i = 1, 3 do io = i end for i = 1, 2, 0.5 do print(i) end for i = 1, 2.5 do print(i) end\n"
        "for i = 3, 0.5, -1 do print(i) end for i = 1, 0 do print('never') end",
        ["1.0", "1.5", "2.0", "1", "2", "3", "2", "1"],
    ),
    "generic_for_lua_iterator": (
        "local function range(n) local i = 0 return function() i = i + 1 if i <= n then return i end end end\n"
        "for x in range(3) do print(x) end\n"
        "local function step(s, c) if c < s then return c + 1, c * 2 end end\n"
        "local function iter(s, c) return step(s, c) end\n"
        "for a, b in iter, 3, 0 do print(a, b) end\n"
        "local function bad(s, c) local r = s s = 100 c = c + 1 if c <= 2 then return c, r end end\n"
        "for v, w in bad, 7, 0 do print(v, w) end",
        ["1", "2", "3", "1\t0", "2\t2", "3\t4", "1\t7", "2\t7"],
    ),
    "ipairs_and_break_continue": (
        "local t = {1, nil, 3} for i, v in ipairs(t) do print(i, v) end\n"
        "for i = 1, 5 do if i == 2 then continue end if i == 4 then break end print(i) end\n"
        "local n = 0 while true do n = n + 1 if n > 3 then break end end print(n)\n"
        "local k = 0 repeat k = k + 1 until k >= 3 print(k)",
        ["1\t1", "2\tnil", "3\t3", "1", "3", "4", "3"],
    ),
    "goto_labels": (
        "local i = 1 ::top:: if i <= 3 then print(i) i = i + 1 goto top end\n"
        "do goto skip print('no') ::skip:: end print('done')",
        ["1", "2", "3", "done"],
    ),
    "closures_share_cells": (
        "local function mk() local n = 0 return function() n = n + 1 return n end, function() return n end end\n"
        "local inc, get = mk() inc() inc() print(get())\n"
        "local fs = {} for i = 1, 3 do fs[i] = function() return i end end print(fs[1](), fs[2](), fs[3]())\n"
        "local gs = {} local j = 0 while j < 3 do j = j + 1 local k = j gs[j] = function() return k end end\n"
        "print(gs[1](), gs[2](), gs[3]())",
        ["2", "1\t2\t3", "1\t2\t3"],
    ),
    "closures_fresh_per_iteration_with_jumps": (
        "local fs = {}\n"
        "for i = 1, 4 do local x = i * 10 fs[i] = function() return x end if i % 2 == 0 then continue end end\n"
        "print(fs[1](), fs[2](), fs[3](), fs[4]())\n"
        "local hs = {} local n = 0\n"
        "repeat n = n + 1 local y = n hs[n] = function() return y end until n == 3\n"
        "print(hs[1](), hs[2](), hs[3]())\n"
        "local bs = {} for i = 1, 3 do local z = i bs[i] = function() return z end if i == 2 then break end end\n"
        "local w = 99 print(bs[1](), bs[2]())\n"
        "local gs = {}\n"
        "for m = 1, 3 do do local v = m gs[m] = function() return v end if m >= 1 then goto cont end end ::cont:: end\n"
        "print(gs[1](), gs[2](), gs[3]())",
        ["10\t20\t30\t40", "1\t2\t3", "1\t2", "1\t2\t3"],
    ),
    "varargs_and_calls": (
        "local function f(...) return ... end print(f(1, 2, 3))\n"
        "local function g(a, b, ...) local t = {...} return a, b, #t end print(g(1))\n"
        "print(g(1, 2, 3, 4))\n"
        "local function h() return 1, 2, 3 end local t = {h(), h()} print(#t)\n"
        "print((h()))\n"
        "local function cnt(...) local n = 0 for _ in ipairs({...}) do n = n + 1 end return n end print(cnt(h()))",
        ["1\t2\t3", "1\tnil\t0", "1\t2\t2", "4", "1\t2\t3", "3"],
    ),
    "table_constructor_entries": (
        "local function f() return 'f' end local function g() return 'g1', 'g2' end\n"
        "local o = {m = function(self) return 'm' end} local a = {b = {c = 'c'}} local x, y = 1, 2\n"
        "local t = {f(), g(), {1, 2}, a.b.c, x + y, o:m(), x and 'and', g()}\n"
        "print(#t, t[1], t[2], t[3][2], t[4], t[5], t[6], t[7], t[8], t[9])\n"
        "local u = {x = 1, 10, 20} print(u[1], u[2], u.x)",
        ["9\tf\tg1\t2\tc\t3\tm\tand\tg1\tg2", "10\t20\t1"],
    ),
    "methods_and_counters": (
        "local obj = {v = 5} function obj:get(d) return self.v + d end print(obj:get(1))\n"
        "local c = new_counter() c() c() local d = new_counter() d()\n"
        "print(type(1), type(1.5), type('s'), type(nil), type({}), type(print), type(c))",
        ["6", "counter: 1", "counter: 2", "counter: 1", "number\tnumber\tstring\tnil\ttable\tfunction\tfunction"],
    ),
}


@pytest.mark.parametrize("name", [k for k, v in CASES.items() if v[1] is not None])
def test_program_output(run_lua, name):
    source, expected = CASES[name]
    out, err = run_lua(source)
    assert err is None, err
    assert program_output(out) == expected


def test_and_or_value_jumping_over_long_code(run_lua):
    # The value-copying tests reach 255 instructions; a longer operand still yields the value.
    items = ", ".join(str(i) for i in range(1, 300))
    src = f"local c = true local t = c and {{{items}}} or {{}} print(#t) local u = nil local v = u or {{{items}}} print(#v)"
    out, err = run_lua(src)
    assert err is None
    assert program_output(out) == ["299", "299"]


def test_chain_ending_in_call_keeps_result(run_lua):
    out, err = run_lua("local function f() return 5 end local a = true print((a and f()) + 1, -(nil or f()))")
    assert err is None
    assert program_output(out) == ["6\t-5"]


RUNTIME_ERRORS = [
    ("local x = nil x()", "invalid function: nil"),
    ("local t = {} t.x.y = 1", "not yet implemented: meta __newindex"),
    ("local s = 'a' print(s.x)", "not yet implemented: meta __index"),
    ("local a, b = 7, 0 print(a // b)", "attempt to divide by zero"),
    ("local a, b = 7, 0 print(a % b)", "attempt to calculate the remainder with a divisor of zero"),
    ("local a = 'x' print(a + 1)", "not yet implemented: meta"),
    ("local a = 1 print(a .. 'x')", "invalid string Value"),
    ("local a = 'x' print(a .. 1)", "not yet implemented: int"),
    ("local a = nil print(#a)", "invalid #"),
    ("local a = 0/0 print(a < 1)", "called `Option::unwrap()` on a `None` value"),
    ("local a = {} print(a < 1)", "invalid compare"),
    ("for i = 1, 10, 0 do end", "0 step in numerical for"),
    ("for i = 1, 'x' do end", "invalid limit type"),
    ("for i = 1, 3 do i = 'a' end", "xxx"),
    ("print(type())", "index out of bounds: the len is 4 but the index is 4"),
    ("for i, v in ipairs(5) do end", "ipairs non-table"),
    ("local function f() return 1 + f() end f()", "stack overflow"),
]


@pytest.mark.parametrize("source,message", [e for e in RUNTIME_ERRORS if e[1]], ids=[e[0] for e in RUNTIME_ERRORS if e[1]])
def test_runtime_errors(run_lua_bytes, source, message):
    out, err = run_lua_bytes(source)
    assert err == message
