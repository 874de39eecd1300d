"""The command line: options, standard input, how a run's end is reported and the exit status."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarn
import tarn._core
from tarn import __main__ as cli


HELLO_OUTPUT = (
    "constants: ['print', 'hi']\nupindexes: []\nbyte_codes:\n  0\tGetField(1, 0, 0)\n"
    "  1\tLoadConst(2, 1)\n  2\tCall(1, 2, 0)\n  3\tReturn0\n  [0]\tGetField(1, 0, 0)\n"
    "  [1]\tLoadConst(2, 1)\n  [2]\tCall(1, 2, 0)\nhi\n  [3]\tReturn0\n"
)
CONSOLE_SCRIPT = Path(sys.executable).with_name("tarn")
USAGE = cli.USAGE.format(prog="tarn")


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


def fake_report(error=None, output_error=0, location=None, traceback=()):
    """A report of the native core's run, for tests of the command line's own logic."""
    return {"error": error, "location": location, "traceback": list(traceback), "instructions": None,
            "profile": None, "steps": None, "output_error": output_error, "memory": (0, 0)}


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
    assert text.startswith(f"usage: {prog} [-h] [--version] [-l | -q] [--annotate] [-e CODE] [--memory-limit SIZE]\n")
    for status in ("0 ", "1 ", "2 ", "130 ", "141 "):
        assert f"\n  {status}" in text
    # Every option is both in the usage lines and explained below them.
    usage, _, explained = text.partition("\n\n")
    for option in list(cli.FLAGS) + list(cli.VALUED):
        assert option in usage.replace("-l | -q", "-l --list -q --quiet")
        assert f"  {option}" in explained or f", {option}" in explained


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
        (["a.lua", "--memory-limit"], "option --memory-limit needs a value"),
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
    assert err.count("\n") == USAGE.count("\n") + 1


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
        assert (status, out, err) == (1, "", "error: cannot open '-h': No such file or directory\n")


@pytest.mark.parametrize(
    "argv, inherited, stops",
    [
        (["--memory-limit", "1M"], None, True),
        (["--memory-limit=64m"], "1M", False),  # the option wins over the environment
        ([], "1M", True),
        ([], None, False),
    ],
)
def test_memory_limit_is_set_for_the_run(argv, inherited, stops, lua_file, monkeypatch, capfd):
    if inherited is None:
        monkeypatch.delenv("TARN_MEMORY_LIMIT", raising=False)
    else:
        monkeypatch.setenv("TARN_MEMORY_LIMIT", inherited)
    # About 4 MB of table: over 1M, well under 64M.
    script = str(lua_file("local t = {}\nfor i = 1, 200000 do t[i] = i end\nprint(#t)\n"))
    assert cli.main(["-q"] + argv + [script]) == (1 if stops else 0)
    out, err = capfd.readouterr()
    if stops:
        assert (out, err.splitlines()[0]) == ("", f"error: {script}:2: out of memory")
    else:
        assert (out, err) == ("200000\n", "")
    # The limit goes to the run, not into the environment.
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
    assert (proc.returncode, proc.stderr.decode()) == (
        1, f"error: {script}:2: out of memory\nstack traceback:\n\t{script}:2: in main chunk\n"
    )


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
    assert proc.stderr.decode().endswith(
        "error: no script given: name a FILE, or '-' to read standard input, or -e CODE\n"
    )


@pytest.mark.parametrize(
    "source, report",
    [
        ("$", "error: PATH:1:1: invalid char 36\n"),
        # A message over several lines, with a byte that is not UTF-8.
        (b'local x = "\\xff\\n"\nx()\n',
         "error: PATH:2: invalid function: '\ufffd\n'\nstack traceback:\n\tPATH:2: in main chunk\n"),
        ("local x = (1\n", "error: PATH:2:1: assertion `left == right` failed\n  left: Eos\n right: ParR\n"),
    ],
)
def test_stop_is_reported_once(source, report, python_cmd, child_env, lua_file):
    # Once: the diagnostic block that library callers get on standard error is not repeated.
    script = str(lua_file(source))
    proc = run_cmd(python_cmd + ["-m", "tarn"], child_env, script)
    assert proc.returncode == 1
    assert proc.stderr.decode() == report.replace("PATH", script)


@pytest.mark.parametrize("stops", [True, False])
def test_other_standard_error_output_is_kept(stops, lua_file, monkeypatch, capfd):
    script = str(lua_file("$" if stops else ""))
    real = tarn._core.run

    def noisy(*args, **kwargs):
        os.write(2, b"note from elsewhere\n")
        return real(*args, **kwargs)

    monkeypatch.setattr(tarn._core, "run", noisy)
    assert cli.main([script]) == (1 if stops else 0)
    err = capfd.readouterr().err
    assert err == "note from elsewhere\n" + (f"error: {script}:1:1: invalid char 36\n" if stops else "")


@pytest.mark.parametrize(
    "message, output_error, status, err",
    [
        ("failed printing to stdout: Broken pipe (os error 32)", 32, 141, ""),
        # The stop is the failed write: said once, not again as lost output.
        ("failed printing to stdout: Bad file descriptor (os error 9)", 9, 1,
         "error: failed printing to stdout: Bad file descriptor (os error 9)\n"),
        # A stop for another reason, after output was lost: both are said.
        ("out of memory", 28, 1,
         "tarn: output was lost: failed printing to stdout: No space left on device (os error 28)\n"
         "error: out of memory\n"),
        (None, 28, 0, "tarn: output was lost: failed printing to stdout: No space left on device (os error 28)\n"),
        # An interrupted write is retried, not lost.
        (None, 4, 0, ""),
    ],
)
def test_exit_status_of_output_failures(message, output_error, status, err, lua_file, monkeypatch, capfd):
    monkeypatch.setattr(tarn._core, "run", lambda *a, **k: fake_report(message, output_error))
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


def imports(cmd, env, *args):
    proc = run_cmd(cmd, dict(env, PYTHONPROFILEIMPORTTIME="1"), *args)
    assert proc.returncode == 0
    return {line.rsplit("|", 1)[-1].strip() for line in proc.stderr.decode().splitlines()}


def test_start_up_imports_stay_light(command, python_cmd, child_env, lua_file):
    # Python's start-up dominates a short run: the command line must not pull these in.
    cmd, _ = command
    imported = imports(cmd, child_env, str(lua_file("")))
    assert "tarn" in imported
    # What Python brings in to start a module or a console script is not the command's doing:
    # runpy imports typing through importlib.util on Python 3.9, pip's wrapper imports re.
    python_own = imports(python_cmd, child_env, "-c", "import runpy, re")
    assert not (imported - python_own) & {"argparse", "typing", "dataclasses", "tempfile", "shutil", "locale"}
    # The command line runs on the second native module only: loading Brindle costs it half a
    # millisecond. The descriptor helpers are loaded only to write a message.
    assert not {"tarn.Brindle", "tarn._fd"} & imported
