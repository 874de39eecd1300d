"""The execution trace: one line per executed instruction, in every frame, interleaved with
what the script prints, and unchanged by how the machine implements calls."""

from listing import split_output


def trace_and_output(out):
    _, rest = split_output(out)
    assert rest[-1] == ""
    return rest[:-1]


def test_native_call_prints_between_trace_lines(run_lua):
    out, err = run_lua("local x = 1 print(x)")
    assert err is None
    assert trace_and_output(out) == [
        "  [0]\tLoadInt(1, 1)",
        "  [1]\tGetField(2, 0, 0)",
        "  [2]\tMove(3, 1)",
        "  [3]\tCall(2, 2, 0)",
        "1",
        "  [4]\tReturn0",
    ]


def test_lua_call_traces_callee_then_resumes_caller(run_lua):
    out, err = run_lua("local function add(a, b) return a + b end\nlocal x = add(1, 2)\nprint(x)\n")
    assert err is None
    assert trace_and_output(out) == [
        "  [0]\tLoadConst(1, 0)",
        "  [1]\tMove(2, 1)",
        "  [2]\tLoadInt(3, 1)",
        "  [3]\tLoadInt(4, 2)",
        "  [4]\tCallSet(2, 2, 3)",
        "  [0]\tAdd(2, 0, 1)",
        "  [1]\tReturn(2, 1)",
        "  [5]\tGetField(3, 0, 1)",
        "  [6]\tMove(4, 2)",
        "  [7]\tCall(3, 2, 0)",
        "3",
        "  [8]\tReturn0",
    ]


def test_loops_trace_every_iteration(run_lua):
    out, err = run_lua("local t = {}\nfor i = 1, 2 do t[i] = i end\nfor _, v in ipairs(t) do print(v) end\n")
    assert err is None
    body = ["  [11]\tGetField(7, 0, 1)", "  [12]\tMove(8, 6)", "  [13]\tCall(7, 2, 0)"]
    assert trace_and_output(out) == [
        "  [0]\tNewTable(1, 0, 0)",
        "  [1]\tLoadInt(2, 1)",
        "  [2]\tLoadInt(3, 2)",
        "  [3]\tLoadInt(4, 1)",
        "  [4]\tForPrepare(2, 2)",
        "  [5]\tSetTable(1, 2, 2)",
        "  [6]\tForLoop(2, 2)",
        "  [5]\tSetTable(1, 2, 2)",
        "  [6]\tForLoop(2, 2)",
        "  [7]\tGetField(2, 0, 0)",
        "  [8]\tMove(3, 1)",
        "  [9]\tCall(2, 2, 3)",
        "  [10]\tJump(3)",
        "  [14]\tForCallLoop(2, 2, 4)",
        *body,
        "1",
        "  [14]\tForCallLoop(2, 2, 4)",
        *body,
        "2",
        "  [14]\tForCallLoop(2, 2, 4)",
        "  [15]\tReturn0",
    ]


def test_tail_call_trace(run_lua):
    # The tail-called frame replaces the caller's, but its lines appear as in a nested call
    # and its result reaches the caller of the frame it replaced.
    out, err = run_lua("local function g(n) return n end\nlocal function f(n) return g(n) end\nprint(f(7))\n")
    assert err is None
    assert trace_and_output(out) == [
        "  [0]\tLoadConst(1, 0)",
        "  [1]\tClosure(2, 1)",
        "  [2]\tGetField(3, 0, 2)",
        "  [3]\tMove(4, 2)",
        "  [4]\tLoadInt(5, 7)",
        "  [5]\tCall(4, 2, 0)",
        "  [0]\tGetUpvalue(1, 0)",
        "  [1]\tMove(2, 0)",
        "  [2]\tTailCall(1, 2)",
        "  [0]\tReturn(0, 1)",
        "  [6]\tCall(3, 0, 0)",
        "7",
        "  [7]\tReturn0",
    ]

