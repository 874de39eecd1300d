"""tarn: a tracing interpreter for a subset of Lua.

``Brindle.raw_input(path)`` compiles the script at ``path``, prints the listing of every
compiled function on standard output (file descriptor 1), then runs it and prints one trace
line per executed instruction, interleaved with the script's own output. Any error in the
script stops the run with ``pyo3_runtime.PanicException``, which derives from
``BaseException``: catch it explicitly (see :func:`is_panic`). :func:`run` runs a script with
its output captured and returns it with the stop message, if any.
"""

import os as _os

# The lock type threading.RLock is, taken from the built-in module: importing threading would
# add milliseconds to every run's start-up.
from _thread import RLock as _RLock

__version__ = "0.1.0"

__all__ = ["Brindle", "Result", "ScriptError", "is_panic", "raw_input", "run", "sum_as_string"]

# Loaded on first use: run and its types need typing, and the command line needs neither them
# nor the Brindle module (loading a native module is a good part of its start-up).
_LAZY = ("Result", "ScriptError", "run")
_FROM_BRINDLE = ("raw_input", "sum_as_string")


# The lock that serialises runs. Every ``Brindle.raw_input`` call holds it for the whole of its
# run (the native module acquires it without holding the interpreter lock while it waits), so the
# output of two runs never interleaves on file descriptor 1. Code that redirects file descriptor
# 1 around a run holds it too, so that the redirect and the run form one unit. It is re-entrant
# so that such code can hold it across its own ``raw_input`` call. It lives here, in the module
# every run has loaded already, rather than in a module of its own that each command-line run
# would have to find and load.
#
# A child made by ``os.fork`` has only the thread that forked: a run that another thread was in
# does not go on there, so the child finds the lock released. It stays the same object (the
# native modules keep the one they first fetched) and a plain C lock, whose acquire and release
# run no Python code where a KeyboardInterrupt could strike between taking and giving back.
_run_lock = _RLock()


def _released_in_child() -> None:
    if getattr(_run_lock, "_is_owned")():
        return  # held by the thread that forked, which releases it itself
    reinit = getattr(_run_lock, "_at_fork_reinit", None)
    if reinit is not None:
        reinit()
        return
    # Python 3.8 has no reinit; this releases whatever thread held it.
    try:
        getattr(_run_lock, "_release_save")()
    except RuntimeError:
        pass  # not held


_os.register_at_fork(after_in_child=_released_in_child)


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
