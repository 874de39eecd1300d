"""Command line: ``tarn [options] [FILE | -]`` compiles and runs one script.

Start-up time matters here (a script run is often shorter than Python's start), so this module
imports nothing beyond ``os``, ``sys`` and the package's native core, and parses its options by
hand; the profile's summary, the explorer page and the helpers that write a message load their
modules only when asked for.
"""

import errno
import os
import sys

if False:  # for type checkers only: typing is not imported at run time, for start-up's sake
    from typing import Any, Dict, List, Optional, Sequence

from . import __version__

USAGE = (
    "usage: {prog} [-h] [--version] [-l | -q] [--annotate] [-e CODE] [--memory-limit SIZE]\n"
    "       [--max-instructions N] [--timeout SECONDS] [--max-output SIZE] [--profile]\n"
    "       [--profile-out PATH] [--profile-format {{text,json}}] [--html PAGE] [--html-steps N]\n"
    "       [FILE | -]\n"
)

HELP = """
Compile a script, print the listing of every compiled function, then run it and print one
trace line per executed instruction, interleaved with the script's own output.

arguments:
  FILE                  the script to run; '-', or no FILE while standard input is not a
                        terminal, reads the script from standard input. A first line
                        starting with '#' (#!/usr/bin/env tarn) is skipped

modes:
  -l, --list            compile only and print the listings; nothing runs
  -q, --quiet           run with neither listing nor trace: only what the script prints
  --annotate            listing and trace name each instruction's source line, each
                        function's header its source range, and the trace every change of
                        the running function
  -e CODE               run CODE instead of a file

limits (a run that reaches one stops with a message, exit status 1):
  --memory-limit SIZE   stop with "out of memory" past SIZE bytes: a positive integer,
                        optionally followed by K, M or G (KiB, MiB, GiB; any case). Without
                        it, TARN_MEMORY_LIMIT, else the smaller of 4G and half the memory
  --max-instructions N  stop with "instruction limit reached" before instruction N + 1
  --timeout SECONDS     stop with "time limit reached" once SECONDS have passed
  --max-output SIZE     stop with "output limit reached" before the output passes SIZE

profile and explorer:
  --profile             after the run, write exact counts to standard error: instructions
                        per function, the hottest source lines and an opcode histogram
  --profile-out PATH    write the profile to PATH instead (implies --profile)
  --profile-format FMT  'text' (the default) or 'json' (implies --profile)
  --html PAGE           run the script and write PAGE, one HTML file to explore the run:
                        the source shaded by instructions run, the listings with their
                        counts, and a stepper over the first steps
  --html-steps N        steps the page records (default 10000)

other:
  -h, --help            show this help and exit
  --version             show the version and exit

exit status:
  0    the script ran to its end
  1    the script stopped (including at a limit), printed as "error: PLACE: MESSAGE"
       with the calls that led there; or the script cannot be opened
  2    usage error
  130  interrupted (Ctrl-C)
  141  the reader of standard output went away (nothing is printed)
"""

MEMORY_VARIABLE = "TARN_MEMORY_LIMIT"
SIZE_GRAMMAR = "a positive integer of bytes, optionally followed by K, M or G"
# The stop of a run whose standard output was closed by its reader: like any program killed by
# SIGPIPE, the command then ends quietly with 128 + 13.
OUTPUT_FAILURE = "failed printing to stdout: "
BROKEN_PIPE = OUTPUT_FAILURE + "Broken pipe (os error 32)"
BROKEN_PIPE_STATUS = 141
DEFAULT_HTML_STEPS = 10_000
# The names scripts given as text carry in messages, as the reference Lua names them.
COMMAND_LINE_CHUNK = "(command line)"
STDIN_CHUNK = "stdin"

# Options that take a value, and the key they set.
VALUED = {
    "-e": "code",
    "--memory-limit": "memory_limit",
    "--max-instructions": "max_instructions",
    "--timeout": "timeout",
    "--max-output": "max_output",
    "--profile-out": "profile_out",
    "--profile-format": "profile_format",
    "--html": "html",
    "--html-steps": "html_steps",
}
FLAGS = {
    "-l": "list",
    "--list": "list",
    "-q": "quiet",
    "--quiet": "quiet",
    "--annotate": "annotate",
    "--profile": "profile",
}


class UsageError(Exception):
    pass


def parse_size(text: str) -> int:
    """The byte count of a memory size such as ``512M``; raises ``ValueError`` if malformed.

    The grammar is the module's own, the one it applies to TARN_MEMORY_LIMIT. Its module is
    imported here, only when a size is given, to keep it out of every other start.
    """
    from . import _core

    return _core.parse_size(text)


def parse_count(text: str, what: str) -> int:
    if not text or not all("0" <= c <= "9" for c in text) or int(text) == 0:
        raise UsageError(f"invalid {what} '{text}': expected a positive integer")
    return int(text)


def parse_args(args: "List[str]") -> "Dict[str, Any]":
    """The options as a dict: "action" ("help", "version" or "run"), "script" (None when it is
    to be read from standard input), and one key per option given. A help or version request
    wins over any usage error, wherever it stands before ``--``."""
    opts: "Dict[str, Any]" = {"action": "run", "script": None}
    problem = None
    files_only = False
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if files_only or arg == "-" or not arg.startswith("-"):
            if opts["script"] is not None:
                problem = problem or f"unexpected argument '{arg}': one script at a time"
            opts["script"] = arg
        elif arg == "--":
            files_only = True
        elif arg in ("-h", "--help"):
            opts["action"] = "help"
        elif arg == "--version":
            opts["action"] = "version" if opts["action"] == "run" else opts["action"]
        elif arg in FLAGS:
            opts[FLAGS[arg]] = True
        else:
            name, eq, value = arg.partition("=")
            if name.startswith("-e") and name != "-e" and not arg.startswith("--"):
                name, eq, value = "-e", "=", arg[2:]
            if name not in VALUED:
                problem = problem or f"unrecognized option '{arg}'"
                continue
            if not eq:
                if i >= len(args):
                    problem = problem or f"option {name} needs a value"
                    continue
                value = args[i]
                i += 1
            opts[VALUED[name]] = value
    if opts["action"] == "run" and problem:
        raise UsageError(problem)
    return opts


def check_options(opts: "Dict[str, Any]") -> None:
    """Converts the values of the options in place; UsageError names a malformed value or two
    options that cannot go together."""
    if "memory_limit" in opts:
        try:
            opts["memory_limit"] = parse_size(opts["memory_limit"])
        except ValueError:
            raise UsageError(
                f"invalid --memory-limit SIZE '{opts['memory_limit']}': expected {SIZE_GRAMMAR}"
            ) from None
    if "max_output" in opts:
        try:
            opts["max_output"] = parse_size(opts["max_output"])
        except ValueError:
            raise UsageError(f"invalid --max-output SIZE '{opts['max_output']}': expected {SIZE_GRAMMAR}") from None
    if "max_instructions" in opts:
        opts["max_instructions"] = parse_count(opts["max_instructions"], "--max-instructions N")
    if "html_steps" in opts:
        opts["html_steps"] = parse_count(opts["html_steps"], "--html-steps N")
    if "timeout" in opts:
        text = opts["timeout"]
        try:
            seconds = float(text)
        except ValueError:
            seconds = -1.0
        if not seconds > 0 or seconds == float("inf"):
            raise UsageError(f"invalid --timeout SECONDS '{text}': expected a positive number")
        opts["timeout"] = seconds
    fmt = opts.get("profile_format")
    if fmt is not None and fmt not in ("text", "json"):
        raise UsageError(f"invalid --profile-format '{fmt}': expected 'text' or 'json'")
    if "profile_out" in opts or fmt is not None:
        opts["profile"] = True
    conflicts = [
        ("list", "quiet", "-l prints only the listings and -q none of them"),
        ("quiet", "annotate", "--annotate marks up the listing and the trace, which -q leaves out"),
        ("list", "profile", "--profile counts a run, and -l runs nothing"),
        ("list", "html", "--html explores a run, and -l runs nothing"),
        ("list", "max_instructions", "-l runs nothing to limit"),
        ("html", "annotate", "--html writes the page, not a trace"),
        ("html", "quiet", "--html prints only the script's output already"),
    ]
    for a, b, why in conflicts:
        if a in opts and b in opts:
            raise UsageError(f"{option_name(a)} and {option_name(b)} cannot be used together: {why}")
    if "code" in opts and opts["script"] is not None:
        raise UsageError(f"-e and a script file cannot be used together: -e gives the script ('{opts['script']}' too)")
    if "html_steps" in opts and "html" not in opts:
        raise UsageError("--html-steps needs --html")


def option_name(key: str) -> str:
    for table in (FLAGS, VALUED):
        names = [name for name, k in table.items() if k == key]
        if names:
            return max(names, key=len) if key not in ("list", "quiet") else min(names, key=len)
    return key


def write(fd: int, text: str) -> None:
    """Writes to a standard descriptor directly (``sys.stdout`` is None when it is closed);
    a descriptor that cannot take it leaves nowhere to report that."""
    from ._fd import write_all

    try:
        write_all(fd, os.fsencode(text))
    except OSError:
        pass


def say(text: str) -> int:
    """Prints help or version text; returns the exit status."""
    from ._fd import write_all

    try:
        write_all(1, os.fsencode(text))
        return 0
    except BrokenPipeError:
        return BROKEN_PIPE_STATUS
    except OSError as exc:
        write(2, f"error: cannot write to standard output: {exc.strerror}\n")
        return 1


def read_stdin() -> bytes:
    """All of standard input. A non-blocking standard input with nothing in it yet is waited
    for, not an error."""
    chunks: "List[bytes]" = []
    while True:
        try:
            chunk = os.read(0, 1 << 16)
        except BlockingIOError:
            import select

            select.select([0], [], [])
            continue
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def openable(path: str) -> "Optional[str]":
    """None if the script can be read, else why not, as the system says it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as exc:
        return exc.strerror or str(exc)
    try:
        import stat

        if stat.S_ISDIR(os.fstat(fd).st_mode):
            import errno

            return os.strerror(errno.EISDIR)
    finally:
        os.close(fd)
    return None


def report(result: "Dict[str, Any]") -> int:
    """Prints how a run ended on standard error; returns the exit status."""
    message = result["error"]
    # A stop that is itself the failed write says so already; any other outcome must not hide
    # that output went missing.
    code = result.get("output_error")
    # (An interruption or a deadline that gave up a blocked write is the stop's own story.)
    if code and code not in (errno.EINTR, errno.ETIMEDOUT) and not (message or "").startswith(OUTPUT_FAILURE):
        write(2, f"tarn: output was lost: failed printing to stdout: {os.strerror(code)} (os error {code})\n")
    if message is None:
        return 0
    if message == BROKEN_PIPE:
        return BROKEN_PIPE_STATUS
    location = result.get("location")
    lines = [f"error: {location} {message}\n" if location else f"error: {message}\n"]
    if result.get("traceback"):
        lines.append("stack traceback:\n")
        lines.extend(f"\t{frame}\n" for frame in result["traceback"])
    write(2, "".join(lines))
    return 1


def write_profile(opts: "Dict[str, Any]", result: "Dict[str, Any]", source: bytes, name: str) -> None:
    from . import _profile

    profile = result.get("profile")
    if profile is None:
        return
    if opts.get("profile_format") == "json":
        text = _profile.profile_json(profile)
    else:
        text = _profile.format_profile(profile, _profile.split_lines(source.decode("utf-8", "replace")), name)
    if "profile_out" in opts:
        with open(opts["profile_out"], "w", encoding="utf-8") as f:
            f.write(text)
    else:
        write(2, text)


def script_source(opts: "Dict[str, Any]") -> "Optional[bytes]":
    """The script's bytes, for the profile's and the page's source view."""
    if "text" in opts:
        text: bytes = opts["text"]
        return text
    try:
        with open(opts["script"], "rb") as f:
            return f.read()
    except OSError:
        return None


def run_page(opts: "Dict[str, Any]", core_options: "Dict[str, Any]", name: str) -> int:
    """The --html run: the script runs once with its output captured (it is printed after the
    run), and the page is written from the counts, the first steps and the output."""
    from . import _capture, _explorer
    from ._fd import write_all

    core_options.update(mode="quiet", profile=True, steps=opts.get("html_steps", DEFAULT_HTML_STEPS))
    output, result = _capture.run_core(name, core_options.pop("text", None), None, core_options)
    source = script_source(opts) or b""
    page = _explorer.render_page(_explorer.build_page_data(source, name, result, output))
    try:
        with open(opts["html"], "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as exc:
        write(2, f"error: cannot write '{opts['html']}': {exc.strerror}\n")
        return 1
    try:
        write_all(1, output)
    except BrokenPipeError:
        return BROKEN_PIPE_STATUS
    except OSError:
        pass
    if opts.get("profile"):
        write_profile(opts, result, source, name)
    return report(result)


def run_script(opts: "Dict[str, Any]") -> int:
    """Runs the script as the options say and reports the outcome; returns the exit status."""
    from . import _core

    name = opts["script"]
    core_options: "Dict[str, Any]" = {"skip_shebang": True}
    if "code" in opts:
        name = COMMAND_LINE_CHUNK
        opts["text"] = os.fsencode(opts["code"])
        # A chunk given on the command line is one line of code, not a file: no shebang.
        core_options["skip_shebang"] = False
    elif name is None or name == "-":
        name = STDIN_CHUNK
        opts["text"] = read_stdin()
    else:
        why = openable(name)
        if why is not None:
            write(2, f"error: cannot open '{name}': {why}\n")
            return 1
    if "text" in opts:
        core_options["text"] = opts["text"]
    core_options["mode"] = "list" if opts.get("list") else "quiet" if opts.get("quiet") else "trace"
    for key in ("annotate", "memory_limit", "max_instructions", "timeout", "max_output"):
        if key in opts:
            core_options[key] = opts[key]
    core_options["metered"] = False
    if "html" in opts:
        return run_page(opts, core_options, name)
    if opts.get("profile"):
        core_options["profile"] = True
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    result = _core.run(name, **core_options)
    status = report(result)
    if opts.get("profile") and status != BROKEN_PIPE_STATUS:
        write_profile(opts, result, script_source(opts) or b"", name)
    return status


def main(argv: "Optional[Sequence[str]]" = None, prog: "Optional[str]" = None) -> int:
    """The ``tarn`` command; ``argv`` defaults to ``sys.argv[1:]``. Returns the exit status."""
    if prog is None:
        prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "tarn"
    args = sys.argv[1:] if argv is None else list(argv)
    usage = USAGE.format(prog=prog)
    try:
        opts = parse_args(args)
        if opts["action"] == "help":
            return say(usage + HELP)
        if opts["action"] == "version":
            return say(f"tarn {__version__}\n")
        check_options(opts)
        inherited = os.environ.get(MEMORY_VARIABLE)
        if "memory_limit" not in opts and inherited:
            try:
                parse_size(inherited)
            except ValueError:
                raise UsageError(f"invalid {MEMORY_VARIABLE} '{inherited}': expected {SIZE_GRAMMAR}") from None
        if opts["script"] is None and "code" not in opts and (os.isatty(0) or not is_open(0)):
            raise UsageError("no script given: name a FILE, or '-' to read standard input, or -e CODE")
    except UsageError as exc:
        write(2, f"{usage}{prog}: error: {exc}\n")
        return 2
    try:
        return run_script(opts)
    except KeyboardInterrupt:
        write(2, "interrupted\n")
        return 130


def is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main(prog=os.path.basename(sys.executable or "python") + " -m tarn"))
