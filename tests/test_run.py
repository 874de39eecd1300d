"""tarn.run: a run with its standard output captured, returned with the stop message."""

import os
import signal
import subprocess
import textwrap
import threading
import typing
from pathlib import Path
from typing import Optional

import pytest

import tarn
from tarn import _fd
from tarn import _run_lock as lock


LONG = "for i = 1, 30000 do print(i) end\n"  # some megabytes: far more than a pipe holds


def same_file(a: int, b: int) -> bool:
    sa, sb = os.fstat(a), os.fstat(b)
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


@pytest.mark.parametrize(
    "source",
    ["", 'print("hi")\n', "$", 'print("before")\nundefined_function()\n', LONG],
    ids=["empty", "print", "lexical-stop", "run-time-stop", "long"],
)
def test_result_is_what_the_run_writes(source, lua_file, run_lua_bytes):
    # The reference runs the same script in a child process with fd 1 piped.
    result = tarn.run(lua_file(source))
    assert type(result) is tarn.Result
    assert (result.output, result.error) == run_lua_bytes(source)


def test_result_is_a_typed_named_tuple(lua_file):
    # Still the pair callers unpack; the rest are attributes.
    output, error = result = tarn.run(lua_file("$"))
    assert (output, error) == (b"", "invalid char 36")
    assert tarn.Result._fields == ("output", "error") and isinstance(result, tuple)
    hints = typing.get_type_hints(tarn.Result)
    assert list(hints.items())[:2] == [("output", bytes), ("error", Optional[str])]
    assert hints["instructions"] is int and hints["location"] == Optional[str]
    assert {"run", "Result", "ScriptError"} <= set(dir(tarn)) and {"run", "Result", "ScriptError"} <= set(tarn.__all__)


class StrPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "convert",
    [str, Path, os.fsencode, lambda p: StrPath(str(p)), lambda p: StrPath(os.fsencode(p))],
    ids=["str", "Path", "bytes", "PathLike-str", "PathLike-bytes"],
)
def test_path_forms(convert, lua_file):
    result = tarn.run(convert(lua_file('print("hi")')))
    assert result.error is None and b"\nhi\n" in result.output


@pytest.mark.parametrize("path", [5, None, ["x.lua"]])
def test_bad_path_is_raised(path, capfd):
    with pytest.raises(TypeError):
        tarn.run(path)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("kind", ["missing", "directory", "unreadable"])
def test_script_that_cannot_be_opened_is_raised(kind, tmp_path, capfd):
    # As open() reports it, before anything runs or is written.
    path = tmp_path / "script.lua"
    expected = {"missing": FileNotFoundError, "directory": IsADirectoryError, "unreadable": PermissionError}[kind]
    if kind == "directory":
        path.mkdir()
    elif kind == "unreadable":
        path.write_text("print(1)\n")
        path.chmod(0)
        if os.access(path, os.R_OK):
            pytest.skip("this user reads files whatever their mode (root)")
    with pytest.raises(expected) as info:
        tarn.run(path)
    with pytest.raises(expected) as from_open:
        open(path, "rb")
    assert (info.value.errno, info.value.filename) == (from_open.value.errno, str(path))
    assert capfd.readouterr() == ("", "")


def test_descriptor_1_is_restored(lua_file, capfd):
    before = os.dup(1)
    try:
        print("pending", end="")  # still in sys.stdout's buffer: flushed before the run
        assert tarn.run(lua_file('print("run")')).output.endswith(b"run\n  [3]\tReturn0\n")
        assert tarn.run(lua_file("$")).error == "invalid char 36"
        assert same_file(1, before)
        os.write(1, b"after")
    finally:
        os.close(before)
    assert capfd.readouterr().out == "pendingafter"


def test_descriptor_1_is_restored_after_ctrl_c(lua_file, capfd):
    before = os.dup(1)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            tarn.run(lua_file("while true do end\n"))
        assert same_file(1, before)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(before)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("setting", ["no-unnamed-files", "TMPDIR-missing"])
def test_temporary_file_fallback(setting, lua_file, monkeypatch, tmp_path):
    if setting == "no-unnamed-files":
        monkeypatch.setattr(_fd, "O_TMPFILE", 0)
    else:
        monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    assert tarn.run(lua_file('print("x")\n$'))[:2] == (b"", "invalid char 36")
    assert tarn.run(lua_file('print("x")')).output.endswith(b"x\n  [3]\tReturn0\n")


def test_threads_each_get_their_own_output(lua_file):
    scripts = [lua_file(f"for i = 1, 3000 do print('{name}', i) end\n") for name in "abcd"]
    expected = [tarn.run(script) for script in scripts]
    results = {}

    def work(k):
        results[k] = [tarn.run(scripts[k]) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(scripts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, runs in results.items():
        assert runs == [expected[k]] * 3


def test_run_waits_for_the_run_lock(lua_file):
    script = lua_file("")
    done = threading.Event()

    def run():
        tarn.run(script)
        done.set()

    worker = threading.Thread(target=run)
    with lock:
        worker.start()
        assert not done.wait(0.3)
    worker.join()
    assert done.is_set()


def test_direct_runs_in_other_threads_stay_out_of_the_capture(lua_file, capfd):
    captured = lua_file("for i = 1, 2000 do print('captured') end\n")
    direct = lua_file("for i = 1, 2000 do print('direct') end\n")
    stop = threading.Event()

    def run_direct():
        while not stop.is_set():
            tarn.raw_input(str(direct))

    other = threading.Thread(target=run_direct)
    other.start()
    try:
        for _ in range(5):
            assert b"direct" not in tarn.run(captured).output
    finally:
        stop.set()
        other.join()


def test_invalid_memory_limit_is_raised(lua_file, monkeypatch):
    monkeypatch.setenv("TARN_MEMORY_LIMIT", "12X")
    with pytest.raises(ValueError, match="TARN_MEMORY_LIMIT"):
        tarn.run(lua_file(""))


@pytest.mark.parametrize("closed", [1, 2])
def test_closed_standard_descriptor(closed, python_cmd, child_env, lua_file, tmp_path):
    # A file opened while 1 or 2 is closed must not take its number: the output, or the
    # diagnostic block, would land in the wrong place.
    code = textwrap.dedent(
        f"""
        import os, sys, tarn
        os.close({closed})
        result = tarn.run(sys.argv[1])
        try:
            os.fstat({closed})
            still_closed = False
        except OSError:
            still_closed = True
        with open(sys.argv[2], "w") as report:
            report.write(repr((result, still_closed)))
        """
    )
    script = lua_file('print("x")\nundefined()\n')
    report = tmp_path / "report"
    subprocess.run(
        python_cmd + ["-c", code, str(script), str(report)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=child_env, timeout=60, check=True,
    )
    assert report.read_text() == repr((tarn.run(script), True))
