"""``tarn.run``: one run with its standard output captured.

Loaded on first use of ``tarn.run`` or ``tarn.Result`` (see ``tarn.__getattr__``), so that the
command line does not pay for ``typing``.
"""

import os
import sys
from typing import NamedTuple, Optional, Union

from . import Brindle, _fd, is_panic
from ._serial import lock


class Result(NamedTuple):
    """The outcome of :func:`run`."""

    #: Everything the run wrote to standard output: listings, trace and program output.
    output: bytes
    #: The message the run stopped with, or None if the script ran to its end.
    error: Optional[str]


def run(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> Result:
    """Runs the script at ``path`` with file descriptor 1 sent to a temporary file.

    Returns what the run wrote there and the stop message, if the script stopped; a stop is
    not raised. ``KeyboardInterrupt`` and argument errors are. File descriptor 1 is restored
    in every case. The diagnostic block of a stop still goes to standard error.
    """
    script = os.fsdecode(os.fspath(path))
    # The redirect and the run form one unit under the lock that every run holds, so no other
    # run can write into this run's file or find descriptor 1 pointing at it.
    with lock:
        if sys.stdout is not None:
            sys.stdout.flush()
        out = _fd.temp_file()
        try:
            error = None
            with _fd.Redirected(1, out):
                try:
                    Brindle.raw_input(script)
                except BaseException as exc:
                    if not is_panic(exc):
                        raise
                    error = str(exc)
            return Result(_fd.read_all(out), error)
        finally:
            os.close(out)
