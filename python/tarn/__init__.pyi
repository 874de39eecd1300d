import os
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import Brindle as Brindle
from .Brindle import raw_input as raw_input
from .Brindle import sum_as_string as sum_as_string

__version__: str
__all__ = ["Brindle", "Result", "ScriptError", "is_panic", "raw_input", "run", "sum_as_string"]

class ScriptError(Exception):
    """A script's run stopped: raised by ``Result.check()``."""

    message: str
    location: Optional[str]
    traceback: Tuple[str, ...]
    def __init__(self, message: str, location: Optional[str] = ..., traceback: Sequence[str] = ...) -> None: ...

class Result(NamedTuple):
    """What a run wrote to standard output, and the message it stopped with (None if none)."""

    output: bytes
    error: Optional[str]
    location: Optional[str] = ...
    traceback: Tuple[str, ...] = ...
    instructions: int = ...
    profile: Optional[Dict[str, Any]] = ...
    @property
    def ok(self) -> bool:
        """True if the script ran to its end."""
    def check(self) -> Result:
        """Raise ScriptError if the script stopped; return the result otherwise."""

def run(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> Result:
    """Run the script at ``path`` with file descriptor 1 captured; a stop is returned, not raised."""

def is_panic(exc: BaseException) -> bool:
    """Tell whether ``exc`` is the exception that reports a fatal stop of the interpreter."""
