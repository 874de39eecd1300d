"""tarn: a tracing interpreter for a subset of Lua.

``Brindle.raw_input(path)`` compiles the script at ``path``, prints the listing of every
compiled function on standard output (file descriptor 1), then runs it and prints one trace
line per executed instruction, interleaved with the script's own output. Any error in the
script stops the run with ``pyo3_runtime.PanicException``, which derives from
``BaseException``: catch it explicitly (see :func:`is_panic`). :func:`run` runs a script with
its output captured and returns it with the stop message, if any.
"""

__version__ = "0.1.0"

__all__ = ["Brindle", "Result", "ScriptError", "is_panic", "raw_input", "run", "sum_as_string"]

# Loaded on first use: run and its types need typing, and the command line needs neither them
# nor the Brindle module (loading a native module is a good part of its start-up).
_LAZY = ("Result", "ScriptError", "run")
_FROM_BRINDLE = ("raw_input", "sum_as_string")


def is_panic(exc: BaseException) -> bool:
    """Tell whether ``exc`` is the exception that reports a fatal stop of the interpreter.

    The exception type is created by the native module the first time a run stops, so it
    cannot be imported ahead of time; this test works before and after that moment.
    """
    t = type(exc)
    return t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"


def __getattr__(name: str) -> object:
    if name in _LAZY:
        from . import _capture

        value = getattr(_capture, name)
    elif name in _FROM_BRINDLE or name == "Brindle":
        # Imported by name: `from . import Brindle` would ask this function again.
        import importlib

        brindle = importlib.import_module(".Brindle", __name__)
        value = brindle if name == "Brindle" else getattr(brindle, name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted(set(globals()) | set(_LAZY) | set(_FROM_BRINDLE) | {"Brindle"})
