from typing import Any, Dict, Literal, Optional, Tuple, Union

def parse_size(text: str, /) -> int: ...
def last_run_memory() -> Tuple[int, int]: ...
def run(
    script: Union[str, bytes],
    *,
    text: Union[str, bytes, None] = None,
    mode: Literal["trace", "list", "quiet"] = "trace",
    annotate: bool = False,
    skip_shebang: bool = False,
    memory_limit: Union[int, str, None] = None,
    max_instructions: Optional[int] = None,
    timeout: Optional[float] = None,
    max_output: Optional[int] = None,
    metered: bool = True,
    profile: bool = False,
    steps: int = 0,
    diagnostics: bool = False,
) -> Dict[str, Any]:
    """Run a script (the file ``script``, or ``text`` named ``script``) with its output on file
    descriptor 1; returns the report: error, location, traceback, instructions, profile, steps,
    output_error and memory."""
