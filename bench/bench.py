"""Benchmarks, run on demand (never from the tests): python bench/bench.py [--quick] [--compare]

1. --compare: the programs of bench/programs, run by tarn (traced, standard output to
   /dev/null, Python start-up included; then again in the output-only mode, -q) and by the
   reference lua5.4 (untraced) alternately, several times; prints each program's median CPU
   times (user + system of the child), their ratio with and without the start-up of an empty
   script, and the median and worst ratio. Before timing, both interpreters' program output is
   checked to agree.
   --callgrind: instructions per trace line for every program, traced and output-only, beside
   lua5.4's (needs valgrind; repeatable on a busy machine).
2. Traced instructions per second for a tight numeric loop and for call-heavy code, standard
   output to /dev/null. The number of executed instructions is counted by running the same
   script at two small sizes with the trace piped and counted; the scripts are linear in their
   size, so the count at the timed size follows exactly. The start-up of a run is subtracted.
3. Output to a pipe against output to /dev/null and to a file, for the numeric loop.
4. Start-up of `python -m tarn` on an empty script against importing the module alone.
5. Memory: the peak resident size of deep recursion, of a million closures and of a table with a
   million 17-byte string keys (each above an empty run; the last two beside lua5.4's).

Every measurement runs in a fresh child process; the figures are printed, nothing is stored.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

PROGRAMS = Path(__file__).resolve().parent / "programs"
LUA = shutil.which("lua5.4")

CHILD = r"""
import sys
from tarn import Brindle
try:
    Brindle.raw_input(sys.argv[1])
except BaseException as exc:
    print(f"stopped: {type(exc).__name__}: {exc}", file=sys.stderr)
    sys.exit(1)
with open("/proc/self/status") as status:
    print([l.split()[1] for l in status if l.startswith("VmHWM:")][0], file=sys.stderr)
"""

# Each workload is a script template with one size parameter N.
WORKLOADS: Dict[str, str] = {
    "numeric loop": "local s = 0\nfor i = 1, {N} do\n    s = s + i\nend\nprint(s)\n",
    "calls": (
        "local function add(a, b)\n    return a + b\nend\nlocal s = 0\nfor i = 1, {N} do\n"
        "    s = add(s, i)\nend\nprint(s)\n"
    ),
}

RECURSION = (
    "local function down(n)\n    if n == 0 then\n        return 0\n    end\n"
    "    return 1 + down(n - 1)\nend\nprint(down({N}))\n"
)
CLOSURES = "local t = {}\nfor i = 1, {N} do\n    local j = i\n    t[i] = function() return j end\nend\nprint(#t)\n"
INTEGERS = "local t = {}\nfor i = 1, {N} do\n    t[i] = i\nend\nprint(#t)\n"
# Keys of exactly 17 bytes: an 11-byte prefix and six digits, built by concatenation (the
# language has no conversion from numbers to strings).
STRING_KEYS = """local d = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}
local t = {}
local n = 0
for i = 0, {N} - 1 do
    local k = "abcdefghijk" .. d[i // 100000 % 10 + 1] .. d[i // 10000 % 10 + 1] .. d[i // 1000 % 10 + 1]
        .. d[i // 100 % 10 + 1] .. d[i // 10 % 10 + 1] .. d[i % 10 + 1]
    t[k] = i
    n = n + 1
end
print(n)
"""


def tarn_cmd(script: Path) -> List[str]:
    return [sys.executable, "-c", CHILD, str(script)]


QUIET_CHILD = r"""
import sys
from tarn import _core
_core.run(sys.argv[1], mode="quiet")
"""


def quiet_cmd(script: Path) -> List[str]:
    """The output-only mode in process, without the command line's start-up."""
    return [sys.executable, "-c", QUIET_CHILD, str(script)]


def write(directory: Path, name: str, text: str) -> Path:
    path = directory / name
    path.write_text(text)
    return path


def measured(cmd: List[str], stdout=None) -> Tuple[float, float]:
    """Wall time and CPU time (user + system, of the child alone) of one run, standard output to
    /dev/null unless given. CPU time is the figure to compare on a shared machine: wall time
    swings with whatever else runs there."""
    with open(os.devnull, "wb") as devnull:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=stdout or devnull, stderr=subprocess.PIPE)
        assert proc.stderr is not None
        err = proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
        proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError(err.decode("utf-8", "replace").strip())
    return elapsed, usage.ru_utime + usage.ru_stime


def timed(cmd: List[str], stdout=None) -> float:
    """CPU time of one run (see `measured`)."""
    return measured(cmd, stdout)[1]


def program_output(text: bytes) -> bytes:
    """The script's own output in tarn's: the lines that are neither listing nor trace."""
    machine = (b"constants: [", b"upindexes: [", b"byte_codes:", b"  ", b"== function: ")
    return b"".join(line for line in text.splitlines(keepends=True) if not line.startswith(machine))


def bench_compare(repeat: int, quiet: bool = False) -> None:
    if not LUA:
        print("Comparison with lua5.4: skipped (lua5.4 is not installed)\n")
        return
    flags = ["-q"] if quiet else []
    what = "output only (-q)" if quiet else "traced, to /dev/null"
    probe = subprocess.run([sys.executable, "-m", "tarn", *flags, os.devnull], capture_output=True)
    if probe.returncode != 0:
        print(f"tarn ({what}): skipped, the command line refused it\n")
        return
    print(f"tarn ({what}) against lua5.4 (untraced), CPU time (user + system), median of {repeat} alternating runs:")
    ratios: List[float] = []
    net_ratios: List[float] = []
    with tempfile.NamedTemporaryFile(suffix=".lua") as empty:
        start_tarn = statistics.median(timed([sys.executable, "-m", "tarn", *flags, empty.name]) for _ in range(repeat))
        start_lua = statistics.median(timed([LUA, empty.name]) for _ in range(repeat))
    for program in sorted(PROGRAMS.glob("*.lua")):
        ours = subprocess.run([sys.executable, "-m", "tarn", *flags, str(program)], capture_output=True, check=True).stdout
        theirs = subprocess.run([LUA, str(program)], capture_output=True, check=True).stdout
        if (ours if quiet else program_output(ours)) != theirs:
            raise RuntimeError(f"{program.name}: tarn and lua5.4 print different program output")
        t_tarn: List[float] = []
        t_lua: List[float] = []
        w_tarn: List[float] = []
        w_lua: List[float] = []
        for _ in range(repeat):
            wall, cpu = measured([sys.executable, "-m", "tarn", *flags, str(program)])
            t_tarn.append(cpu)
            w_tarn.append(wall)
            wall, cpu = measured([LUA, str(program)])
            t_lua.append(cpu)
            w_lua.append(wall)
        ratio = statistics.median(t_tarn) / statistics.median(t_lua)
        net = max(statistics.median(t_tarn) - start_tarn, 1e-9) / max(statistics.median(t_lua) - start_lua, 1e-9)
        ratios.append(ratio)
        net_ratios.append(net)
        print(
            f"  {program.stem:<10} tarn {statistics.median(t_tarn):6.3f} s   lua5.4 {statistics.median(t_lua):6.3f} s"
            f"   ratio {ratio:5.2f}   start-up subtracted {net:5.2f}"
            f"   (wall {statistics.median(w_tarn):6.3f} / {statistics.median(w_lua):6.3f} s)"
        )
    print(
        f"  median ratio {statistics.median(ratios):.2f}, worst {max(ratios):.2f};"
        f" start-up subtracted: median {statistics.median(net_ratios):.2f}, worst {max(net_ratios):.2f}"
        f" (start-up: tarn {start_tarn * 1000:.1f} ms, lua5.4 {start_lua * 1000:.1f} ms)\n"
    )


VALGRIND = shutil.which("valgrind")


def callgrind_total(cmd: List[str]) -> int:
    """Instructions executed by the command, counted by callgrind (children not followed)."""
    with tempfile.TemporaryDirectory(prefix="tarn-cg-") as tmp:
        out = Path(tmp) / "cg.out"
        with open(os.devnull, "wb") as devnull:
            subprocess.run(
                [VALGRIND, "--tool=callgrind", f"--callgrind-out-file={out}", *cmd],
                stdout=devnull,
                stderr=subprocess.DEVNULL,
                check=True,
            )
        for line in out.read_text().splitlines():
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals")


def bench_callgrind() -> None:
    """Instructions per executed trace line (start-up subtracted) for every program, beside
    lua5.4's instructions for the same program; repeatable whatever else the machine does."""
    if not VALGRIND:
        print("Instruction counts: skipped (valgrind is not installed)\n")
        return
    print("Instruction counts (callgrind, start-up subtracted), per trace line:")
    with tempfile.NamedTemporaryFile(suffix=".lua") as empty:
        base = callgrind_total(tarn_cmd(Path(empty.name)))
        base_quiet = callgrind_total(quiet_cmd(Path(empty.name)))
        base_lua = callgrind_total([LUA, empty.name]) if LUA else 0
    for program in sorted(PROGRAMS.glob("*.lua")):
        lines = count_instructions(program)
        traced = callgrind_total(tarn_cmd(program)) - base
        quiet = callgrind_total(quiet_cmd(program)) - base_quiet
        row = f"  {program.stem:<10} {lines:>11,} lines  traced {traced / lines:6.1f}  output only {quiet / lines:6.1f}"
        if LUA:
            theirs = callgrind_total([LUA, str(program)]) - base_lua
            row += f"  lua5.4 {theirs / lines:6.1f}  (ratios {traced / theirs:4.2f} / {quiet / theirs:4.2f})"
        print(row)
    print()


def count_instructions(script: Path) -> int:
    """Runs the script with the trace piped and counts its trace lines."""
    count = 0
    with subprocess.Popen(tarn_cmd(script), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as proc:
        assert proc.stdout is not None
        for line in proc.stdout:
            if line.startswith(b"  ["):
                count += 1
    if proc.returncode != 0:
        raise RuntimeError(f"{script} stopped")
    return count


def instructions_at(directory: Path, template: str, size: int) -> int:
    small_a, small_b = 1000, 2000
    count_a = count_instructions(write(directory, "a.lua", template.replace("{N}", str(small_a))))
    count_b = count_instructions(write(directory, "b.lua", template.replace("{N}", str(small_b))))
    per_step = (count_b - count_a) / (small_b - small_a)
    return int(count_a - per_step * small_a + per_step * size)


def bench_throughput(directory: Path, size: int, repeat: int) -> None:
    print(f"Traced instructions per second (stdout to /dev/null, best of {repeat}, start-up subtracted):")
    empty = write(directory, "empty.lua", "")
    for name, template in WORKLOADS.items():
        total = instructions_at(directory, template, size)
        script = write(directory, "timed.lua", template.replace("{N}", str(size)))
        baseline = min(timed(tarn_cmd(empty)) for _ in range(3))
        best = min(timed(tarn_cmd(script)) for _ in range(repeat))
        run_time = max(best - baseline, 1e-9)
        print(f"  {name:<14} {total:>13,} instructions  {run_time:7.3f} s  {total / run_time / 1e6:8.1f} M/s")
    print()


def bench_output(directory: Path, size: int, repeat: int) -> None:
    print(f"Output of the numeric loop by destination (best of {repeat}):")
    script = write(directory, "timed.lua", WORKLOADS["numeric loop"].replace("{N}", str(size)))
    cmd = tarn_cmd(script)
    print(f"  /dev/null  {min(timed(cmd) for _ in range(repeat)):7.3f} s")
    def to_file() -> float:
        # A fresh, empty file each time: appending to one file would time a growing file.
        with tempfile.TemporaryFile(dir=directory) as f:
            return timed(cmd, stdout=f)
    print(f"  a file     {min(to_file() for _ in range(repeat)):7.3f} s")
    def piped() -> float:
        start = time.perf_counter()
        producer = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        with open(os.devnull, "wb") as devnull:
            subprocess.run(["cat"], stdin=producer.stdout, stdout=devnull, check=True)
        producer.wait()
        return time.perf_counter() - start
    print(f"  a pipe     {min(piped() for _ in range(repeat)):7.3f} s  (read by cat)\n")


def bench_startup(repeat: int) -> None:
    print(f"Start-up (best of {repeat}):")
    with tempfile.NamedTemporaryFile(suffix=".lua") as empty:
        cli = min(timed([sys.executable, "-m", "tarn", empty.name]) for _ in range(repeat))
    imp = min(timed([sys.executable, "-c", "import tarn.Brindle"]) for _ in range(repeat))
    bare = min(timed([sys.executable, "-c", "pass"]) for _ in range(repeat))
    print(f"  python -c pass              {bare * 1000:6.1f} ms")
    print(f"  python -c 'import tarn'     {imp * 1000:6.1f} ms")
    print(f"  python -m tarn EMPTY.lua    {cli * 1000:6.1f} ms\n")


TIME = shutil.which("time") or ("/usr/bin/time" if os.path.exists("/usr/bin/time") else None)


def peak_kib(cmd: List[str]) -> Tuple[Optional[int], str]:
    """Peak resident size of a child in KiB. tarn's runner reports its own VmHWM; another
    program is measured by GNU time, since the maximum resident size the kernel reports for a
    child started from here would include this process's own, inherited through the fork."""
    ours = cmd[:2] == [sys.executable, "-c"]
    if not ours:
        if not TIME:
            return None, "needs GNU time"
        cmd = [TIME, "-f", "%M"] + cmd
    with open(os.devnull, "wb") as devnull:
        proc = subprocess.run(cmd, stdout=devnull, stderr=subprocess.PIPE)
    err = proc.stderr.decode("utf-8", "replace").strip().splitlines()
    if proc.returncode != 0:
        return None, err[-1] if err else f"exit status {proc.returncode}"
    return int(err[-1]), ""


def bench_memory(directory: Path, quick: bool) -> None:
    print("Memory (peak resident size above an empty run):")
    base, _ = peak_kib(tarn_cmd(write(directory, "empty.lua", "")))
    lua_base = peak_kib([LUA, str(directory / "empty.lua")])[0] if LUA else None
    assert base is not None
    for depth in [10_000, 100_000] if quick else [10_000, 100_000, 190_000, 1_000_000]:
        rss, message = peak_kib(tarn_cmd(write(directory, "deep.lua", RECURSION.replace("{N}", str(depth)))))
        if rss is None:
            print(f"  recursion {depth:>9,} deep: {message}")
            continue
        extra = (rss - base) * 1024
        print(f"  recursion {depth:>9,} deep: {extra / 2**20:8.1f} MiB  ({extra / depth:5.0f} bytes per level)")

    n = 100_000 if quick else 1_000_000
    def per_item(template: str, minus: str, run) -> Optional[float]:
        a, _ = run(write(directory, "a.lua", template.replace("{N}", str(n))))
        b, _ = run(write(directory, "b.lua", minus.replace("{N}", str(n))))
        return None if a is None or b is None else (a - b) * 1024 / n
    ours = per_item(CLOSURES, INTEGERS, lambda p: peak_kib(tarn_cmd(p)))
    line = f"  a closure with one upvalue (and its cell): {ours:6.1f} bytes"
    theirs = per_item(CLOSURES, INTEGERS, lambda p: peak_kib([LUA, str(p)])) if LUA else None
    if theirs is not None:
        line += f"   lua5.4 {theirs:6.1f} bytes"
    print(line)

    ours_kib, _ = peak_kib(tarn_cmd(write(directory, "keys.lua", STRING_KEYS.replace("{N}", str(n)))))
    assert ours_kib is not None
    line = f"  a table of {n:,} 17-byte string keys: {(ours_kib - base) / 1024:7.1f} MiB"
    theirs_kib = peak_kib([LUA, str(directory / "keys.lua")])[0] if LUA else None
    if theirs_kib is not None and lua_base is not None:
        ratio = (ours_kib - base) / (theirs_kib - lua_base)
        line += f"   lua5.4 {(theirs_kib - lua_base) / 1024:7.1f} MiB   ratio {ratio:.2f}"
    print(line + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repetition")
    parser.add_argument("--compare", action="store_true", help="only the comparison with lua5.4")
    parser.add_argument("--repeat", type=int, help="repetitions of each timing")
    parser.add_argument("--callgrind", action="store_true", help="only the instruction counts (needs valgrind)")
    args = parser.parse_args()
    repeat = args.repeat or (1 if args.quick else 5)
    if args.compare:
        bench_compare(repeat)
        bench_compare(repeat, quiet=True)
        return
    if args.callgrind:
        bench_callgrind()
        return
    size = 200_000 if args.quick else 20_000_000
    with tempfile.TemporaryDirectory(prefix="tarn-bench-") as tmp:
        directory = Path(tmp)
        if not args.quick:
            bench_compare(repeat)
            bench_compare(repeat, quiet=True)
        bench_throughput(directory, size, min(repeat, 3))
        bench_output(directory, size, min(repeat, 3))
        bench_startup(repeat)
        bench_memory(directory, args.quick)


if __name__ == "__main__":
    main()
