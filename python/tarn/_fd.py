"""Descriptor plumbing for ``tarn.run`` and the command line.

The interpreter writes to file descriptors 1 and 2 directly, so capturing what a run writes
means pointing those descriptors at a file for the length of the run. Every descriptor opened
here is kept above 2: were one of the standard descriptors closed, a new file would otherwise
take its number and receive output meant for it. Only ``os`` and ``errno`` are needed, so the
command line starts without loading ``tempfile``.
"""

import errno
import os


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
    """Everything in the file behind ``fd``, from its start."""
    os.lseek(fd, 0, os.SEEK_SET)
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


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
