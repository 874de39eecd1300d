"""tarn.run's capture cannot fail: descriptors and the run lock come back on every way out, the
output is read into one buffer, a forked child can run, and the result can be checked."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import tarn
from tarn import _run_lock as lock

PACKAGE = Path(tarn.__file__).resolve().parent
CAPTURE_CODE = {str(PACKAGE / name) for name in ("_capture.py", "_fd.py")}


def descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def identity(fd):
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


class Strike(KeyboardInterrupt):
    pass


def lock_is_free():
    taken = []

    def take():
        if lock.acquire(timeout=5):
            taken.append(True)
            lock.release()

    other = threading.Thread(target=take)
    other.start()
    other.join()
    return bool(taken)


def traced_run(script, strike_at):
    """Runs tarn.run with a KeyboardInterrupt raised at the `strike_at`-th line event of the
    capture code (never if -1); returns the number of line events seen."""
    seen = 0

    def local(frame, event, arg):
        nonlocal seen
        if event == "line":
            seen += 1
            if seen - 1 == strike_at:
                raise Strike
        return local

    def call(frame, event, arg):
        return local if frame.f_code.co_filename in CAPTURE_CODE else None

    sys.settrace(call)
    try:
        tarn.run(script)
    except Strike:
        pass
    finally:
        sys.settrace(None)
    return seen


def test_an_interrupt_at_any_line_leaves_nothing_behind(lua_file, capfd):
    script = lua_file("print('x')\n")
    tarn.run(script)  # loads the lazy parts first
    before = descriptors(), identity(1), signal.getsignal(signal.SIGINT)
    lines = traced_run(script, -1)
    assert lines > 10
    for k in range(lines):
        traced_run(script, k)
        assert (descriptors(), identity(1), signal.getsignal(signal.SIGINT)) == before, f"line event {k}"
        # The lock is free: another thread can take it (this one always could).
        assert lock_is_free(), f"line event {k}"
    os.write(1, b"after")
    assert capfd.readouterr().out == "after"
    assert tarn.run(script).output.endswith(b"x\n  [3]\tReturn0\n")


BARRAGE = """
import os, signal, sys, time
import tarn
armed = False
taken = 0
def interrupt(signum, frame):
    # Raises once per run, so the loop below always catches what it raises.
    global armed, taken
    if armed:
        armed = False
        taken += 1
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
def state():
    st = os.fstat(1)
    return sorted(os.listdir("/proc/self/fd")), (st.st_dev, st.st_ino), signal.getsignal(signal.SIGINT)
script = sys.argv[1]
tarn.run(script)
before = state()
runs = 0
print("ready", file=sys.stderr, flush=True)
deadline = time.monotonic() + float(sys.argv[2])
while time.monotonic() < deadline:
    try:
        armed = True
        tarn.run(script)
        armed = False
        runs += 1
    except KeyboardInterrupt:
        pass
armed = False
after = state()
signal.signal(signal.SIGINT, signal.SIG_IGN)  # the barrage may outlast the loop
os.write(1, b"alive\\n")
print(runs, taken, before == after, repr(after), file=sys.stderr, flush=True)
"""


def test_a_barrage_of_ctrl_c_leaves_nothing_behind(python_cmd, child_env, lua_file, tmp_path):
    script = lua_file("for i = 1, 300 do end print('x')\n")
    out = tmp_path / "out"
    with open(out, "wb") as stdout:
        child = subprocess.Popen(
            python_cmd + ["-c", BARRAGE, str(script), "2"],
            stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE, env=child_env, text=True,
        )
    try:
        assert child.stderr.readline() == "ready\n"
        end = time.monotonic() + 1.5
        while time.monotonic() < end and child.poll() is None:
            child.send_signal(signal.SIGINT)
            time.sleep(0.001)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    runs, taken, same, after = err.split(" ", 3)
    assert same == "True", after
    # Progress both ways: runs that ended and runs that were interrupted.
    assert int(runs) > 0 and int(taken) > 0, err
    # Nothing of a captured run reached the real standard output.
    assert out.read_bytes() == b"alive\n"


def test_failed_write_restores_descriptor_1(lua_file, monkeypatch, capfd):
    # A capture file that takes no writes: the stop is returned and fd 1 is back.
    import tarn._fd as fd_module

    read_only = lua_file("")

    def unwritable(steps):
        steps.extend(map(fd_module._closer, [os.open(read_only, os.O_RDONLY | os.O_CLOEXEC)]))
        return steps[-1].args[0]

    before = descriptors(), identity(1)
    monkeypatch.setattr(fd_module, "open_temp", unwritable)
    result = tarn.run(lua_file("print(1)\n"))
    assert result[:2] == (b"", "failed printing to stdout: Bad file descriptor (os error 9)")
    assert (descriptors(), identity(1)) == before
    os.write(1, b"after")
    assert capfd.readouterr().out == "after"


PEAK = """
import sys, tarn
def status(key):
    with open("/proc/self/status") as f:
        return [int(line.split()[1]) * 1024 for line in f if line.startswith(key)][0]
tarn.run(sys.argv[2])
base = status("VmRSS:")
result = tarn.run(sys.argv[1])
print(len(result.output), status("VmHWM:") - base)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer's realloc copies")
def test_peak_memory_is_the_output_and_a_constant(python_cmd, child_env, lua_file):
    # Some 120 MB of trace: read in pieces and joined, the peak would be twice that.
    script = lua_file("for i = 1, 6000000 do end\n")
    proc = subprocess.run(
        python_cmd + ["-c", PEAK, str(script), str(lua_file(""))],
        stdin=subprocess.DEVNULL, capture_output=True, env=child_env, timeout=120, text=True,
    )
    assert proc.returncode == 0, proc.stderr
    size, peak = map(int, proc.stdout.split())
    assert size > 100 << 20
    assert peak < size + (32 << 20), (size, peak)


FORK = """
import os, sys, threading, time
from tarn import Brindle
import tarn
from tarn import _run_lock as lock
def hold():
    with lock:
        time.sleep(5)
if sys.argv[1] == "lock":
    threading.Thread(target=hold, daemon=True).start()
else:
    threading.Thread(target=Brindle.raw_input, args=(sys.argv[1],), daemon=True).start()
time.sleep(0.5)  # the thread holds the run lock (in its run)
pid = os.fork()
if pid == 0:
    try:
        result = tarn.run(sys.argv[2])
        good = result.error is None and result.output.endswith(b"\\nchild\\n  [3]\\tReturn0\\n")
        os.write(2, b"ok\\n" if good else repr(result[:2]).encode() + b"\\n")
    except BaseException as exc:
        os.write(2, repr(exc).encode() + b"\\n")
    finally:
        os._exit(0)
deadline = time.monotonic() + 30
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.write(2, b"child hangs\\n")
        break
    time.sleep(0.01)
os._exit(0)
"""


@pytest.mark.parametrize(
    "parent",
    ["lock", "run"],
)
def test_forked_child_runs_while_a_thread_of_the_parent_holds_the_lock(parent, python_cmd, child_env, lua_file):
    holder = "lock" if parent == "lock" else str(lua_file("while true do end\n"))
    proc = subprocess.run(
        python_cmd + ["-c", FORK, holder, str(lua_file("print('child')\n"))],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=child_env, timeout=60,
    )
    assert proc.stderr.decode() == "ok\n"


def test_non_blocking_empty_standard_input_waits_for_the_script(python_cmd, child_env):
    read_end, write_end = os.pipe()
    try:
        os.set_blocking(read_end, False)
        child = subprocess.Popen(
            python_cmd + ["-m", "tarn", "-"], stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=child_env,
        )
        os.close(read_end)
        read_end = -1
        time.sleep(0.3)
        os.write(write_end, b"print('late')\n")
        os.close(write_end)
        write_end = -1
        out, err = child.communicate(timeout=60)
    finally:
        for fd in (read_end, write_end):
            if fd >= 0:
                os.close(fd)
    assert (child.returncode, err) == (0, b"")
    assert out.endswith(b"\nlate\n  [3]\tReturn0\n")


def test_result_check(lua_file):
    ok = tarn.run(lua_file("print(1)\n"))
    assert ok.ok and ok.check() is ok and ok.instructions == 4  # GetField, LoadInt, Call, Return0
    script = lua_file("\nundefined()\n")
    stopped = tarn.run(script)
    assert not stopped.ok
    with pytest.raises(tarn.ScriptError) as info:
        stopped.check()
    exc = info.value
    assert isinstance(exc, Exception)
    place = f"{script}:2:"
    assert (str(exc), exc.message, exc.location, exc.traceback) == (
        f"{place} invalid function: nil", "invalid function: nil", place, (f"{place} in main chunk",)
    )
    assert tarn.ScriptError("m", "a.lua:3:", ["a.lua:3: in main chunk"]).traceback == ("a.lua:3: in main chunk",)
