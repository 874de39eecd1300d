"""Compiler: exact instruction listings for statements, expressions and functions."""

import pytest

from listing import main_code, program_output, split_output

# Each case: (script, instructions of the main function). In the main function register 0
# holds _ENV, so locals start at register 1.
MAIN_CODE = [
    ("", ["Return0"]),
    ('print("hi")', ["GetField(1, 0, 0)", "LoadConst(2, 1)", "Call(1, 2, 0)", "Return0"]),
    ("local x = 1 print(x)", ["LoadInt(1, 1)", "GetField(2, 0, 0)", "Move(3, 1)", "Call(2, 2, 0)", "Return0"]),
    ("local a, b, c = 1", ["LoadInt(1, 1)", "LoadNil(2, 2)", "Return0"]),
    ("local a", ["LoadNil(1, 1)", "Return0"]),
    ("local a = 1, 2, f()", ["LoadInt(1, 1)", "LoadInt(2, 2)", "GetField(3, 0, 0)", "Return0"]),
    ("local a, b = f()", ["GetField(1, 0, 0)", "Call(1, 1, 2)", "Return0"]),
    ("local a, b = 1, 2 a, b = b, a", ["LoadInt(1, 1)", "LoadInt(2, 2)", "Move(3, 2)", "Move(2, 1)", "Move(1, 3)", "Return0"]),
    # a later target assigning a local an earlier target indexes with: that target takes a copy
    ("local t, i t[i], i = 1, 2",
     ["LoadNil(1, 2)", "Move(3, 2)", "LoadInt(4, 1)", "LoadInt(2, 2)", "SetTable(1, 3, 4)", "Return0"]),
    ("local t, i t[i], t = 1, 2",
     ["LoadNil(1, 2)", "Move(3, 1)", "LoadInt(4, 1)", "LoadInt(1, 2)", "SetTable(3, 2, 4)", "Return0"]),
    ("local t, i, j t[i], j = 1, 2", ["LoadNil(1, 3)", "LoadInt(4, 1)", "LoadInt(3, 2)", "SetTable(1, 2, 4)", "Return0"]),
    ("x.y.z = 1", ["GetField(1, 0, 0)", "GetField(1, 1, 1)", "SetFieldConst(1, 2, 3)", "Return0"]),
    ("x = 1 print(x)", ["SetFieldConst(0, 0, 1)", "GetField(1, 0, 2)", "GetField(2, 0, 0)", "Call(1, 2, 0)", "Return0"]),
    # discharge forms of integer literals
    ("local a, b, c, d = 32767, 32768, -32768, -32769",
     ["LoadInt(1, 32767)", "LoadConst(2, 0)", "LoadInt(3, -32768)", "LoadConst(4, 1)", "Return0"]),
    # and / or
    ("local a, b local x = a and b", ["LoadNil(1, 2)", "TestOrSetJump(3, 1, 1)", "Move(3, 2)", "Return0"]),
    ("local a, b local x = a or b", ["LoadNil(1, 2)", "TestAndSetJump(3, 1, 1)", "Move(3, 2)", "Return0"]),
    ("local y local x = nil or y", ["LoadNil(1, 1)", "Move(2, 1)", "Return0"]),
    ("local y local x = false and y", ["LoadNil(1, 1)", "LoadBool(2, false)", "TestOrJump(2, 1)", "Move(2, 1)", "Return0"]),
    # comparisons
    ("local a, b if a < b then a = 1 end", ["LoadNil(1, 2)", "Less(1, 2, true)", "Jump(1)", "LoadInt(1, 1)", "Return0"]),
    ("local a, b local c = a < b",
     ["LoadNil(1, 2)", "Less(1, 2, false)", "Jump(1)", "SetFalseSkip(3)", "LoadBool(3, true)", "Return0"]),
    ("local x local y = 1 < x",
     ["LoadNil(1, 1)", "LoadInt(2, 1)", "Less(2, 1, false)", "Jump(1)", "SetFalseSkip(2)", "LoadBool(2, true)", "Return0"]),
    ("local x if x == 1 then end if 1 == x then end if x == 's' then end",
     ["LoadNil(1, 1)", "EqualInt(1, 1, true)", "Jump(0)", "EqualInt(1, 1, true)", "Jump(0)",
      "EqualConst(1, 0, true)", "Jump(0)", "Return0"]),
    ("local x if x then x = 1 end", ["LoadNil(1, 1)", "TestOrJump(1, 1)", "LoadInt(1, 1)", "Return0"]),
    ("if 1 then x = 1 end", ["SetFieldConst(0, 0, 1)", "Return0"]),
    ("if nil then end", ["LoadNil(1, 1)", "TestOrJump(1, 0)", "Return0"]),
    ("local a, b if a and b then a = 1 end",
     ["LoadNil(1, 2)", "TestOrJump(1, 2)", "TestOrJump(2, 1)", "LoadInt(1, 1)", "Return0"]),
    ("local a, b if a or b then a = 1 end",
     ["LoadNil(1, 2)", "TestAndJump(1, 1)", "TestOrJump(2, 1)", "LoadInt(1, 1)", "Return0"]),
    ("local a if a then elseif a then else end",
     ["LoadNil(1, 1)", "TestOrJump(1, 1)", "Jump(2)", "TestOrJump(1, 1)", "Jump(0)", "Return0"]),
    # arithmetic forms and folding
    ("local x local y = 2 + x", ["LoadNil(1, 1)", "AddInt(2, 1, 2)", "Return0"]),
    ("local x local y = 2 - x", ["LoadNil(1, 1)", "LoadInt(2, 2)", "Sub(2, 2, 1)", "Return0"]),
    ("local x local a, b, c, d = x + 255, x + 256, x + -1, x + 1.5",
     ["LoadNil(1, 1)", "AddInt(2, 1, 255)", "AddConst(3, 1, 0)", "AddConst(4, 1, 1)", "AddConst(5, 1, 2)", "Return0"]),
    ('local x local y = x + "1"', ["LoadNil(1, 1)", "LoadConst(2, 0)", "Add(2, 1, 2)", "Return0"]),
    ("local x local y = -x", ["LoadNil(1, 1)", "Neg(2, 1)", "Return0"]),
    ("local a, b, c local d = a .. b .. c", ["LoadNil(1, 3)", "Concat(4, 2, 3)", "Concat(4, 1, 4)", "Return0"]),
    ("local a = 1 + 2 * 3", ["LoadInt(1, 7)", "Return0"]),
    # loops
    ("for i = 1, 3 do end", ["LoadInt(1, 1)", "LoadInt(2, 3)", "LoadInt(3, 1)", "ForPrepare(1, 1)", "ForLoop(1, 1)", "Return0"]),
    ("while true do if print then break end end",
     ["GetField(1, 0, 0)", "TestOrJump(1, 1)", "Jump(1)", "Jump(-4)", "Return0"]),
    ("for k, v in ipairs(t) do end",
     ["GetField(1, 0, 0)", "GetField(2, 0, 1)", "Call(1, 2, 3)", "Jump(0)", "ForCallLoop(1, 2, 1)", "Return0"]),
    # tables
    ("local t = {}", ["NewTable(1, 0, 0)", "Return0"]),
    ("local t = {1, 2, 3}", ["NewTable(1, 3, 0)", "LoadInt(2, 1)", "LoadInt(3, 2)", "LoadInt(4, 3)", "SetList(1, 3)", "Return0"]),
    ('local t = {x = 1, ["y"] = 2, [3] = 4}',
     ["NewTable(1, 0, 3)", "SetFieldConst(1, 0, 1)", "SetFieldConst(1, 2, 3)", "SetIntConst(1, 3, 4)", "Return0"]),
    ("local t = {f()}", ["NewTable(1, 0, 0)", "GetField(2, 0, 0)", "Call(2, 1, 0)", "SetList(1, 0)", "Return0"]),
    ("local t = {[300] = 1}", ["NewTable(1, 0, 1)", "LoadInt(2, 300)", "SetTableConst(1, 2, 0)", "Return0"]),
    # calls
    ('o:m("x")', ["GetField(1, 0, 0)", "GetFieldSelf(1, 1, 1)", "LoadConst(3, 2)", "Call(1, 3, 0)", "Return0"]),
    ("f(a, g())", ["GetField(1, 0, 0)", "GetField(2, 0, 1)", "GetField(3, 0, 2)", "Call(3, 1, 0)", "Call(1, 0, 0)", "Return0"]),
    ("local t t[1] = t[256]", ["LoadNil(1, 1)", "LoadInt(2, 256)", "GetTable(2, 1, 2)", "SetInt(1, 1, 2)", "Return0"]),
    ("return f(x)", ["GetField(1, 0, 0)", "GetField(2, 0, 1)", "TailCall(1, 2)", "Return0"]),
    ("local x return x", ["LoadNil(1, 1)", "Return(1, 1)", "Return0"]),
]


@pytest.mark.parametrize("source,code", MAIN_CODE, ids=[c[0] or "empty" for c in MAIN_CODE])
def test_main_listing(run_lua, source, code):
    out, err = run_lua(source + "\n")
    assert err is None or code  # listing is printed before any run-time stop
    assert main_code(out) == code


def test_empty_script_exact(run_lua):
    out, err = run_lua("")
    assert err is None
    assert out == "constants: []\nupindexes: []\nbyte_codes:\n  0\tReturn0\n  [0]\tReturn0\n"


def test_local_function_listing(run_lua):
    out, err = run_lua("local function f() return f end")
    assert err is None
    assert out.startswith("== function: f\n")
    listings, _ = split_output(out)
    inner, main = listings
    assert inner.upindexes == "[Local(1)]"
    assert inner.code == ["GetUpvalue(0, 0)", "Return(0, 1)", "Return0"]
    assert main.constants == "[Lua function]"
    assert main.code == ["Closure(1, 0)", "Return0"]


def test_nested_functions_listed_before_parent(run_lua):
    src = "local x = 1\nfunction a() return function() return function() return x end end end\n"
    out, err = run_lua(src)
    assert err is None
    listings, _ = split_output(out)
    innermost, middle, outer, main = listings
    assert innermost.upindexes == "[Upvalue(0)]"
    assert middle.upindexes == "[Upvalue(0)]"
    assert outer.upindexes == "[Local(1)]"
    assert main.constants == "['a', Lua function]"


def test_constants_dedup_and_forms(run_lua):
    src = 'local a, b, c, d, e = "s", "s", 2, 2.0, -0.0 local f = 0.0 local g = "' + "m" * 15 + '" local h = "' + "L" * 48 + '"'
    out, _ = run_lua(src)
    listings, _ = split_output(out)
    assert listings[-1].constants == "['s', 2.0, -0.0, 0.0, \"" + "m" * 15 + "\", '''" + "L" * 48 + "''']"


def test_method_and_dotted_function_names(run_lua):
    out, err = run_lua("t = {} function t:m(x) return self, x end function t.f(a, b,) end")
    assert err is None
    listings, _ = split_output(out)
    assert listings[0].code == ["Move(2, 0)", "Move(3, 1)", "Return(2, 2)", "Return0"]


COMPILE_ERRORS = [
    ("end", "assertion `left == right` failed\n  left: End\n right: Eos"),
    # a block ended by a token that carries a value names the token with its value
    ("5", "assertion `left == right` failed\n  left: Integer(5)\n right: Eos"),
    ('do "a" end', "assertion `left == right` failed\n  left: String([97])\n right: End"),
    ("repeat 2.5 until x", "assertion `left == right` failed\n  left: Float(2.5)\n right: Until"),
    ("local function f() g() 3 end", "assertion `left == right` failed\n  left: Integer(3)\n right: End"),
    ("goto nowhere", "goto nowhere no destination"),
    ("do ::l:: end goto l", "goto l no destination"),
    ("::a:: ::a::", "duplicate label a"),
    ("goto done local x = 1 ::done:: print(x)", "goto jump into scope done"),
    ("break", "break outside loop"),
    ("while true do local f = function() break end end", "break outside loop"),
    ("repeat if c then continue end local y = 1 until y", "continue jump into local scope"),
    ("repeat continue local y = 1 until y", "invalid assign Local"),
    ("continue", "invalid assign Eos"),
    ("for i = 1 do end", "invalid numerical for exp"),
    ("for k, v do end", "invalid generic_for namelist"),
    ("x", "invalid assign Eos"),
    ("x = = 1", "invalid prefixexp Assign"),
    ("return 1 2", "'end' expected"),
    ("function f(a b) end", "invalid parameter Name(\"b\")"),
    ("function f(1) end", "invalid parameter Integer(1)"),
    ("function f(..., a) end", "assertion `left == right` failed\n  left: Comma\n right: ParR"),
    ("function f() return ... end", "no varargs"),
    ("local t = {1 2}", "invalid table Integer(2)"),
    ("local t = {[nil] = 1}", "nil can not be table key"),
    ("local t = {[0/0] = 1}", "NaN can not be table key"),
    ("local x = 1 // 0", "attempt to divide by zero"),
    ("local x = 1 % 0", "attempt to calculate the remainder with a divisor of zero"),
    ("local x = 3.5 & 1", "called `Option::unwrap()` on a `None` value"),
    ('local x = -"a"', "invalid - operator"),
    ("local x = ~1.0", "invalid ~ operator"),
    ("local x = #5", "invalid # operator"),
    ("f(", "invalid prefixexp Eos"),
    ("(1) = 2", "assign from const"),
    ("local x (1) = x", "assign from stack"),
    ("x.= 2", "expect name"),
    ("f:1()", "expect name"),
    ("if x then", "assertion `left == right` failed\n  left: Eos\n right: End"),
    ("local function f() ", "assertion `left == right` failed\n  left: Eos\n right: End"),
]


@pytest.mark.parametrize("source,message", COMPILE_ERRORS, ids=[c[0] for c in COMPILE_ERRORS])
def test_compile_errors(run_lua, source, message):
    out, err = run_lua(source)
    assert err == message
    assert "  [" not in out  # nothing ran


def test_folding_results(run_lua):
    src = """
    print(1 + 2 * 3, 2 ^ 3 ^ 2, -2 ^ 2, 7 // 2, -7 // 2, -7 % 2, 7.0 // 2, 1 / 0)
    print(3.0 & 1, 1 << 64, 1 << -1, -8 >> 1, ~5, not nil, not 0, #"abc", "a" .. "b" .. "c")
    print(9223372036854775807 + 1, -(-9223372036854775807 - 1))
    """
    out, err = run_lua(src)
    assert err is None
    assert program_output(out) == [
        "7\t512.0\t-4.0\t3\t-3\t-1\t3.5\tinf",
        "1\t1\t-9223372036854775808\t-4\t-6\ttrue\tfalse\t3\tabc",
        "-9223372036854775808\t-9223372036854775808",
    ]


def test_table_constructor_batches(run_lua):
    items = ", ".join(str(i) for i in range(1, 121))
    out, err = run_lua(f"local t = {{{items}}} print(#t, t[1], t[50], t[51], t[120])")
    assert err is None
    code = main_code(out)
    assert code[0] == "NewTable(1, 120, 0)"
    assert [c for c in code if c.startswith("SetList")] == ["SetList(1, 50)", "SetList(1, 50)", "SetList(1, 20)"]
    assert program_output(out) == ["120\t1\t50\t51\t120"]
    items = ", ".join(str(i) for i in range(300))
    out, _ = run_lua(f"local t = {{{items}}}")
    assert main_code(out)[0] == "NewTable(1, 255, 0)"
