"""Command line: ``tarn [--memory-limit SIZE] [FILE | -]`` runs one script.

Start-up time matters here (a script run is often shorter than Python's start), so this module
imports nothing beyond ``os``, ``sys`` and the package, and parses its few options by hand.
"""

import os
import sys

if False:  # for type checkers only: typing is not imported at run time, for start-up's sake
    from typing import List, Optional, Sequence, Tuple

from . import Brindle, __version__, _fd, is_panic

USAGE = "usage: {prog} [-h] [--version] [--memory-limit SIZE] [FILE | -]\n"

HELP = """
Compile a script, print the listing of every compiled function, then run it and print one
trace line per executed instruction, interleaved with the script's own output.

arguments:
  FILE                 the script to run; '-', or no FILE while standard input is not a
                       terminal, reads the script from standard input

options:
  -h, --help           show this help and exit
  --version            show the version and exit
  --memory-limit SIZE  stop the run with "out of memory" when it needs more than SIZE
                       bytes: a positive integer, optionally followed by K, M or G (KiB,
                       MiB, GiB; any case). Sets TARN_MEMORY_LIMIT for the run; without
                       either, the limit is the smaller of 4G and half the physical memory

exit status:
  0    the script ran to its end
  1    the script stopped; its message is printed as "error: MESSAGE"
  2    usage error
  130  interrupted (Ctrl-C)
  141  the reader of standard output went away (nothing is printed)
"""

MEMORY_VARIABLE = "TARN_MEMORY_LIMIT"
SIZE_GRAMMAR = "a positive integer of bytes, optionally followed by K, M or G"
# The stop of a run whose standard output was closed by its reader: like any program killed by
# SIGPIPE, the command then ends quietly with 128 + 13.
BROKEN_PIPE = "failed printing to stdout: Broken pipe (os error 32)"
BROKEN_PIPE_STATUS = 141
DIAGNOSTIC_HEAD = b"tarn: fatal error "


class UsageError(Exception):
    pass


def parse_size(text: str) -> int:
    """The byte count of a memory size such as ``512M``; raises ``ValueError`` if malformed.

    The grammar is the module's own, the one it applies to TARN_MEMORY_LIMIT. Its module is
    imported here, only when a size is given, to keep it out of every other start.
    """
    from . import _core

    return _core.parse_size(text)


def parse_args(args: "List[str]") -> "Tuple[str, Optional[str], Optional[str]]":
    """Returns (action, script, memory limit). The action is "help", "version" or "run"; the
    script is None when it is to be read from standard input. A help or version request wins
    over any usage error, wherever it stands before ``--``."""
    script = None
    limit = None
    problem = None
    action = "run"
    files_only = False
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if files_only or arg == "-" or not arg.startswith("-"):
            if script is not None:
                problem = problem or f"unexpected argument '{arg}': one script at a time"
            script = arg
        elif arg == "--":
            files_only = True
        elif arg in ("-h", "--help"):
            action = "help"
        elif arg == "--version":
            action = "version" if action == "run" else action
        elif arg == "--memory-limit" or arg.startswith("--memory-limit="):
            if "=" in arg:
                value = arg.partition("=")[2]
            elif i < len(args):
                value = args[i]
                i += 1
            else:
                problem = problem or "option --memory-limit needs a SIZE"
                continue
            try:
                parse_size(value)
                limit = value
            except ValueError:
                problem = problem or f"invalid --memory-limit SIZE '{value}': expected {SIZE_GRAMMAR}"
        else:
            problem = problem or f"unrecognized option '{arg}'"
    if action == "run" and problem:
        raise UsageError(problem)
    return action, script, limit


def write(fd: int, text: str) -> None:
    """Writes to a standard descriptor directly (``sys.stdout`` is None when it is closed);
    a descriptor that cannot take it leaves nowhere to report that."""
    try:
        _fd.write_all(fd, os.fsencode(text))
    except OSError:
        pass


def say(text: str) -> int:
    """Prints help or version text; returns the exit status."""
    try:
        _fd.write_all(1, os.fsencode(text))
        return 0
    except BrokenPipeError:
        return BROKEN_PIPE_STATUS
    except OSError as exc:
        write(2, f"error: cannot write to standard output: {exc.strerror}\n")
        return 1


def copy_stdin() -> str:
    """Copies standard input to a named temporary file (the interpreter opens scripts by
    path) and returns its path; the caller deletes it."""
    import tempfile

    fd, path = tempfile.mkstemp(prefix="tarn-stdin-", suffix=".lua")
    try:
        with os.fdopen(_fd.above_stdio(fd), "wb") as f:
            while True:
                try:
                    chunk = os.read(0, 1 << 16)
                except BlockingIOError:
                    # A non-blocking standard input with nothing in it yet: wait for data.
                    import select

                    select.select([0], [], [])
                    continue
                if not chunk:
                    break
                f.write(chunk)
    except BaseException:
        os.unlink(path)
        raise
    return path


def strip_diagnostic(err: bytes, message: str) -> bytes:
    """``err`` without the diagnostic block that the interpreter writes last when a run
    stops: a heading line, the message and a line feed. Left whole if the block is not found."""
    end = len(err)
    while True:
        start = err.rfind(DIAGNOSTIC_HEAD, 0, end)
        if start < 0:
            return err
        if start == 0 or err[start - 1 : start] == b"\n":
            body = err[err.find(b"\n", start) + 1 :]
            # The message reached Python decoded with replacement characters.
            if body.decode("utf-8", "replace") == message + "\n":
                return err[:start]
        end = start


def run_script(script: str) -> int:
    """Runs the script and reports the outcome; returns the exit status."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    # The interpreter writes the diagnostic block of a stop to descriptor 2 for its library
    # callers; here the stop is reported once, as "error: MESSAGE". Descriptor 2 goes to a file
    # during the run, and whatever else arrived there is passed on afterwards.
    err = _fd.temp_file()
    try:
        message = None
        status = 0
        try:
            with _fd.Redirected(2, err):
                Brindle.raw_input(script)
        except KeyboardInterrupt:
            status = 130
        except ValueError as exc:
            # The interpreter refused the memory limit taken from the environment.
            message, status = str(exc), 2
        except BaseException as exc:
            if not is_panic(exc):
                raise
            message, status = str(exc), 1
        captured = _fd.read_all(err)
    finally:
        os.close(err)
    if status == 1 and message is not None:
        captured = strip_diagnostic(captured, message)
    try:
        _fd.write_all(2, captured)
    except OSError:
        pass
    if status == 130:
        write(2, "interrupted\n")
    elif message == BROKEN_PIPE:
        return BROKEN_PIPE_STATUS
    elif message is not None:
        write(2, f"error: {message}\n")
    return status


def main(argv: "Optional[Sequence[str]]" = None, prog: "Optional[str]" = None) -> int:
    """The ``tarn`` command; ``argv`` defaults to ``sys.argv[1:]``. Returns the exit status."""
    if prog is None:
        prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "tarn"
    args = sys.argv[1:] if argv is None else list(argv)
    usage = USAGE.format(prog=prog)
    try:
        action, script, limit = parse_args(args)
        if action == "help":
            return say(usage + HELP)
        if action == "version":
            return say(f"tarn {__version__}\n")
        inherited = os.environ.get(MEMORY_VARIABLE)
        if limit is None and inherited:
            try:
                parse_size(inherited)
            except ValueError:
                raise UsageError(f"invalid {MEMORY_VARIABLE} '{inherited}': expected {SIZE_GRAMMAR}") from None
        if script is None and (os.isatty(0) or not is_open(0)):
            raise UsageError("no script given: name a FILE, or '-' to read standard input")
    except UsageError as exc:
        write(2, f"{usage}{prog}: error: {exc}\n")
        return 2
    if limit is not None:
        os.environ[MEMORY_VARIABLE] = limit
    try:
        if script is not None and script != "-":
            return run_script(script)
        path = copy_stdin()
        try:
            return run_script(path)
        finally:
            os.unlink(path)
    except KeyboardInterrupt:
        write(2, "interrupted\n")
        return 130
    finally:
        # main() may be called from a program that goes on: leave its environment as it was.
        if limit is not None:
            if inherited is None:
                del os.environ[MEMORY_VARIABLE]
            else:
                os.environ[MEMORY_VARIABLE] = inherited


def is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main(prog=os.path.basename(sys.executable or "python") + " -m tarn"))
