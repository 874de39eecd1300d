"""The Python boundary: module contents, argument conversion, how stops and interruptions reach
Python, the command line, and what the built library exports."""

import importlib.machinery
import importlib.util
import inspect
import os
import re
import shutil
import signal
import subprocess
import textwrap
import time
from pathlib import Path

import pytest

import tarn
from tarn import Brindle


ROOT = Path(__file__).resolve().parent.parent

MISSING_FILE = (
    'called `Result::unwrap()` on an `Err` value: '
    'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
)
EMPTY_OUTPUT = "constants: []\nupindexes: []\nbyte_codes:\n  0\tReturn0\n  [0]\tReturn0\n"


def stop_of(call, *args):
    """The PanicException raised by call(*args)."""
    with pytest.raises(BaseException) as info:
        call(*args)
    assert tarn.is_panic(info.value), repr(info.value)
    return info.value


def test_module_contents():
    assert Brindle.__name__ == "tarn.Brindle"
    assert Brindle.__doc__ == ""
    assert os.path.basename(Brindle.__file__) == "Brindle.abi3.so"
    public = [name for name in vars(Brindle) if not name.startswith("__")]
    assert public == ["sum_as_string", "raw_input"]
    assert tarn.raw_input is Brindle.raw_input and tarn.sum_as_string is Brindle.sum_as_string


@pytest.mark.parametrize(
    "func, params",
    [(Brindle.sum_as_string, ["a", "b"]), (Brindle.raw_input, ["prompt"])],
)
def test_signatures(func, params):
    sig = inspect.signature(func)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2), {}, "3"),
        ((), {"a": 5, "b": 7}, "12"),
        ((5,), {"b": 7}, "12"),
        ((0, 0), {}, "0"),
        ((2**64 - 1, 1), {}, "0"),
        ((2**64 - 1, 2**64 - 1), {}, "18446744073709551614"),
        ((2**63, 2**63 - 1), {}, "18446744073709551615"),
        ((True, 1), {}, "2"),
    ],
)
def test_sum_as_string(args, kwargs, expected):
    result = Brindle.sum_as_string(*args, **kwargs)
    assert type(result) is str and result == expected


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 0), OverflowError, "argument 'a': "),
        ((0, -1), OverflowError, "argument 'b': "),
        ((2**64, 0), OverflowError, "argument 'a': "),
        (("1", 2), TypeError, "argument 'a': 'str' object cannot be interpreted as an integer"),
        ((1, 2.0), TypeError, "argument 'b': 'float' object cannot be interpreted as an integer"),
        # `a` is converted and reported before `b` is looked at.
        ((1.5, "x"), TypeError, "argument 'a': 'float' object"),
        ((-1, "x"), OverflowError, "argument 'a': "),
    ],
)
def test_sum_as_string_conversion_errors(args, error, message):
    with pytest.raises(error) as info:
        Brindle.sum_as_string(*args)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "func, args, kwargs",
    [
        (Brindle.sum_as_string, (1,), {}),
        (Brindle.sum_as_string, (1, 2, 3), {}),
        (Brindle.sum_as_string, (1,), {"a": 2}),
        (Brindle.sum_as_string, (1, 2), {"c": 3}),
        (Brindle.raw_input, (), {}),
        (Brindle.raw_input, ("x", "y"), {}),
    ],
)
def test_arity_errors(func, args, kwargs):
    with pytest.raises(TypeError):
        func(*args, **kwargs)


@pytest.mark.parametrize("prompt", [5, b"script.lua", None])
def test_raw_input_needs_str(prompt, capfd):
    with pytest.raises(TypeError) as info:
        Brindle.raw_input(prompt)
    assert str(info.value).startswith("argument 'prompt': ")
    assert capfd.readouterr() == ("", "")


def test_missing_file(tmp_path, capfd):
    exc = stop_of(Brindle.raw_input, str(tmp_path / "missing.lua"))
    assert exc.args == (MISSING_FILE,)
    captured = capfd.readouterr()
    assert captured.out == ""
    # The diagnostic block names a real source file of the interpreter, relative to the root.
    place = re.search(r"fatal error at (src/\S+?):(\d+):(\d+):\n", captured.err)
    assert place, captured.err
    assert (ROOT / place.group(1)).is_file()
    assert captured.err.endswith(MISSING_FILE + "\n")


def test_directory_path(tmp_path):
    exc = stop_of(Brindle.raw_input, str(tmp_path))
    assert str(exc) == (
        'called `Result::unwrap()` on an `Err` value: '
        'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    )


def test_path_with_nul_is_refused(tmp_path, lua_file):
    # Truncated at the NUL, the path would name this existing file; it must not be run.
    script = lua_file("")
    exc = stop_of(Brindle.raw_input, str(script) + "\0.txt")
    assert str(exc) == (
        'called `Result::unwrap()` on an `Err` value: '
        'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
    )


def test_path_that_is_not_utf8(tmp_path, capfd):
    name = os.fsdecode(b"\xff\xfe.lua")
    (tmp_path / name).write_bytes(b"")
    capfd.readouterr()
    Brindle.raw_input(str(tmp_path / name))
    assert capfd.readouterr().out == EMPTY_OUTPUT


def test_panic_exception_type(tmp_path):
    first = stop_of(Brindle.raw_input, str(tmp_path / "a.lua"))
    second = stop_of(Brindle.raw_input, str(tmp_path / "b.lua"))
    kind = type(first)
    assert type(second) is kind
    assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")
    assert kind.__bases__ == (BaseException,)
    assert not issubclass(kind, Exception)
    doc = kind.__doc__
    assert len(doc) == 235 and doc.startswith("\n") and doc.endswith("\n")
    assert len(first.args) == 1 and isinstance(first.args[0], str)


def test_panic_is_not_caught_by_except_exception(tmp_path):
    def swallow_ordinary_errors():
        try:
            Brindle.raw_input(str(tmp_path / "missing.lua"))
        except Exception:  # must not catch the stop
            return "caught"

    exc = stop_of(swallow_ordinary_errors)
    assert str(exc) == MISSING_FILE


def test_empty_script(run_lua_bytes):
    assert run_lua_bytes("") == (EMPTY_OUTPUT.encode(), None)


def test_print_hello(run_lua):
    listing = (
        "constants: ['print', 'hi']\n"
        "upindexes: []\n"
        "byte_codes:\n"
        "  0\tGetField(1, 0, 0)\n"
        "  1\tLoadConst(2, 1)\n"
        "  2\tCall(1, 2, 0)\n"
        "  3\tReturn0\n"
    )
    trace = "  [0]\tGetField(1, 0, 0)\n  [1]\tLoadConst(2, 1)\n  [2]\tCall(1, 2, 0)\nhi\n  [3]\tReturn0\n"
    assert run_lua('print("hi")') == (listing + trace, None)


def test_lexical_stop_prints_nothing(run_lua):
    assert run_lua("$") == ("", "invalid char 36")


def test_output_before_stop_stays_written(run_inproc):
    out, error = run_inproc('print("before")\nundefined_function()\n')
    assert error == "invalid function: nil"
    assert out.startswith("constants: ")
    assert out.endswith("before\n  [3]\tGetField(1, 0, 2)\n  [4]\tCall(1, 1, 0)\n")


def test_module_usable_after_stop(run_inproc):
    assert run_inproc("$")[1] == "invalid char 36"
    assert run_inproc("") == (EMPTY_OUTPUT, None)
    assert Brindle.sum_as_string(2, 2) == "4"


def test_runs_do_not_share_globals(run_inproc):
    first, error = run_inproc("shared = 1\nprint(shared)\n")
    assert error is None and "\n1\n" in first
    second, error = run_inproc("print(shared)\n")
    assert error is None and "\nnil\n" in second


def test_second_initialisation_fails():
    path = Brindle.__file__
    loader = importlib.machinery.ExtensionFileLoader("another.Brindle", path)
    spec = importlib.util.spec_from_file_location("another.Brindle", path, loader=loader)
    with pytest.raises(ImportError) as info:
        importlib.util.module_from_spec(spec)
    assert str(info.value) == "PyO3 modules may only be initialized once per interpreter process"


def test_only_init_function_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", Brindle.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_Brindle"]


def run_cli(python_cmd, child_env, *args):
    return subprocess.run(
        python_cmd + ["-m", "tarn", *args], capture_output=True, text=True, env=child_env, timeout=60
    )


def test_cli_runs_script(python_cmd, child_env, lua_file):
    proc = run_cli(python_cmd, child_env, str(lua_file("")))
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, EMPTY_OUTPUT, "")


def test_cli_reports_stop(python_cmd, child_env, lua_file):
    script = str(lua_file("$"))
    proc = run_cli(python_cmd, child_env, script)
    assert proc.returncode == 1 and proc.stdout == ""
    # The message once: the diagnostic block for library callers is not repeated.
    assert proc.stderr == f"error: {script}:1:1: invalid char 36\n"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("source, at_line", [("print(1)\n", False), ("for i = 1, 100000 do print(i) end\n", True)])
def test_output_that_cannot_be_written_stops_the_run(python_cmd, child_env, lua_file, source, at_line):
    # Both the final flush of a short run and a flush in the middle of a long one fail; only
    # the one in the middle happens at a line of the script.
    script = str(lua_file(source))
    with open("/dev/full", "w") as full:
        proc = subprocess.run(
            python_cmd + ["-m", "tarn", script],
            stdout=full, stderr=subprocess.PIPE, text=True, env=child_env, timeout=60,
        )
    assert proc.returncode == 1
    message = "failed printing to stdout: No space left on device (os error 28)"
    if at_line:
        assert proc.stderr == f"error: {script}:1: {message}\nstack traceback:\n\t{script}:1: in main chunk\n"
    else:
        assert proc.stderr == f"error: {message}\n"


@pytest.mark.parametrize("args", [(), ("a.lua", "b.lua")])
def test_cli_usage(python_cmd, child_env, args):
    # Without a FILE the script is read from standard input unless that is a terminal.
    main, terminal = os.openpty()
    try:
        proc = subprocess.run(
            python_cmd + ["-m", "tarn", *args],
            stdin=terminal, capture_output=True, text=True, env=child_env, timeout=60,
        )
    finally:
        os.close(main)
        os.close(terminal)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("usage: ")


def start_child(python_cmd, child_env, code, *args):
    return subprocess.Popen(
        python_cmd + ["-c", textwrap.dedent(code), *args],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        env=child_env,
        text=True,
    )


def test_ctrl_c_stops_endless_loop(python_cmd, child_env, lua_file):
    child = start_child(
        python_cmd,
        child_env,
        """
        import sys
        from tarn import Brindle
        print("ready", file=sys.stderr, flush=True)
        try:
            Brindle.raw_input(sys.argv[1])
        except KeyboardInterrupt:
            print("KeyboardInterrupt", file=sys.stderr, flush=True)
            sys.exit(3)
        """,
        str(lua_file("while true do end\n")),
    )
    try:
        assert child.stderr.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        child.wait(timeout=30)
        latency = time.monotonic() - sent
        assert child.returncode == 3, child.stderr.read()
        assert "KeyboardInterrupt" in child.stderr.read()
        print(f"interrupt latency: {latency * 1000:.1f} ms")
    finally:
        child.kill()
        child.wait()


def test_signal_handler_cannot_reenter(python_cmd, child_env, lua_file):
    # A Python signal handler runs inside the interrupt poll, while the machine is mid-run.
    child = start_child(
        python_cmd,
        child_env,
        """
        import signal, sys
        from tarn import Brindle

        def handler(signum, frame):
            try:
                Brindle.raw_input(sys.argv[2])
            except RuntimeError as exc:
                print("refused:", exc, file=sys.stderr)
            raise KeyboardInterrupt

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            Brindle.raw_input(sys.argv[1])
        except KeyboardInterrupt:
            sys.exit(3)
        """,
        str(lua_file("while true do end\n")),
        str(lua_file("")),
    )
    try:
        child.wait(timeout=30)
        err = child.stderr.read()
        assert child.returncode == 3, err
        assert "refused: raw_input cannot be called while a script is running" in err
    finally:
        child.kill()
        child.wait()
