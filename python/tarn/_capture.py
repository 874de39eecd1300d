"""``tarn.run``: one run with its standard output captured.

Loaded on first use of ``tarn.run``, ``tarn.Result`` or ``tarn.ScriptError`` (see
``tarn.__getattr__``), so that the command line does not pay for ``typing``.
"""

import os
import sys
from collections import deque
from itertools import compress
from operator import methodcaller
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import Brindle, _fd, is_panic
from ._fd import CALL, END
from ._serial import lock

ACQUIRE = methodcaller("acquire")


class ScriptError(Exception):
    """A script's run stopped: raised by :meth:`Result.check`."""

    def __init__(self, message: str, location: Optional[str] = None, traceback: Sequence[str] = ()) -> None:
        super().__init__(message)
        #: The message the run stopped with.
        self.message = message
        #: Where in the script it stopped ("path:line:" or "path:line:col:"), when known.
        self.location = location
        #: The calls active at the stop, innermost first, when known.
        self.traceback = tuple(traceback)

    def __str__(self) -> str:
        return self.message if self.location is None else f"{self.location} {self.message}"


class Result(NamedTuple):
    """The outcome of :func:`run`."""

    #: Everything the run wrote to standard output: listings, trace and program output.
    output: bytes
    #: The message the run stopped with, or None if the script ran to its end.
    error: Optional[str]
    #: Where in the script it stopped, when known.
    location: Optional[str] = None
    #: The calls active at the stop, innermost first, when known.
    traceback: Tuple[str, ...] = ()
    #: The number of instructions the run executed (0 where the interpreter does not count them).
    instructions: int = 0
    #: Execution counts, when a profile was asked for.
    profile: Optional[Dict[str, Any]] = None

    @property
    def ok(self) -> bool:
        """True if the script ran to its end."""
        return self.error is None

    def check(self) -> "Result":
        """Raises :class:`ScriptError` if the script stopped; returns the result otherwise."""
        if self.error is not None:
            raise ScriptError(self.error, self.location, self.traceback)
        return self


def _execute(script: str) -> Optional[str]:
    """Runs the script; returns the stop message, or None. (A try statement of its own: where
    descriptors are held, a tracing hook that raises at the line of a ``try`` would find no
    handler around it.)"""
    try:
        Brindle.raw_input(script)
    except BaseException as exc:
        if not is_panic(exc):
            raise
        return str(exc)
    return None


def run(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> Result:
    """Runs the script at ``path`` with file descriptor 1 sent to a temporary file.

    Returns what the run wrote there and the stop message, if the script stopped; a stop is
    not raised. ``KeyboardInterrupt`` and argument errors are. File descriptor 1 is restored
    and every descriptor opened here closed on every way out, an exception at any point of
    this code included. The diagnostic block of a stop still goes to standard error.
    """
    script = os.fsdecode(os.fspath(path))
    steps: List[Any] = [END]
    try:
        try:
            # The redirect and the run form one unit under the lock that every run holds, so no
            # other run can write into this run's file or find descriptor 1 pointing at it. Its
            # release is an undo step like the others, recorded in the same C-level expression
            # that acquires it (a with statement would leave it taken if a tracing hook raised
            # at the with line, which Python reports again on the way out).
            steps.extend(compress((lock.release,), map(ACQUIRE, (lock,))))
            if sys.stdout is not None:
                sys.stdout.flush()
            out = _fd.open_temp(steps)
            _fd.redirect(steps, out, 1)
            error = _execute(script)
            return Result(_fd.read_all(out), error)
        finally:
            # See _fd: inline, and repeated below for when an exception stops it here.
            deque(map(CALL, iter(steps.pop, END)), 0) if steps else None
    finally:
        deque(map(CALL, iter(steps.pop, END)), 0) if steps else None
