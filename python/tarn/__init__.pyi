import os
from typing import List, NamedTuple, Optional, Union

from . import Brindle as Brindle
from .Brindle import raw_input as raw_input
from .Brindle import sum_as_string as sum_as_string

__version__: str
__all__: List[str]

class Result(NamedTuple):
    """What a run wrote to standard output, and the message it stopped with (None if none)."""

    output: bytes
    error: Optional[str]

def run(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> Result:
    """Run the script at ``path`` with file descriptor 1 captured; a stop is returned, not raised."""

def is_panic(exc: BaseException) -> bool:
    """Tell whether ``exc`` is the exception that reports a fatal stop of the interpreter."""
