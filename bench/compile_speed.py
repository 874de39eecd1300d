"""Compile speed, run on demand: python bench/compile_speed.py [MODULE.so ...] [--mb N] [--runs N]

Generates a script of N megabytes (default 20) of varied statements inside functions that are
never called, so a run is almost all lexing, compiling and printing the listing, and times
raw_input on it with standard output on /dev/null, as CPU time (user + system) of the process,
for each module file given (default: the installed tarn.Brindle), alternating between them.
Prints each module's runs sorted and its median.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

CHILD = r"""
import importlib.util, os, resource, sys
if sys.argv[1] == "-":
    from tarn import Brindle as m
else:
    spec = importlib.util.spec_from_file_location("tarn.Brindle", sys.argv[1])
    m = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(m)
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
r0 = resource.getrusage(resource.RUSAGE_SELF)
m.raw_input(sys.argv[2])
r1 = resource.getrusage(resource.RUSAGE_SELF)
print(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime, file=sys.stderr)
"""


def generate(path: Path, megabytes: float) -> None:
    parts = ["function never()\n"]
    size, i = 0, 0
    while size < megabytes * 1_000_000:
        i += 1
        k = i % 6
        if k == 0:
            s = f"  do local a{i % 50} = {i} + x * (y - {i % 7}) // 3 end\n"
        elif k == 1:
            s = f'  if a{i % 50} < {i} then t.f{i % 9} = "s{i}" else print(a, b, c) end\n'
        elif k == 2:
            s = f"  for j = 1, {i % 100} do q[j] = j .. 'x' end -- comment {i}\n"
        elif k == 3:
            s = f"  while n > {i % 10} do n = n - 1 end\n"
        elif k == 4:
            s = f"  obj:method{i % 5}(1, 2.5, {{a = 1, b = 2, 3}})\n"
        else:
            s = "  z = not (a == b) and (c or d)\n"
        parts.append(s)
        size += len(s)
        if i % 200 == 0:
            parts.append("end\nfunction never()\n")
    parts.append("end\nprint('ok')\n")
    path.write_text("".join(parts))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("modules", nargs="*", default=["-"])
    ap.add_argument("--mb", type=float, default=20)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / "big.lua"
        generate(script, args.mb)
        times = {m: [] for m in args.modules}
        for _ in range(args.runs):
            for m in args.modules:
                r = subprocess.run([sys.executable, "-c", CHILD, m, str(script)], capture_output=True, check=True)
                times[m].append(float(r.stderr.decode().strip().splitlines()[-1]))
        for m, ts in times.items():
            print(f"{m}: median {statistics.median(ts):.3f}s  runs {', '.join(f'{t:.3f}' for t in sorted(ts))}")


if __name__ == "__main__":
    main()
