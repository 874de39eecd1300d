"""The lock that serialises runs.

Every ``Brindle.raw_input`` call holds ``lock`` for the whole of its run (the native module
acquires it without holding the interpreter lock while it waits), so the output of two runs
never interleaves on file descriptor 1. Code that redirects file descriptor 1 around a run
holds it too, so that the redirect and the run form one unit. It is re-entrant so that such
code can hold it across its own ``raw_input`` call.
"""

# The lock type threading.RLock is, taken from the built-in module: importing threading would
# add milliseconds to every run's start-up.
from _thread import RLock

lock = RLock()
