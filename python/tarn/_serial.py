"""The lock that serialises runs.

Every ``Brindle.raw_input`` call holds ``lock`` for the whole of its run (the native module
acquires it without holding the interpreter lock while it waits), so the output of two runs
never interleaves on file descriptor 1. Code that redirects file descriptor 1 around a run
holds it too, so that the redirect and the run form one unit. It is re-entrant so that such
code can hold it across its own ``raw_input`` call.

A child made by ``os.fork`` has only the thread that forked: a run that another thread was in
does not go on there, so the child finds the lock released. It stays the same object (the
native module keeps the one it first fetched) and a plain C lock, whose acquire and release run
no Python code where a KeyboardInterrupt could strike between taking and giving back.
"""

import os

# The lock type threading.RLock is, taken from the built-in module: importing threading would
# add milliseconds to every run's start-up.
from _thread import RLock

lock = RLock()


def _released_in_child() -> None:
    if getattr(lock, "_is_owned")():
        return  # held by the thread that forked, which releases it itself
    reinit = getattr(lock, "_at_fork_reinit", None)
    if reinit is not None:
        reinit()
        return
    # Python 3.8 has no reinit; this releases whatever thread held it.
    try:
        getattr(lock, "_release_save")()
    except RuntimeError:
        pass  # not held


os.register_at_fork(after_in_child=_released_in_child)
