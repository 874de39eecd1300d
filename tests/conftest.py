"""Shared fixtures: run a script through the installed module and capture file descriptor 1.

`run_lua(source)` and `run_lua_bytes(source)` run each script in a child process (so fd 1 is
captured byte for byte and a crash cannot take the test session down) and return
(stdout, stop message or None). `run_inproc(source)` runs it in this process under capfd.
`python_cmd` and `child_env` start other child processes that can import tarn.
"""

import itertools
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional, Tuple, Union

import pytest

import tarn
from listing import check_trace
from tarn import Brindle

# A suite started in the background (`nohup pytest &`) inherits SIGINT ignored, and every
# process it starts would inherit that too: the tests that interrupt a run would wait in vain.
# With Python's own handler installed here, every child starts with the default disposition
# (exec resets a handled signal, where it keeps an ignored one), whoever starts it.
signal.signal(signal.SIGINT, signal.default_int_handler)

ROOT = Path(__file__).resolve().parent.parent
RUNNER = Path(__file__).resolve().with_name("run_one.py")
# Generous limits: a script that loops forever by mistake fails its test instead of hanging the
# run or filling the memory with its trace.
CHILD_TIMEOUT = 60
OUTPUT_LIMIT = 128 << 20

Source = Union[str, bytes]
_counter = itertools.count()


def _child_setup() -> Tuple[List[str], dict]:
    env = dict(os.environ)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    package_dir = Path(tarn.__file__).resolve().parent
    if Path(Brindle.__file__).resolve().parent == package_dir:
        # A regular install: skipping site-packages set-up makes each child start faster.
        env["PYTHONPATH"] = str(package_dir.parent)
        return [sys.executable, "-S"], env
    # An editable install finds the module through an import hook that the site module sets up.
    return [sys.executable], env


_PYTHON_CMD, _CHILD_ENV = _child_setup()


@pytest.fixture(scope="session")
def python_cmd() -> List[str]:
    """The interpreter command line for a child process that imports tarn."""
    return list(_PYTHON_CMD)


@pytest.fixture(scope="session")
def child_env() -> dict:
    """The environment for such a child process."""
    return dict(_CHILD_ENV)


def write_script(directory: Path, source: Source) -> Path:
    path = directory / f"script{next(_counter)}.lua"
    path.write_bytes(source.encode("utf-8") if isinstance(source, str) else source)
    return path


@pytest.fixture
def lua_file(tmp_path):
    """lua_file(source) -> path of a new script file holding `source`."""
    return lambda source: write_script(tmp_path, source)


def _collect(proc: subprocess.Popen) -> bytes:
    """All of the child's stdout, or a test failure if it runs too long or prints too much (a
    script that loops forever by mistake prints its trace without end)."""
    assert proc.stdout is not None
    fd = proc.stdout.fileno()
    deadline = time.monotonic() + CHILD_TIMEOUT
    chunks: List[bytes] = []
    size = 0
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            proc.kill()
            proc.wait()
            pytest.fail(f"script still running after {CHILD_TIMEOUT} s", pytrace=False)
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            continue
        data = os.read(fd, 1 << 20)
        if not data:
            break
        size += len(data)
        if size > OUTPUT_LIMIT:
            proc.kill()
            proc.wait()
            head = b"".join(chunks)[:2000].decode("utf-8", "replace")
            pytest.fail(f"script printed more than {OUTPUT_LIMIT >> 20} MiB; it began:\n{head}", pytrace=False)
        chunks.append(data)
    proc.wait(max(deadline - time.monotonic(), 1))
    return b"".join(chunks)


def _run_child(directory: Path, source: Source) -> Tuple[bytes, Optional[str]]:
    script = write_script(directory, source)
    error_file = script.with_suffix(".err")
    with tempfile.TemporaryFile() as stderr, subprocess.Popen(
        _PYTHON_CMD + [str(RUNNER), str(script), str(error_file)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=stderr,
        env=_CHILD_ENV,
    ) as proc:
        out = _collect(proc)
        if proc.returncode != 0:
            stderr.seek(0)
            pytest.fail(
                f"interpreter process ended with status {proc.returncode}\n"
                f"stderr:\n{stderr.read().decode('utf-8', 'replace')}",
                pytrace=False,
            )
    check_trace(out)
    if not error_file.exists():
        return out, None
    head, _, message = error_file.read_text(encoding="utf-8", errors="surrogateescape").partition("\n")
    if head != "panic":
        pytest.fail(f"raw_input raised {head[len('other:'):]}: {message}", pytrace=False)
    return out, message


@pytest.fixture
def run_lua_bytes(tmp_path):
    """run_lua_bytes(source) -> (exact bytes of fd 1, PanicException message or None)."""
    return lambda source: _run_child(tmp_path, source)


@pytest.fixture
def run_lua(tmp_path):
    """run_lua(source) -> (fd 1 decoded as UTF-8 with surrogate escapes, message or None)."""

    def run(source: Source) -> Tuple[str, Optional[str]]:
        out, error = _run_child(tmp_path, source)
        return out.decode("utf-8", "surrogateescape"), error

    return run


@pytest.fixture
def run_inproc(tmp_path, capfd):
    """run_inproc(source) -> (stdout, message or None), run in this process under capfd."""

    def run(source: Source) -> Tuple[str, Optional[str]]:
        script = write_script(tmp_path, source)
        capfd.readouterr()
        error = None
        try:
            Brindle.raw_input(str(script))
        except BaseException as exc:
            if not tarn.is_panic(exc):
                raise
            error = str(exc)
        out = capfd.readouterr().out
        check_trace(out.encode("utf-8", "surrogateescape"))
        return out, error

    return run
