"""How a run shares the process with its host: Ctrl-C whatever the script does, other Python
threads while a run goes on, serialised runs, and output that cannot be written."""

import os
import signal
import subprocess
import textwrap
import time

import pytest

# A child that runs one script and reports how it ended: exit 3 for KeyboardInterrupt, 4 for
# a stop (message on stderr after "stop: "), 0 for a normal end.
RUNNER = """
import sys
from tarn import Brindle, is_panic
print("ready", file=sys.stderr, flush=True)
try:
    Brindle.raw_input(sys.argv[1])
except KeyboardInterrupt:
    sys.exit(3)
except BaseException as exc:
    if not is_panic(exc):
        raise
    print("stop:", exc, file=sys.stderr, flush=True)
    sys.exit(4)
"""


def start(python_cmd, child_env, code, *args, stdout=subprocess.DEVNULL, **kwargs):
    return subprocess.Popen(
        python_cmd + ["-c", textwrap.dedent(code), *map(str, args)],
        stdin=subprocess.DEVNULL,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=child_env,
        text=True,
        **kwargs,
    )


def interrupt_after_ready(child, delay=0.4):
    """Sends SIGINT once the child said it is ready and `delay` has passed; returns the time
    the child took to end after the signal."""
    assert child.stderr.readline() == "ready\n"
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    child.wait(timeout=30)
    return time.monotonic() - sent


ENDLESS = {
    "empty loop": "while true do end",
    "backward goto": "::top:: goto top",
    "recursion without end": "local function f(n) if n > 100 then return 0 end return f(n + 1) end while true do f(0) end",
    "tail calls": "local function f(n) return f(n + 1) end f(0)",
    "native calls": "while true do type(1) end",
    "iterator": "local t = {1, 2, 3} while true do for i, v in ipairs(t) do end end",
    "table churn": "local t = {} local i = 0 while true do i = i + 1 t[i % 1000 + 1] = {i} end",
    # The end of the run frees a million tables wholesale instead of one by one.
    "after a million tables": "local t = {} for i = 1, 1000000 do t[i] = {i} end while true do end",
}


@pytest.mark.parametrize("source", ENDLESS.values(), ids=ENDLESS.keys())
def test_ctrl_c_stops_every_shape_of_run(python_cmd, child_env, lua_file, source):
    child = start(python_cmd, child_env, RUNNER, lua_file(source + "\n"))
    try:
        latency = interrupt_after_ready(child)
        assert child.returncode == 3, child.stderr.read()
        # The bound is loose for busy machines; the figure is what to look at.
        assert latency < 2, latency
        print(f"interrupt latency: {latency * 1000:.1f} ms")
    finally:
        child.kill()
        child.wait()


def test_ctrl_c_during_compilation(python_cmd, child_env, tmp_path):
    # A source of some megabytes in one long function body.
    script = tmp_path / "big.lua"
    script.write_text("local x = 0\n" + "x = x + 1\n" * 400_000)
    child = start(python_cmd, child_env, RUNNER, script)
    try:
        latency = interrupt_after_ready(child, delay=0.05)
        assert child.returncode in (0, 3), child.stderr.read()
        assert latency < 2, latency
    finally:
        child.kill()
        child.wait()


def test_ctrl_c_while_a_full_pipe_blocks_the_run(python_cmd, child_env, lua_file):
    # Nobody reads the pipe: the run blocks in a write until Ctrl-C.
    read_end, write_end = os.pipe()
    try:
        child = start(python_cmd, child_env, RUNNER, lua_file("while true do end\n"), stdout=write_end)
        try:
            latency = interrupt_after_ready(child, delay=0.5)
            assert child.returncode == 3, child.stderr.read()
            assert latency < 2, latency
        finally:
            child.kill()
            child.wait()
    finally:
        os.close(read_end)
        os.close(write_end)


THREADED = """
import sys, threading, time
from tarn import Brindle
ticks = 0
def tick():
    global ticks
    while True:
        ticks += 1
        time.sleep(0.001)
threading.Thread(target=tick, daemon=True).start()
def run():
    try:
        Brindle.raw_input(sys.argv[1])
    except BaseException as exc:
        print("run ended:", type(exc).__name__, exc, file=sys.stderr, flush=True)
worker = threading.Thread(target=run, daemon=True)
print("ready", file=sys.stderr, flush=True)
worker.start()
time.sleep(0.5)
before = ticks
time.sleep(0.5)
print("ticks", ticks - before, file=sys.stderr, flush=True)
worker.join()
"""


def test_other_threads_run_and_ctrl_c_ends_the_process(python_cmd, child_env, lua_file):
    # The run in a worker thread neither starves the ticking thread nor keeps the main
    # thread from taking Ctrl-C and ending the process.
    child = start(python_cmd, child_env, THREADED, lua_file("while true do end\n"))
    try:
        assert child.stderr.readline() == "ready\n"
        line = child.stderr.readline()
        assert line.startswith("ticks "), line
        # Progress, not a rate: a loaded machine may give the ticking thread little time.
        assert int(line.split()[1]) > 0, line
        child.send_signal(signal.SIGINT)
        child.wait(timeout=10)
        assert child.returncode != 0
        assert "KeyboardInterrupt" in child.stderr.read()
    finally:
        child.kill()
        child.wait()


CONCURRENT = """
import sys, threading
from tarn import Brindle
def run(path):
    Brindle.raw_input(path)
threads = [threading.Thread(target=run, args=(p,)) for p in sys.argv[1:]]
for t in threads:
    t.start()
for t in threads:
    t.join()
"""


def test_concurrent_runs_do_not_interleave(python_cmd, child_env, lua_file, run_lua_bytes):
    sources = [f"for i = 1, 30000 do print({k}) end\n" for k in range(1, 4)]
    expected = [run_lua_bytes(s)[0] for s in sources]
    proc = subprocess.run(
        python_cmd + ["-c", CONCURRENT, *[str(lua_file(s)) for s in sources]],
        capture_output=True, env=child_env, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    # Each run's output is one unbroken block, in some order.
    for block in expected:
        assert block in out
    assert len(out) == sum(map(len, expected))


def test_reader_that_goes_away_stops_the_run(python_cmd, child_env, lua_file):
    child = start(
        python_cmd, child_env, RUNNER, lua_file("while true do print(1) end\n"), stdout=subprocess.PIPE
    )
    try:
        assert child.stderr.readline() == "ready\n"
        child.stdout.read(100)
        child.stdout.close()
        child.wait(timeout=30)
        err = child.stderr.read()
        assert child.returncode == 4, err
        assert "stop: failed printing to stdout: Broken pipe (os error 32)\n" in err
        assert "output was lost" not in err
    finally:
        child.kill()
        child.wait()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_lost_output_is_reported_with_a_later_stop(python_cmd, child_env, lua_file):
    # The output fits in the buffer, so the only write is the flush at the stop; it fails,
    # and the report of the stop says so.
    with open("/dev/full", "w") as full:
        child = start(python_cmd, child_env, RUNNER, lua_file("print(1)\nnil_function()\n"), stdout=full)
        child.wait(timeout=30)
    err = child.stderr.read()
    assert child.returncode == 4, err
    assert "stop: invalid function: nil\n" in err
    assert "tarn: output was lost: failed printing to stdout: No space left on device (os error 28)\n" in err


def test_closed_standard_output_stops_the_run(python_cmd, child_env, lua_file):
    child = start(python_cmd, child_env, RUNNER, lua_file("print(1)\n"), stdout=subprocess.DEVNULL,
                  pass_fds=(), preexec_fn=lambda: os.close(1))
    child.wait(timeout=30)
    err = child.stderr.read()
    assert child.returncode == 4, err
    assert "stop: failed printing to stdout: Bad file descriptor (os error 9)\n" in err


def test_pipe_on_standard_output_gets_a_large_buffer(python_cmd, child_env, lua_file):
    import fcntl

    read_end, write_end = os.pipe()
    try:
        child = start(python_cmd, child_env, RUNNER, lua_file("print(1)\n"), stdout=write_end)
        os.close(write_end)
        write_end = -1
        out = b""
        while chunk := os.read(read_end, 1 << 16):
            out += chunk
        child.wait(timeout=30)
        assert child.returncode == 0 and out.endswith(b"1\n  [3]\tReturn0\n")
        # The constant has a name in fcntl from Python 3.10 on.
        assert fcntl.fcntl(read_end, getattr(fcntl, "F_GETPIPE_SZ", 1032)) == 1 << 20
    finally:
        os.close(read_end)
        if write_end >= 0:
            os.close(write_end)


def test_process_exits_under_a_running_daemon_thread(python_cmd, child_env, lua_file):
    # Python's shutdown ends the thread when it takes the interpreter lock back at a poll; the
    # unwinding that follows must pass through the machine cleanly. A module whose C++ runtime
    # brings an unwinder other than the one the C library ends threads with crashed here in a
    # quarter of the exits, hence the repetitions (four processes at a time).
    code = """
    import sys, threading, time
    from tarn import Brindle
    threading.Thread(target=Brindle.raw_input, args=(sys.argv[1],), daemon=True).start()
    time.sleep(0.3)
    """
    script = lua_file("while true do end\n")
    for _ in range(5):
        children = [start(python_cmd, child_env, code, script) for _ in range(4)]
        for child in children:
            child.wait(timeout=30)
        for child in children:
            assert child.returncode == 0, (child.returncode, child.stderr.read())
