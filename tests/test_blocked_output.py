"""Ctrl-C reaches a run whose standard output is a full non-blocking pipe that nobody reads."""

import os
import signal
import subprocess
import time

CHILD = r"""
import os, sys
os.set_blocking(1, False)
from tarn import Brindle
try:
    Brindle.raw_input(sys.argv[1])
except KeyboardInterrupt:
    sys.stderr.write("interrupted\n")
    sys.exit(3)
"""


def test_interrupt_while_a_non_blocking_pipe_is_full(python_cmd, child_env, lua_file):
    script = lua_file("while true do print('a line of output to fill the pipe') end\n")
    r, w = os.pipe()
    try:
        proc = subprocess.Popen(
            python_cmd + ["-c", CHILD, str(script)],
            env=child_env,
            stdout=w,
            stderr=subprocess.PIPE,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
    finally:
        os.close(w)
    try:
        # Wait until the pipe is full and the writer waits on it.
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(10) == 3
        assert proc.stderr.read().endswith(b"interrupted\n")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
        os.close(r)
