"""Benchmarks, run on demand (never from the tests): python bench/bench.py [--quick]

1. Traced instructions per second for a few loop-heavy scripts, with standard output sent to
   /dev/null so that the figure measures the interpreter and not a terminal or a pipe.
   The number of executed instructions is counted by running the same script at two small
   sizes with the trace piped and counted; the scripts are linear in their size, so the count
   at the timed size follows exactly.
2. Peak memory of deep recursion: the maximum resident set size of a child process that
   recurses to a given depth, minus that of a child running an empty script.

Every measurement runs in a fresh child process; the figures are printed, nothing is stored.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

CHILD = r"""
import sys
from tarn import Brindle
try:
    Brindle.raw_input(sys.argv[1])
except BaseException as exc:
    print(f"stopped: {type(exc).__name__}: {exc}", file=sys.stderr)
    sys.exit(1)
"""

# Each workload is a script template with one size parameter N.
WORKLOADS: Dict[str, str] = {
    "numeric for": "local s = 0\nfor i = 1, {N} do\n    s = s + i\nend\nprint(s)\n",
    "while + arithmetic": (
        "local i, s = 0, 0\nwhile i < {N} do\n    i = i + 1\n    if i % 3 == 0 then\n"
        "        s = s + i * 2\n    else\n        s = s - 1\n    end\nend\nprint(s)\n"
    ),
    "calls": (
        "local function add(a, b)\n    return a + b\nend\nlocal s = 0\nfor i = 1, {N} do\n"
        "    s = add(s, i)\nend\nprint(s)\n"
    ),
    "tables": (
        "local t = {}\nfor i = 1, {N} do\n    t[i] = i\nend\nlocal s = 0\n"
        "for i, v in ipairs(t) do\n    s = s + v\nend\nprint(s)\n"
    ),
}

RECURSION = (
    "local function down(n)\n    if n == 0 then\n        return 0\n    end\n"
    "    return 1 + down(n - 1)\nend\nprint(down({N}))\n"
)


def child_cmd(script: Path) -> List[str]:
    return [sys.executable, "-c", CHILD, str(script)]


def write(directory: Path, name: str, text: str) -> Path:
    path = directory / name
    path.write_text(text)
    return path


def count_instructions(script: Path) -> int:
    """Runs the script with the trace piped and counts its trace lines."""
    count = 0
    with subprocess.Popen(child_cmd(script), stdout=subprocess.PIPE) as proc:
        assert proc.stdout is not None
        for line in proc.stdout:
            if line.startswith(b"  ["):
                count += 1
    if proc.returncode != 0:
        raise RuntimeError(f"{script} stopped")
    return count


def timed_run(script: Path) -> float:
    """Wall time of one run with stdout going to /dev/null."""
    with open(os.devnull, "wb") as devnull:
        start = time.perf_counter()
        proc = subprocess.run(child_cmd(script), stdout=devnull, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.decode("utf-8", "replace").strip())
    return elapsed


def peak_rss_kib(script: Path) -> Tuple[Optional[int], str]:
    """Peak resident set size of a child running the script, or None and the stop message."""
    with open(os.devnull, "wb") as devnull:
        proc = subprocess.Popen(child_cmd(script), stdout=devnull, stderr=subprocess.PIPE)
        assert proc.stderr is not None
        err = proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = 0 if status == 0 else 1  # reaped here, not by Popen
    if proc.returncode != 0:
        lines = err.decode("utf-8", "replace").strip().splitlines()
        return None, lines[-1] if lines else f"exit status {status}"
    return usage.ru_maxrss, ""


def bench_throughput(directory: Path, size: int, repeat: int) -> None:
    print(f"Traced instructions per second (stdout to /dev/null, best of {repeat}):")
    small_a, small_b = 1000, 2000
    for name, template in WORKLOADS.items():
        count_a = count_instructions(write(directory, "a.lua", template.replace("{N}", str(small_a))))
        count_b = count_instructions(write(directory, "b.lua", template.replace("{N}", str(small_b))))
        per_step = (count_b - count_a) / (small_b - small_a)
        fixed = count_a - per_step * small_a
        total = int(fixed + per_step * size)
        script = write(directory, "timed.lua", template.replace("{N}", str(size)))
        # The start-up of a child (Python, import, compile) is measured once and subtracted.
        baseline = min(timed_run(write(directory, "empty.lua", "")) for _ in range(3))
        best = min(timed_run(script) for _ in range(repeat))
        run_time = max(best - baseline, 1e-9)
        rate = total / run_time
        print(f"  {name:<20} {total:>13,} instructions  {run_time:7.3f} s  {rate / 1e6:8.1f} M/s")


def bench_recursion(directory: Path, depths: List[int]) -> None:
    print("Peak memory of deep recursion (max RSS above an empty run):")
    base, _ = peak_rss_kib(write(directory, "empty.lua", ""))
    assert base is not None
    for depth in depths:
        rss, message = peak_rss_kib(write(directory, "deep.lua", RECURSION.replace("{N}", str(depth))))
        if rss is None:
            print(f"  depth {depth:>9,}: {message}")
            continue
        extra = (rss - base) * 1024
        print(f"  depth {depth:>9,}: {extra / 2**20:8.1f} MiB  ({extra / depth:7.0f} bytes per level)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repetition")
    parser.add_argument("--size", type=int, help="loop size of the throughput scripts")
    args = parser.parse_args()
    size = args.size or (200_000 if args.quick else 5_000_000)
    repeat = 1 if args.quick else 3
    depths = [10_000, 100_000] if args.quick else [10_000, 50_000, 100_000, 190_000, 1_000_000]
    with tempfile.TemporaryDirectory(prefix="tarn-bench-") as tmp:
        directory = Path(tmp)
        bench_throughput(directory, size, repeat)
        bench_recursion(directory, depths)


if __name__ == "__main__":
    main()
