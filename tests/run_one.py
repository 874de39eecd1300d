"""Child process of the test fixtures: runs one script with Brindle.raw_input.

Usage: run_one.py SCRIPT ERROR_FILE. Standard output is left entirely to the interpreter. If
the run stops, the first line of ERROR_FILE is "panic" for the interpreter's own exception or
"other:" and the exception's type, and the rest of the file is its message.
"""

import sys


def main() -> None:
    script, error_file = sys.argv[1], sys.argv[2]
    from tarn import Brindle

    try:
        Brindle.raw_input(script)
    except BaseException as exc:  # the stop type derives from BaseException
        kind = type(exc)
        if (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException"):
            head = "panic"
        else:
            head = f"other:{kind.__module__}.{kind.__qualname__}"
        with open(error_file, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(head + "\n" + str(exc))


main()
