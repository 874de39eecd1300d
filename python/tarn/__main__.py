"""Command line: ``python -m tarn FILE`` runs one script and exits 0 on success, 1 on a fatal
stop (reported as ``error: MESSAGE`` on standard error), 2 on a usage error and 130 when
interrupted."""

import argparse
import sys
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tarn",
        description="Compile a script, print its listing, then run it with an instruction trace.",
    )
    parser.add_argument("file", metavar="FILE", help="path of the script to run")
    args = parser.parse_args(argv)

    from . import Brindle, is_panic

    # The interpreter writes to file descriptor 1 directly; anything Python still holds in its
    # own buffer must go out first to keep the order.
    sys.stdout.flush()
    try:
        Brindle.raw_input(args.file)
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130
    except BaseException as exc:
        if not is_panic(exc):
            raise
        sys.stderr.write(f"error: {exc}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
