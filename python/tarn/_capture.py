"""``tarn.run``: one run with its standard output captured.

Loaded on first use of ``tarn.run``, ``tarn.Result`` or ``tarn.ScriptError`` (see
``tarn.__getattr__``), so that the command line does not pay for ``typing``.
"""

import errno
import os
import stat
import sys
from collections import deque
from itertools import compress
from operator import methodcaller
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _core, _fd
from . import _run_lock as lock
from ._fd import CALL, END

ACQUIRE = methodcaller("acquire")

if TYPE_CHECKING:
    from typing_extensions import disjoint_base
else:
    # Only type checkers need the mark (a tuple subclass with attributes of its own cannot share
    # a class with another such base); typing_extensions is not needed at run time.
    def disjoint_base(cls):
        return cls


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


class _Outcome(NamedTuple):
    #: Everything the run wrote to standard output: listings, trace and program output (empty
    #: when it was written to the ``output`` that :func:`run` was given).
    output: bytes
    #: The message the run stopped with, or None if the script ran to its end.
    error: Optional[str]


@disjoint_base
class Result(_Outcome):
    """The outcome of :func:`run`: a pair ``(output, error)``, as it has always been, with more
    about the run as attributes."""

    #: Where in the script it stopped ("path:line:" at run time, "path:line:col:" at compile
    #: time), when known.
    location: Optional[str]
    #: The calls active at the stop, innermost first ("path:line: in function 'f'").
    traceback: Tuple[str, ...]
    #: The number of instructions the run executed (the number of trace lines of a traced run).
    instructions: int
    #: Execution counts, when a profile was asked for (see docs/profile.md).
    profile: Optional[Dict[str, Any]]

    def __new__(
        cls,
        output: bytes,
        error: Optional[str],
        location: Optional[str] = None,
        traceback: Sequence[str] = (),
        instructions: int = 0,
        profile: Optional[Dict[str, Any]] = None,
    ) -> "Result":
        self = super().__new__(cls, output, error)
        self.location = location
        self.traceback = tuple(traceback)
        self.instructions = instructions
        self.profile = profile
        return self

    @property
    def ok(self) -> bool:
        """True if the script ran to its end."""
        return self.error is None

    def check(self) -> "Result":
        """Raises :class:`ScriptError` if the script stopped; returns the result otherwise."""
        if self.error is not None:
            raise ScriptError(self.error, self.location, self.traceback)
        return self


#: The output limit of a run whose output :func:`run` holds in memory.
DEFAULT_MAX_OUTPUT = 1 << 30
_UNSET: Any = object()
MODES = ("trace", "list", "quiet")

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _execute(script: str, text: Optional[bytes], options: Dict[str, Any]) -> Dict[str, Any]:
    """Runs the script; returns the native report. (A function of its own: where descriptors
    are held, a tracing hook that raises at the line of a statement would find no handler.)"""
    return _core.run(script, text=text, **options)


def run_core(
    script: str, text: Optional[bytes], output: Any, options: Dict[str, Any]
) -> Tuple[bytes, Dict[str, Any]]:
    """One run through the native core with file descriptor 1 sent to ``output`` (None: a
    temporary file whose content is returned; a path; a binary file object with a descriptor,
    or one with only ``write``). Returns the captured bytes and the native report.

    File descriptor 1 is restored and every descriptor opened here closed on every way out, an
    exception at any point of this code included.
    """
    target: Optional[str] = None
    writer: Any = None
    fileno = -1
    if output is not None:
        if isinstance(output, (str, bytes, os.PathLike)):
            target = os.fsdecode(os.fspath(output))
        elif hasattr(output, "fileno"):
            if hasattr(output, "flush"):
                output.flush()
            fileno = output.fileno()
        elif hasattr(output, "write"):
            writer = output
        else:
            raise TypeError("output must be a path, a binary file or an object with write()")
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
            if fileno >= 0:
                out = fileno
            elif target is not None:
                out = _fd.open_path(steps, target)
            else:
                out = _fd.open_temp(steps)
            _fd.redirect(steps, out, 1)
            result = _execute(script, text, options)
            captured = _fd.read_all(out) if fileno < 0 and target is None else b""
        finally:
            # See _fd: inline, and repeated below for when an exception stops it here.
            deque(map(CALL, iter(steps.pop, END)), 0) if steps else None
    finally:
        deque(map(CALL, iter(steps.pop, END)), 0) if steps else None
    if writer is not None:
        writer.write(captured)
        captured = b""
    return captured, result


def _script_path(path: PathArg) -> str:
    """The script's path as text, or the error open() would raise for it.

    Asked of the file's status, not by opening it: a descriptor opened here would leak were an
    interrupt to land between its opening and the code that closes it.
    """
    script = os.fsdecode(os.fspath(path))
    if stat.S_ISDIR(os.stat(script).st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), script)
    if not os.access(script, os.R_OK, effective_ids=os.access in os.supports_effective_ids):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), script)
    return script


def run(
    path: Optional[PathArg] = None,
    *,
    source: Union[str, bytes, None] = None,
    name: Optional[str] = None,
    mode: str = "trace",
    annotate: bool = False,
    max_instructions: Optional[int] = None,
    timeout: Optional[float] = None,
    max_output: Union[int, str, None] = _UNSET,
    memory_limit: Union[int, str, None] = None,
    output: Any = None,
    profile: bool = False,
) -> Result:
    """Compiles and runs a script, with what it writes to file descriptor 1 captured.

    The script is the file at ``path``, or the text ``source`` (``name`` names it in messages;
    "<source>" by default). ``mode`` is "trace" (listings, then the trace interleaved with the
    program's output), "list" (listings only; nothing runs) or "quiet" (the program's output
    only); ``annotate`` adds source lines and function names to listings and trace. A first
    line starting with '#' is skipped. Limits stop the run with a message: ``max_instructions``
    (instructions executed), ``timeout`` (seconds of wall time), ``max_output`` (bytes of
    output, as an int or a size such as "512M"; 1 GiB by default when the output is captured,
    None for none), ``memory_limit`` (bytes or a size; TARN_MEMORY_LIMIT or the default when
    None). ``output`` takes the output instead of the result: a path, a binary file, or an
    object with ``write``. ``profile`` counts every instruction's executions into
    ``Result.profile``.

    A stop is returned in ``Result.error``, not raised (see :meth:`Result.check`); a script
    file that cannot be opened raises the OSError open() would, and ``KeyboardInterrupt`` and
    argument errors are raised. File descriptor 1 is restored in every case. The diagnostic
    block of a stop goes to standard error.
    """
    if (path is None) == (source is None):
        raise TypeError("run() takes the script as path or as source=, exactly one of them")
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
    text: Optional[bytes] = None
    if source is not None:
        text = source.encode("utf-8", "surrogateescape") if isinstance(source, str) else bytes(source)
        script = "<source>" if name is None else name
    else:
        assert path is not None
        if name is not None:
            raise TypeError("run() takes name= only with source=")
        script = _script_path(path)
    if max_output is _UNSET:
        max_output = DEFAULT_MAX_OUTPUT if output is None else None
    elif isinstance(max_output, str):
        max_output = _core.parse_size(max_output)
    options: Dict[str, Any] = {
        "mode": mode,
        "annotate": annotate,
        "skip_shebang": True,
        "memory_limit": memory_limit,
        "max_instructions": max_instructions,
        "timeout": timeout,
        "max_output": max_output,
        "profile": profile,
        "diagnostics": True,
    }
    captured, result = run_core(script, text, output, options)
    return Result(
        captured,
        result["error"],
        result["location"],
        result["traceback"],
        result["instructions"] or 0,
        result["profile"],
    )
