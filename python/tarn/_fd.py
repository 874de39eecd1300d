"""Descriptor plumbing for ``tarn.run`` and the command line.

The interpreter writes to file descriptors 1 and 2 directly, so capturing what a run writes
means pointing those descriptors at a file for the length of the run. Every descriptor opened
here is kept above 2: were one of the standard descriptors closed, a new file would otherwise
take its number and receive output meant for it. Only ``os`` and ``errno`` are needed, so the
command line starts without loading ``tempfile``.
"""

import errno
import os
from functools import partial
from operator import methodcaller

if False:  # for type checkers only: the command line starts without typing
    from typing import Any, List


def above_stdio(fd: int) -> int:
    """Returns ``fd`` if it is above 2, else a duplicate above 2 (and closes ``fd``)."""
    if fd > 2:
        return fd
    import fcntl

    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


# Unnamed files need no name to be made up, and nothing is left behind if the process dies.
O_TMPFILE = getattr(os, "O_TMPFILE", 0)


def temp_file() -> int:
    """A new anonymous file for reading and writing, deleted when its descriptor is closed."""
    if O_TMPFILE:
        try:
            directory = os.environ.get("TMPDIR") or "/tmp"
            return above_stdio(os.open(directory, os.O_RDWR | os.O_CLOEXEC | O_TMPFILE, 0o600))
        except OSError:
            # The file system does not support unnamed files, or TMPDIR names no directory:
            # the general route below finds a usable directory itself.
            pass
    import tempfile

    with tempfile.TemporaryFile() as f:
        return above_stdio(os.dup(f.fileno()))


def read_all(fd: int) -> bytes:
    """Everything in the file behind ``fd``, from its start, read into one buffer of the file's
    size: the peak memory is the content, not twice the content."""
    import io

    os.lseek(fd, 0, os.SEEK_SET)
    with io.FileIO(fd, "rb", closefd=False) as f:
        return f.readall()


# Undo lists
#
# Code that takes descriptors and must give them back on every way out, whatever exception
# strikes wherever, keeps a list that starts with END and records an undo step for each
# descriptor in the same C-level expression that takes it: a step is a partial of a C function,
# and the taking and recording run inside one list.extend over map objects, so no bytecode, and
# with it no signal handler and no tracing hook, runs between them. The steps are undone by
#
#     deque(map(CALL, iter(steps.pop, END)), 0)
#
# which pops and calls every step down to END, again without a bytecode in between. Written
# inline in a finally block (a function call would check for signals on entry) and repeated in
# an enclosing one, it goes on where an exception stopped it.

END = object()
CALL = methodcaller("__call__")
_closer = partial(partial, os.close)


def save(steps: "List[Any]", target: int) -> int:
    """A duplicate above 2 of descriptor ``target``, closed by ``steps``; -1 if ``target`` is
    closed."""
    import fcntl

    try:
        steps.extend(map(_closer, map(fcntl.fcntl, (target,), (fcntl.F_DUPFD_CLOEXEC,), (3,))))
    except OSError as exc:
        if exc.errno != errno.EBADF:
            raise
        return -1
    return int(steps[-1].args[0])


def redirect(steps: "List[Any]", fd: int, target: int) -> None:
    """Points descriptor ``target`` at the file of ``fd``; ``steps`` points it back at what it
    was (or closes it again if it was closed)."""
    saved = save(steps, target)
    steps.append(partial(os.dup2, saved, target) if saved >= 0 else partial(os.close, target))
    os.dup2(fd, target)


def open_temp(steps: "List[Any]") -> int:
    """temp_file() with an undo step: a new anonymous file above 2, closed by ``steps``."""
    import fcntl

    if O_TMPFILE:
        directory = os.environ.get("TMPDIR") or "/tmp"
        try:
            steps.extend(map(_closer, map(os.open, (directory,), (os.O_RDWR | os.O_CLOEXEC | O_TMPFILE,), (0o600,))))
        except OSError:
            pass  # as in temp_file()
        else:
            if steps[-1].args[0] <= 2:
                # A standard descriptor was closed and the file took its number: move it up
                # and give the number back at once.
                steps.extend(map(_closer, map(fcntl.fcntl, (steps[-1].args[0],), (fcntl.F_DUPFD_CLOEXEC,), (3,))))
                steps.pop(-2)()
            return int(steps[-1].args[0])
    import tempfile

    with tempfile.TemporaryFile() as f:
        steps.extend(map(_closer, map(fcntl.fcntl, (f.fileno(),), (fcntl.F_DUPFD_CLOEXEC,), (3,))))
    return int(steps[-1].args[0])


def open_path(steps: "List[Any]", path: str) -> int:
    """The file at ``path`` opened for writing (made or emptied), above 2, closed by ``steps``."""
    import fcntl

    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC
    steps.extend(map(_closer, map(os.open, (path,), (flags,), (0o666,))))
    if steps[-1].args[0] <= 2:
        # As in open_temp: a standard descriptor was closed and the file took its number.
        steps.extend(map(_closer, map(fcntl.fcntl, (steps[-1].args[0],), (fcntl.F_DUPFD_CLOEXEC,), (3,))))
        steps.pop(-2)()
    return int(steps[-1].args[0])


def write_all(fd: int, data: bytes) -> None:
    """Writes all of ``data`` to ``fd``; raises ``OSError`` if it cannot."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


class Redirected:
    """Context manager: descriptor ``target`` refers to the file of ``fd`` within the block and
    to what it referred to before (or is closed again) afterwards, also when the block raises."""

    def __init__(self, target: int, fd: int) -> None:
        self.target = target
        self.fd = fd
        self.saved = -1

    def __enter__(self) -> "Redirected":
        try:
            self.saved = above_stdio(os.dup(self.target))
        except OSError as exc:
            if exc.errno != errno.EBADF:
                raise
            self.saved = -1
        try:
            os.dup2(self.fd, self.target)
        except BaseException:
            self._restore()
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._restore()

    def _restore(self) -> None:
        if self.saved < 0:
            try:
                os.close(self.target)
            except OSError:
                pass
            return
        try:
            os.dup2(self.saved, self.target)
        finally:
            os.close(self.saved)
            self.saved = -1
