"""Limits: what a script meets when it pushes past a fixed width or size, and that it meets it
as a fixed message, never as a crash or a silently wrong program.

The scripts here are generated: long bodies, many names, many constants.
"""


import pytest

from listing import main_code, program_output, split_output

REGISTERS = "function or expression needs too many registers"
TOO_LONG = "control structure too long"


def names(prefix, n):
    return ", ".join(f"{prefix}{i}" for i in range(n))


def numbers(n, start=0):
    return ", ".join(str(start + i) for i in range(n))


# Compiler
#
# Registers, counts and upvalue indexes are one-byte operands, jumps signed 16-bit, numeric
# loop distances unsigned 16-bit. A program inside the widths compiles as it always did; one
# that needs more stops at compile time, before anything runs.


def test_numeric_for_distance_fits_up_to_16_bits(run_lua):
    # Each statement is one AddInt, so the loop spans the body plus one.
    body = "c = c + 1 " * 65534
    out, err = run_lua(f"local c = 0 for i = 1, 2 do {body} end print(c)")
    assert err is None
    code = main_code(out)
    assert code[4] == "ForPrepare(2, 65535)" and code[4 + 65535] == "ForLoop(2, 65535)"
    assert program_output(out) == ["131068"]


@pytest.mark.parametrize("bounds", ["1, 2", "1, 0"])
def test_numeric_for_longer_than_16_bits_stops(run_lua, bounds):
    out, err = run_lua(f"local c = 0 for i = {bounds} do " + "c = c + 1 " * 65535 + "end print(c)")
    assert err == TOO_LONG
    assert out == ""


def upvalue_script(ninner):
    # main: a0..a199; mid: b0..b99 and the upvalues a0..a199; inner: all of a and the first
    # `ninner` - 200 of b, returned as a table so that no global adds an upvalue of its own.
    nb = ninner - 200
    return (
        f"local {names('a', 200)} = {numbers(200)}\n"
        f"local function mid() local {names('b', 100)} = {numbers(100, 1000)}\n"
        f"  local function inner() return {{{names('a', 200)}, {names('b', nb)}}} end\n"
        "  return inner end\n"
        "local t = mid()() print(#t, t[1], t[200], t[201], t[#t])\n"
    )


def test_255_upvalues_read_the_right_cells(run_lua):
    out, err = run_lua(upvalue_script(255))
    assert err is None
    inner = split_output(out)[0][0]
    assert inner.upindexes.count("Upvalue(") == 200 and inner.upindexes.endswith("Local(54)]")
    assert any(c.startswith("GetUpvalue(") and c.endswith(", 254)") for c in inner.code)
    assert program_output(out) == ["255\t0\t199\t1000\t1054"]


@pytest.mark.parametrize(
    "source",
    [
        upvalue_script(256),
        # mid passes on 128 names to each of two inner functions: they stay small, mid overflows
        f"local {names('a', 200)}\n"
        f"local function upper() local {names('b', 100)}\n"
        "  local function mid()\n"
        f"    local function f() return {{{names('a', 128)}}} end\n"
        f"    local function g() return {{{', '.join(f'a{i}' for i in range(128, 200))}, {names('b', 56)}}} end\n"
        "  end\n"
        "end\n",
    ],
    ids=["function", "passing-function"],
)
def test_more_than_255_upvalues_stop(run_lua, source):
    _, err = run_lua(source)
    assert err == "too many upvalues"


def test_255_parameters_take_their_arguments(run_lua):
    src = (
        f"local function g() return {numbers(255)} end\n"
        f"local function f({names('p', 255)}) return p254 end\n"
        "print(f(g()))\n"
    )
    out, err = run_lua(src)
    assert err is None
    assert split_output(out)[0][1].code == ["Return(254, 1)", "Return0"]
    assert program_output(out) == ["254"]


@pytest.mark.parametrize(
    "source",
    [
        f"local function f({names('p', 256)}) end",
        f"local function f({names('p', 256)}, ...) end",
        # self is the first parameter of a method
        f"t = {{}} function t:m({names('p', 255)}) end",
    ],
    ids=["plain", "vararg", "method"],
)
def test_more_than_255_parameters_stop(run_lua, source):
    out, err = run_lua(source)
    assert err == REGISTERS
    assert "byte_codes" not in out


# Values spread over consecutive registers with a one-byte count: the most that fits, and one
# more. In a function without parameters the first free register is 0, so it is the count
# operand, not the last register, that overflows there.
FITS_AND_ONE_MORE = [
    # (source with {n}, n that fits, instruction that carries the count)
    ("local {names} = f()", 255, "Call(1, 1, 255)"),
    ("{names} = f()", 255, "Call(1, 1, 255)"),
    ("local function g() local {names} = f() end", 255, "Call(0, 1, 255)"),
    ("local function g(...) local {names} = ... end", 255, "VarArgs(0, 255)"),
    ("local function g() local {names} end", 255, "LoadNil(0, 255)"),
    ("local {names} = 1", 255, "LoadNil(2, 254)"),
    ("local function g() return {values} end", 255, "Return(0, 255)"),
    ("local function g() f({values}) end", 254, "Call(0, 255, 0)"),
    ("local function g() return f({values}) end", 254, "TailCall(0, 255)"),
    ("local function g() local t = {{}} t:m({values}) end", 253, "Call(1, 255, 0)"),
]


@pytest.mark.parametrize("template,n,form", FITS_AND_ONE_MORE, ids=[c[0] for c in FITS_AND_ONE_MORE])
def test_register_runs_fit_or_stop(run_lua, template, n, form):
    def source(count):
        return template.format(names=names("v", count), values=numbers(count)) + "\n"

    out, err = run_lua(source(n))
    assert err is None or err == "invalid function: nil"
    assert form in split_output(out)[0][0].code
    out, err = run_lua(source(n + 1))
    assert err == REGISTERS
    assert "  [" not in out


def test_full_register_runs_carry_their_values(run_lua):
    src = (
        f"local function g() return {numbers(255)} end\n"
        f"local function h(...) local {names('v', 255)} = ... return v254 end\n"
        "local t = {g()} print(#t, t[255]) print(h(g()))\n"
    )
    out, err = run_lua(src)
    assert err is None
    assert program_output(out) == ["255\t254", "254"]


def test_constant_table_holds_65536_entries(run_lua):
    out, err = run_lua("local t = {" + numbers(65536, 40000) + "} print(#t, t[65536])")
    # print itself is constant 65536: one too many
    assert err == "too many constants"
    out, err = run_lua("local t = {" + numbers(65536, 40000) + "}")
    assert err is None
    code = main_code(out)
    assert code[1] == "LoadConst(2, 0)" and code[-3] == "LoadConst(37, 65535)"


def test_constants_past_the_one_byte_operands_still_work(run_lua):
    # 300 string constants first: every later name, field and constant operand lies past the
    # reach of the one-byte constant operands and takes the register forms.
    pad = "local pad = {" + ", ".join(f'"k{i}"' for i in range(300)) + "}\n"
    body = """
    x = 1 print(x)
    local t = {} t.f = 2 t.z = "zed" print(t.f, t.z)
    t.m = function(self, v) return v + self.f end print(t:m(40))
    print(t.f == 2.5, t.f + 0.5, t.f < 100000, t.f ~= "two")
    local u = {name = 7, ["key"] = 8, [9.5] = 9} print(u.name, u.key, u[9.5])
    local function h() return y, u["name"], u.key end
    y = 11 print(h())
    """
    out, err = run_lua(pad + body)
    assert err is None
    assert program_output(out) == ["1", "2\tzed", "42", "false\t2.5\ttrue\ttrue", "7\t8\t9", "11\t7\t8"]
    code = "\n".join(main_code(out))
    assert "GetFieldSelf" not in code and "SetFieldConst" not in code


CONSTANTS = [
    # NaN equals nothing, so it is never reused
    ("local a, b = 0/0, 0/0", "[NaN, NaN]", ["LoadConst(1, 0)", "LoadConst(2, 1)"]),
    # zeros of either sign stay apart; the first equal constant wins
    ("local a, b, c = -0.0, 0.0, -0.0", "[-0.0, 0.0]", ["LoadConst(1, 0)", "LoadConst(2, 1)", "LoadConst(3, 0)"]),
    # an integer and a float are different constants, even when equal as numbers
    ("local a, b, c = 40000, 40000.0, 40000", "[40000, 40000.0]",
     ["LoadConst(1, 0)", "LoadConst(2, 1)", "LoadConst(3, 0)"]),
    ('local a, b, c = "x", 1.5, "x"', "['x', 1.5]", ["LoadConst(1, 0)", "LoadConst(2, 1)", "LoadConst(3, 0)"]),
]


@pytest.mark.parametrize("source,constants,code", CONSTANTS, ids=[c[0] for c in CONSTANTS])
def test_constant_reuse(run_lua, source, constants, code):
    out, err = run_lua(source)
    assert err is None
    listing = split_output(out)[0][-1]
    assert listing.constants == constants
    assert listing.code == code + ["Return0"]


# Runs of items of one kind are compiled in a loop, not one host call deeper per item: only
# real nesting counts toward the syntax-level limit.
RUNS = [
    ("labels", " ".join(f"::l{i}::" for i in range(30000)) + " print('done')", ["done"]),
    ("labels and semicolons", "goto l0 " + " ; ".join(f"::l{i}::" for i in range(30000)) + " print('done')",
     ["done"]),
    ("statements", "local x = 0 " + "x = x + 1 " * 30000 + "print(x)", ["30000"]),
    ("elseif arms", "local x = 4999 if x == 0 then " + " ".join(f"elseif x == {i} then x = -{i}" for i in range(1, 5000))
     + " end print(x)", ["-4999"]),
]


@pytest.mark.parametrize("source,output", [r[1:] for r in RUNS], ids=[r[0] for r in RUNS])
def test_long_runs_compile_without_nesting(run_lua, source, output):
    out, err = run_lua(source)
    assert err is None
    assert program_output(out) == output


def test_run_of_labels_resolves_every_goto(run_lua):
    # The labels of a run share one instruction: gotos to the first, a middle and the last
    # label all land there, and a repeated name anywhere in the run is still a duplicate.
    src = """
    local n = 0
    ::top::
    n = n + 1
    if n == 1 then goto a elseif n == 2 then goto b elseif n == 3 then goto c end
    goto done
    ::a:: ::b:: ; ::c::
    print(n)
    goto top
    ::done::
    """
    out, err = run_lua(src)
    assert err is None
    assert program_output(out) == ["1", "2", "3"]
    _, err = run_lua(" ".join(f"::l{i}::" for i in range(1000)) + " ::l500::")
    assert err == "duplicate label l500"
    _, err = run_lua(" ".join(f"::l{i}::" for i in range(1000)) + " ::l0:: ::x::")
    assert err == "duplicate label l0"


SCOPES = [
    # a goto left in a block counts with the locals of that block's start
    ("do goto a end local x = 1 ::a:: print(x)", "goto jump into scope a"),
    ("local y do local z goto a end ::a:: print(y)", None),
    ("do do goto a end local x end local y ::a:: print(y)", "goto jump into scope a"),
    ("do local x goto a end local y ::a::", None),
    ("while x do do if x then continue end end local y end", None),
    ("repeat do if x then continue end end local y until y", "continue jump into local scope"),
]


@pytest.mark.parametrize("source,message", SCOPES, ids=[s[0] for s in SCOPES])
def test_jump_scope_after_blocks_end(run_lua, source, message):
    _, err = run_lua(source)
    if message is None:
        assert err is None or err == "invalid function: nil"
    else:
        assert err == message


LINEAR = [
    ("gotos", " ".join(f"goto l{i} ::l{i}::" for i in range(100000)), None),
    ("constants", " ".join(f"local function f{k}() return {{{numbers(65535, 40000)}}} end" for k in range(4)), None),
    # far past any encodable assignment: stopped while the targets are read
    ("targets", "local a " + ", ".join(["a"] * 100000) + " = 1", REGISTERS),
]


@pytest.mark.parametrize("source,message", [c[1:] for c in LINEAR], ids=[c[0] for c in LINEAR])
def test_compile_time_is_linear(run_lua, source, message):
    # Matching each new label, constant or target against all earlier ones took tens of
    # seconds on these; no time is asserted, a regression shows as a slow test.
    _, err = run_lua(source)
    assert err == message
