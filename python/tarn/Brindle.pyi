def sum_as_string(a: int, b: int) -> str:
    """The decimal text of (a + b) modulo 2**64; both arguments must fit in 64 unsigned bits."""

def raw_input(prompt: str) -> None:
    """Compile and run the script file at path ``prompt``, writing its listing, trace and
    output to file descriptor 1. A fatal stop raises ``pyo3_runtime.PanicException``."""
