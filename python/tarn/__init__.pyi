import _thread
import os
from typing import Any, BinaryIO, Dict, Literal, Optional, Sequence, Tuple, Union

from . import Brindle as Brindle
from .Brindle import raw_input as raw_input
from .Brindle import sum_as_string as sum_as_string

__version__: str
_run_lock: _thread.RLock
__all__ = ["Brindle", "Result", "ScriptError", "is_panic", "raw_input", "run", "sum_as_string"]

from _typeshed import SupportsWrite
from typing_extensions import disjoint_base

from ._capture import _Outcome

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class ScriptError(Exception):
    """A script's run stopped: raised by ``Result.check()``."""

    message: str
    location: Optional[str]
    traceback: Tuple[str, ...]
    def __init__(self, message: str, location: Optional[str] = ..., traceback: Sequence[str] = ...) -> None: ...

@disjoint_base
class Result(_Outcome):
    """What a run wrote to standard output and the message it stopped with (None if none): a
    pair ``(output, error)``, with more about the run as attributes."""

    location: Optional[str]
    traceback: Tuple[str, ...]
    instructions: int
    profile: Optional[Dict[str, Any]]
    def __new__(
        cls,
        output: bytes,
        error: Optional[str],
        location: Optional[str] = ...,
        traceback: Sequence[str] = ...,
        instructions: int = ...,
        profile: Optional[Dict[str, Any]] = ...,
    ) -> Result: ...
    @property
    def ok(self) -> bool:
        """True if the script ran to its end."""
    def check(self) -> Result:
        """Raise ScriptError if the script stopped; return the result otherwise."""

def run(
    path: Optional[_Path] = None,
    *,
    source: Union[str, bytes, None] = None,
    name: Optional[str] = None,
    mode: Literal["trace", "list", "quiet"] = "trace",
    annotate: bool = False,
    max_instructions: Optional[int] = None,
    timeout: Optional[float] = None,
    max_output: Union[int, str, None] = ...,
    memory_limit: Union[int, str, None] = None,
    output: Union[_Path, BinaryIO, SupportsWrite[bytes], None] = None,
    profile: bool = False,
) -> Result:
    """Run the script at ``path`` (or the text ``source``) with file descriptor 1 captured (or
    sent to ``output``); a stop is returned, not raised. ``max_output`` is 1 GiB by default when
    the output is captured; None lifts it."""

def is_panic(exc: BaseException) -> bool:
    """Tell whether ``exc`` is the exception that reports a fatal stop of the interpreter."""
