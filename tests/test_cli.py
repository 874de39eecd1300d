"""The command line: options, standard input, how a run's end is reported and the exit status."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarn
from tarn import __main__ as cli


HELLO_OUTPUT = (
    "constants: ['print', 'hi']\nupindexes: []\nbyte_codes:\n  0\tGetField(1, 0, 0)\n"
    "  1\tLoadConst(2, 1)\n  2\tCall(1, 2, 0)\n  3\tReturn0\n  [0]\tGetField(1, 0, 0)\n"
    "  [1]\tLoadConst(2, 1)\n  [2]\tCall(1, 2, 0)\nhi\n  [3]\tReturn0\n"
)
CONSOLE_SCRIPT = Path(sys.executable).with_name("tarn")
USAGE = "usage: tarn [-h] [--version] [--memory-limit SIZE] [FILE | -]\n"


@pytest.fixture(params=["module", "console-script"])
def command(request, python_cmd):
    """(command line that starts the CLI, the program name its help shows)."""
    if request.param == "module":
        return python_cmd + ["-m", "tarn"], os.path.basename(sys.executable) + " -m tarn"
    if not CONSOLE_SCRIPT.exists():
        pytest.skip(f"no console script at {CONSOLE_SCRIPT}")
    return [str(CONSOLE_SCRIPT)], "tarn"


def run_cmd(cmd, env, *args, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(cmd + list(args), capture_output=True, env=env, timeout=60, **kwargs)


class FakeModule:
    """Stands in for the native module in tests of the CLI's own logic."""

    def __init__(self, effect):
        self.raw_input = effect


def fake_panic(message):
    kind = type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})
    return kind(message)


def test_runs_script(command, child_env, lua_file):
    cmd, _ = command
    proc = run_cmd(cmd, child_env, str(lua_file('print("hi")')))
    assert (proc.returncode, proc.stdout.decode(), proc.stderr) == (0, HELLO_OUTPUT, b"")


@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_help_names_the_program(command, child_env, flag):
    cmd, prog = command
    proc = run_cmd(cmd, child_env, flag)
    assert proc.returncode == 0 and proc.stderr == b""
    text = proc.stdout.decode()
    assert text.startswith(f"usage: {prog} [-h] [--version] [--memory-limit SIZE] [FILE | -]\n")
    for status in ("0 ", "1 ", "2 ", "130 ", "141 "):
        assert f"\n  {status}" in text


def test_version(command, child_env):
    import importlib.metadata

    cmd, _ = command
    proc = run_cmd(cmd, child_env, "--version")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"tarn {tarn.__version__}\n".encode(), b"")
    assert importlib.metadata.version("tarn") == tarn.__version__


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--bogus"], "unrecognized option '--bogus'"),
        (["-x", "a.lua"], "unrecognized option '-x'"),
        (["--help=yes"], "unrecognized option '--help=yes'"),
        (["a.lua", "b.lua"], "unexpected argument 'b.lua': one script at a time"),
        (["-", "a.lua"], "unexpected argument 'a.lua': one script at a time"),
        (["a.lua", "--memory-limit"], "option --memory-limit needs a SIZE"),
        (["--memory-limit", "0", "a.lua"], "invalid --memory-limit SIZE '0'"),
        (["--memory-limit=", "a.lua"], "invalid --memory-limit SIZE ''"),
        (["--memory-limit", "-1", "a.lua"], "invalid --memory-limit SIZE '-1'"),
        (["--memory-limit", "1.5G", "a.lua"], "invalid --memory-limit SIZE '1.5G'"),
        (["--memory-limit", "1KB", "a.lua"], "invalid --memory-limit SIZE '1KB'"),
        (["--memory-limit", "1_000", "a.lua"], "invalid --memory-limit SIZE '1_000'"),
        (["--memory-limit", " 10", "a.lua"], "invalid --memory-limit SIZE ' 10'"),
        (["--memory-limit", "\uff11\uff10", "a.lua"], "invalid --memory-limit SIZE"),
        (["--memory-limit", "K", "a.lua"], "invalid --memory-limit SIZE 'K'"),
        (["--memory-limit", str(1 << 63), "a.lua"], "invalid --memory-limit SIZE"),
        (["--memory-limit", str(1 << 33) + "G", "a.lua"], "invalid --memory-limit SIZE"),
    ],
)
def test_usage_errors(argv, message, capfd):
    assert cli.main(argv, prog="tarn") == 2
    out, err = capfd.readouterr()
    assert out == ""
    assert err.startswith(USAGE + "tarn: error: " + message)
    assert err.count("\n") == 2


@pytest.mark.parametrize(
    "text, size",
    [("1", 1), ("007", 7), ("1k", 1024), ("1K", 1024), ("64m", 64 << 20), ("3G", 3 << 30),
     (str((1 << 63) - 1), (1 << 63) - 1), (str((1 << 33) - 1) + "g", ((1 << 33) - 1) << 30)],
)
def test_memory_sizes(text, size):
    assert cli.parse_size(text) == size


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--bogus", "-h"], "help"),
        (["a.lua", "b.lua", "--help"], "help"),
        (["--version", "-h"], "help"),
        (["--memory-limit", "nonsense", "--version"], "version"),
        (["--memory-limit", "--version"], "error"),  # the option takes the next word
        (["--", "-h"], "run"),
    ],
)
def test_help_and_version_win_over_errors(argv, expected, capfd, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status = cli.main(argv, prog="tarn")
    out, err = capfd.readouterr()
    if expected == "help":
        assert status == 0 and out.startswith(USAGE) and "exit status" in out
    elif expected == "version":
        assert (status, out) == (0, f"tarn {tarn.__version__}\n")
    elif expected == "error":
        assert status == 2 and "invalid --memory-limit SIZE '--version'" in err
    else:  # "-h" after "--" is a file name
        assert status == 1 and err.startswith("error: called `Result::unwrap()`") and "NotFound" in err


@pytest.mark.parametrize(
    "argv, inherited, seen",
    [
        (["--memory-limit", "64M"], None, "64M"),
        (["--memory-limit=2g"], "1G", "2g"),
        ([], "1G", "1G"),
        ([], None, None),
    ],
)
def test_memory_limit_is_set_for_the_run(argv, inherited, seen, lua_file, monkeypatch):
    if inherited is None:
        monkeypatch.delenv("TARN_MEMORY_LIMIT", raising=False)
    else:
        monkeypatch.setenv("TARN_MEMORY_LIMIT", inherited)
    recorded = []
    monkeypatch.setattr(cli, "Brindle", FakeModule(lambda path: recorded.append(os.environ.get("TARN_MEMORY_LIMIT"))))
    assert cli.main(argv + [str(lua_file(""))]) == 0
    assert recorded == [seen]
    assert os.environ.get("TARN_MEMORY_LIMIT") == inherited


def test_invalid_inherited_memory_limit_is_a_usage_error(monkeypatch, capfd):
    monkeypatch.setenv("TARN_MEMORY_LIMIT", "lots")
    assert cli.main(["a.lua"], prog="tarn") == 2
    assert capfd.readouterr().err == (
        USAGE + "tarn: error: invalid TARN_MEMORY_LIMIT 'lots': "
        "expected a positive integer of bytes, optionally followed by K, M or G\n"
    )


def test_memory_limit_stops_the_run(python_cmd, child_env, lua_file):
    script = lua_file("local t = {}\nfor i = 1, 10000000 do t[i] = i end\n")
    with open(os.devnull, "wb") as null:
        proc = subprocess.run(
            python_cmd + ["-m", "tarn", "--memory-limit", "1M", str(script)],
            stdout=null, stderr=subprocess.PIPE, env=child_env, timeout=60,
        )
    assert (proc.returncode, proc.stderr) == (1, b"error: out of memory\n")


@pytest.mark.parametrize("args", [[], ["-"]])
@pytest.mark.parametrize("source", ["pipe", "file"])
def test_script_from_standard_input(args, source, python_cmd, child_env, lua_file, tmp_path):
    script = lua_file('print("hi")')
    env = dict(child_env, TMPDIR=str(tmp_path / "tmp"))
    os.mkdir(env["TMPDIR"])
    if source == "pipe":
        proc = run_cmd(python_cmd + ["-m", "tarn"], env, *args, input=script.read_bytes(), stdin=None)
    else:
        with open(script, "rb") as stdin:
            proc = run_cmd(python_cmd + ["-m", "tarn"], env, *args, stdin=stdin)
    assert (proc.returncode, proc.stdout.decode(), proc.stderr) == (0, HELLO_OUTPUT, b"")
    assert os.listdir(env["TMPDIR"]) == []  # the copy of the script is gone


def test_closed_standard_input_without_file_is_a_usage_error(python_cmd, child_env):
    proc = run_cmd(["sh", "-c", 'exec "$@" <&-', "sh"] + python_cmd + ["-m", "tarn"], child_env)
    assert proc.returncode == 2
    assert proc.stderr.decode().endswith("error: no script given: name a FILE, or '-' to read standard input\n")


@pytest.mark.parametrize(
    "source, message",
    [
        ("$", "invalid char 36"),
        # A message over several lines, with a byte that is not UTF-8.
        (b'local x = "\\xff\\n"\nx()\n', "invalid function: '\ufffd\n'"),
        ("local x = (1\n", "assertion `left == right` failed\n  left: Eos\n right: ParR"),
    ],
)
def test_stop_is_reported_once(source, message, python_cmd, child_env, lua_file):
    proc = run_cmd(python_cmd + ["-m", "tarn"], child_env, str(lua_file(source)))
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"error: {message}\n"


@pytest.mark.parametrize("stops", [True, False])
def test_other_standard_error_output_is_kept(stops, lua_file, monkeypatch, capfd):
    script = str(lua_file("$" if stops else ""))
    real = cli.Brindle.raw_input

    def noisy(path):
        os.write(2, b"note from elsewhere\n")
        real(path)

    monkeypatch.setattr(cli, "Brindle", FakeModule(noisy))
    assert cli.main([script]) == (1 if stops else 0)
    err = capfd.readouterr().err
    assert err == "note from elsewhere\n" + ("error: invalid char 36\n" if stops else "")


@pytest.mark.parametrize(
    "err, message, kept",
    [
        (b"tarn: fatal error at src/a.cpp:1:2:\nboom\n", "boom", b""),
        (b"before\ntarn: fatal error at src/a.cpp:1:2:\nboom\n", "boom", b"before\n"),
        # The message itself holds a line that looks like a heading.
        (b"x\ntarn: fatal error at src/a.cpp:1:2:\nA\ntarn: fatal error B\n", "A\ntarn: fatal error B", b"x\n"),
        # Not the block of this stop: nothing is dropped.
        (b"tarn: fatal error at src/a.cpp:1:2:\nother\n", "boom", b"tarn: fatal error at src/a.cpp:1:2:\nother\n"),
        (b"xtarn: fatal error at src/a.cpp:1:2:\nboom\n", "boom", b"xtarn: fatal error at src/a.cpp:1:2:\nboom\n"),
        (b"", "boom", b""),
    ],
)
def test_strip_diagnostic(err, message, kept):
    assert cli.strip_diagnostic(err, message) == kept


@pytest.mark.parametrize(
    "message, status, err",
    [
        ("failed printing to stdout: Broken pipe (os error 32)", 141, ""),
        ("failed printing to stdout: Bad file descriptor (os error 9)", 1,
         "error: failed printing to stdout: Bad file descriptor (os error 9)\n"),
    ],
)
def test_exit_status_of_output_failures(message, status, err, lua_file, monkeypatch, capfd):
    def stop(path):
        raise fake_panic(message)

    monkeypatch.setattr(cli, "Brindle", FakeModule(stop))
    assert cli.main([str(lua_file(""))]) == status
    assert capfd.readouterr() == ("", err)


def test_reader_that_goes_away_ends_the_run_quietly(python_cmd, child_env, lua_file):
    child = subprocess.Popen(
        python_cmd + ["-m", "tarn", str(lua_file("while true do print(1) end\n"))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env,
    )
    child.stdout.read(100)
    child.stdout.close()
    _, err = child.communicate(timeout=60)
    assert (child.returncode, err) == (141, b"")


@pytest.mark.parametrize("args", [["SCRIPT"], ["--version"], ["-h"]])
def test_closed_standard_output(args, python_cmd, child_env, lua_file):
    args = [str(lua_file('print("hi")')) if a == "SCRIPT" else a for a in args]
    proc = run_cmd(["sh", "-c", 'exec "$@" >&-', "sh"] + python_cmd + ["-m", "tarn"], child_env, *args)
    assert proc.returncode == 1
    err = proc.stderr.decode()
    assert err.count("\n") == 1 and err.startswith("error: ") and "Bad file descriptor" in err


def test_ctrl_c(python_cmd, child_env, lua_file, tmp_path):
    out = tmp_path / "out"
    with open(out, "wb") as stdout:
        child = subprocess.Popen(
            python_cmd + ["-m", "tarn", str(lua_file("while true do end\n"))],
            stdout=stdout, stderr=subprocess.PIPE, env=child_env,
        )
    try:
        # The trace fills the output buffer within moments of the loop starting.
        deadline = time.monotonic() + 30
        while out.stat().st_size == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
        assert (child.returncode, err) == (130, b"interrupted\n")
    finally:
        child.kill()
        child.wait()


def test_start_up_imports_stay_light(command, child_env, lua_file):
    # Python's start-up dominates a short run: the command line must not pull these in.
    cmd, _ = command

    def imports(cmd, *args):
        proc = run_cmd(cmd, dict(child_env, PYTHONPROFILEIMPORTTIME="1"), *args)
        assert proc.returncode == 0, proc.stderr
        return {line.rsplit("|", 1)[-1].strip() for line in proc.stderr.decode().splitlines()}

    imported = imports(cmd, str(lua_file("")))
    assert "tarn" in imported
    # What `python -m` itself imports is not ours (before 3.10 its runpy pulls typing in).
    if cmd[-2:] == ["-m", "tarn"]:
        imported -= imports(cmd[:-1] + ["this"])
    # (pip's wrapper for the console script imports re itself.)
    assert not imported & {"argparse", "typing", "dataclasses", "tempfile", "shutil", "locale"}
