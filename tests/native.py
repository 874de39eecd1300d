"""Which run-time behaviours the installed native module has, for tests of the Python side
that depend on them: each is probed once, in this process, on a trivial script."""

import functools
import os
import tempfile
import threading

import tarn
from tarn import Brindle, _fd
from tarn._serial import lock

BROKEN_PIPE = "failed printing to stdout: Broken pipe (os error 32)"


def _empty_script() -> str:
    fd, path = tempfile.mkstemp(suffix=".lua")
    os.close(fd)
    return path


@functools.lru_cache(maxsize=None)
def reads_memory_limit() -> bool:
    """Whether a run reads TARN_MEMORY_LIMIT (and refuses text that is no size)."""
    path = _empty_script()
    saved = os.environ.get("TARN_MEMORY_LIMIT")
    os.environ["TARN_MEMORY_LIMIT"] = "no size"
    try:
        tarn.run(path)
        return False
    except ValueError:
        return True
    finally:
        os.unlink(path)
        if saved is None:
            del os.environ["TARN_MEMORY_LIMIT"]
        else:
            os.environ["TARN_MEMORY_LIMIT"] = saved


@functools.lru_cache(maxsize=None)
def stops_on_closed_pipe() -> bool:
    """Whether a run stops with the broken-pipe message once its reader has gone away."""
    path = _empty_script()
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        with lock, _fd.Redirected(1, write_end):
            Brindle.raw_input(path)
        return False
    except BaseException as exc:
        if not tarn.is_panic(exc):
            raise
        return str(exc) == BROKEN_PIPE
    finally:
        os.close(write_end)
        os.unlink(path)


@functools.lru_cache(maxsize=None)
def takes_run_lock() -> bool:
    """Whether raw_input waits for tarn._serial.lock while another thread holds it."""
    path = _empty_script()
    null = os.open(os.devnull, os.O_WRONLY)
    done = threading.Event()

    def call() -> None:
        Brindle.raw_input(path)
        done.set()

    try:
        with _fd.Redirected(1, null):
            worker = threading.Thread(target=call)
            with lock:
                worker.start()
                finished_while_held = done.wait(0.5)
            worker.join()
        return not finished_while_held
    finally:
        os.close(null)
        os.unlink(path)
