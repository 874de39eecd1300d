"""Runs generated programs through two builds of tarn and compares everything they write.

    python tools/compare_builds.py OLD_DIR NEW_DIR [--count N] [--seed S] [--extra SCRIPT ...]

OLD_DIR and NEW_DIR each hold a `tarn` package with its built modules (a copy of python/tarn
with Brindle.abi3.so and _core.abi3.so beside it). Each program runs under `raw_input` and in the
output-only mode; standard output, standard error and the exit status must be byte-identical.
The programs come from a seeded generator that mixes numeric loops (integer, float, rounded and
extreme limits, bodies that assign the counter), calls of every shape (fixed, variable results,
varargs, tail calls, natives, deep recursion), field and index access on tables and upvalues,
closures, operators of mixed kinds, and statements that stop the run (reads past the top, bad
operands, bad loop registers). A speed change of the machine must leave all of it unchanged.
"""

import argparse
import hashlib
import os
import random
import re
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
from tarn import Brindle, _core
try:
    if sys.argv[3] == "traced":
        Brindle.raw_input(sys.argv[2])
    else:
        result = _core.run(sys.argv[2], mode="quiet")
        print(f"result: {result}", file=sys.stderr)
except BaseException as exc:
    sys.stdout.flush()
    print(f"stopped: {type(exc).__name__}: {exc}", file=sys.stderr)
    sys.exit(1)
"""

NUMS = ["0", "1", "2", "3", "-1", "-2", "7", "0.5", "1.5", "-0.5", "2.0", "10", "255", "256", "1e300",
        "-1e300", "9223372036854775807", "-9223372036854775807 - 1", "0/0", "3.25"]
SMALL = ["0", "1", "2", "3", "-1", "5", "0.5", "2.5", "-3"]


class Gen:
    def __init__(self, rng: random.Random):
        self.r = rng
        self.depth = 0

    def pick(self, xs):
        return self.r.choice(xs)

    def num(self):
        return self.pick(NUMS)

    def atom(self, names):
        c = self.r.random()
        if names and c < 0.5:
            return self.pick(names)
        if c < 0.9:
            return self.pick(SMALL)
        return self.pick(["t.x", "t[1]", "f1(2)", "#t", "t[3]", "cnt"])

    def expr(self, names, d=0):
        """Mostly numbers, so that most programs run to their end; one in fifty operands is not
        a number, so some stop in an operator."""
        if d > 2 or self.r.random() < 0.4:
            if self.r.random() < 0.02:
                return self.pick(['"s"', "true", "nil", "t"])
            return self.atom(names)
        op = self.pick(["+", "-", "*", "//", "%", "/", "==", "<", "<=", "~=", "and", "or", "+", "-", "*"])
        if op in ("//", "%"):
            return f"({self.expr(names, d + 1)} {op} {self.pick(['2', '3', '-2', '0.5', '7'])})"
        if op in ("<", "<="):
            return f"(({self.expr(names, d + 1)} {op} {self.expr(names, d + 1)}) and 1 or 0)"
        return f"({self.expr(names, d + 1)} {op} {self.expr(names, d + 1)})"

    def numeric_for(self, names, out):
        v = f"i{self.depth}"
        init, limit = self.num(), self.num()
        step = self.pick(["", ", 1", ", -1", ", 2", ", 0.5", ", -0.25", ", 3", ", 0", ", 1.0", ", 9223372036854775807",
                          ", -9223372036854775807"])
        # Keep the loops short: far limits only where the loop runs zero times, big ranges only
        # with big steps near the ends of the integer range.
        if self.r.random() < 0.7:
            init, limit = self.pick(SMALL), self.pick(["3", "4", "2.5", "-2", "0", "1e300", "-1e300", "0/0"])
            if limit == "1e300":
                step = ", -1"
            elif limit == "-1e300":
                step = self.pick(["", ", 0.5"])
        else:
            init, limit, step = self.pick([
                ("9223372036854775800", "9223372036854775807", ", 3"),
                ("9223372036854775800", "9223372036854775806.0", ", 2"),
                ("-9223372036854775800", "-9223372036854775807 - 1", ", -3"),
                ("-9223372036854775800", "-9223372036854775807 - 1", ", -4611686018427387904"),
                ("1", "9223372036854775807", ", 4611686018427387904"),
                ("9223372036854775807", "9223372036854775807", ""),
                ("0.5", "3", ", 0.75"),
                ("1", "3.0", ""),
                ("3.0", "1", ", -1"),
            ])
        out.append(f"{'  ' * self.depth}for {v} = {init}, {limit}{step} do")
        self.depth += 1
        out.append(f"{'  ' * self.depth}print({v})")
        c = self.r.random()
        if c < 0.1:
            value = self.pick(['"a"', "nil", "1e300", "-1e300", "9223372036854775807"]) if "-" not in step else self.pick(['"a"', "nil", "-1e300"])
            out.append(f"{'  ' * self.depth}{v} = {value}")
        elif c < 0.2:
            out.append(f"{'  ' * self.depth}if {v} == 2 then break end")
        self.body(names + [v], out, 2)
        self.depth -= 1
        out.append(f"{'  ' * self.depth}end")

    def stmt(self, names, out):
        ind = "  " * self.depth
        c = self.r.random()
        if c < 0.2:
            out.append(f"{ind}print({self.expr(names)}, {self.expr(names)})")
        elif c < 0.3:
            out.append(f"{ind}{self.pick(names) if names else 'g'} = {self.expr(names)}")
        elif c < 0.4 and self.depth < 3:
            self.numeric_for(names, out)
        elif c < 0.5:
            out.append(f"{ind}t.{self.pick(['x', 'y', 'z', 'w'])} = {self.expr(names)}")
            out.append(f"{ind}print(t.x, t.y, t['z'], t.w, t[{self.pick(SMALL)}])")
        elif c < 0.6:
            out.append(f"{ind}print(f1({self.expr(names)}), f2({self.expr(names)}, {self.expr(names)}))")
        elif c < 0.65:
            out.append(f"{ind}print(va({self.expr(names)}, 1, 2), select_first(va()), rec({self.pick(['0', '3', '20'])}))")
        elif c < 0.7 and self.depth < 3:
            out.append(f"{ind}for k, v in ipairs({{{self.expr(names)}, 2, {self.expr(names)}}}) do print(k, v) end")
        elif c < 0.75:
            out.append(f"{ind}local o = obj.new({self.pick(SMALL)}) print(o:get(), o:add({self.pick(SMALL)}))")
        elif c < 0.8:
            out.append(f"{ind}print(tc({self.pick(['0', '1', '5', '40'])}), up(), up())")
        elif c < 0.85 and self.depth < 3:
            out.append(f"{ind}while {self.expr(names)} do print(1) break end")
        elif c < 0.9:
            out.append(f"{ind}local q = {{a = {self.expr(names)}, b = {{c = {self.expr(names)}}}}} print(q.a, q.b.c, q['a'])")
        else:
            out.append(f"{ind}if {self.expr(names)} then print('y') else print('n') end")

    def body(self, names, out, n):
        for _ in range(self.r.randint(1, n)):
            self.stmt(names, out)

    def program(self):
        out = [
            "local t = {1, 2, 3, x = 1, y = 'y'}",
            "local function f1(a) return a end",
            "local function f2(a, b) if a then return a, b end return b end",
            "local function va(...) local a, b = ... return ..., a end",
            "local function select_first(a) return a end",
            "local function rec(n) if n == 0 then return 0 end return 1 + rec(n - 1) end",
            "local function tc(n) if n == 0 then return 'done' end return tc(n - 1) end",
            "local obj = {} obj.__i = obj",
            "function obj.new(v) return {v = v, get = obj.get, add = obj.add} end",
            "function obj.get(self) return self.v end",
            "function obj:add(d) self.v = self.v + d return self.v end",
            "local cnt = 0 local function up() cnt = cnt + 1 return cnt end",
            "local a, b, c = 1, 2.5, -4",
        ]
        self.body(["a", "b", "c"], out, 8)
        if self.r.random() < 0.3:
            out.append(self.pick(["local z z = z + 1", "print(t.x.y)", "print(f1 .. 1)", "local u = nil u()",
                                  "print(1 < 'a')", "for i = 1, 'x' do end", "for i = 1.5, 'x' do end",
                                  "print(1 // 0)", "print(-9223372036854775807 - 1 // -1)"]))
        return "\n".join(out) + "\n"


def run(root: Path, script: Path, mode: str) -> bytes:
    """What a run wrote: a digest of its standard output (a loop that runs for the whole timeout
    writes gigabytes of trace, which is hashed as it comes rather than held), its standard error
    and its exit status."""
    digest = hashlib.sha256()
    with tempfile.TemporaryFile() as err_file:
        proc = subprocess.Popen([sys.executable, "-c", CHILD, str(root), str(script), mode],
                                stdout=subprocess.PIPE, stderr=err_file)
        deadline = time.monotonic() + 20
        timed_out = False
        assert proc.stdout is not None
        fd = proc.stdout.fileno()
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                timed_out = True
                break
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            digest.update(chunk)
        if timed_out:
            proc.kill()
        proc.stdout.close()
        code = proc.wait()
        if timed_out:
            # A body that assigns its loop's counter can make a loop all but endless (the
            # counter is the body's variable); both builds must then still be running.
            return b"\0timed out"
        err_file.seek(0)
        stderr = err_file.read()
    # The diagnostic names the C++ source line that raised the stop, which any edit of the
    # machine moves; the rest of it must stay the same.
    err = re.sub(rb"(fatal error at src/[\w/]+\.\w+):\d+:\d+:", rb"\1:L:C:", stderr)
    return digest.hexdigest().encode() + b"\0" + err + b"\0" + str(code).encode()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("old", type=Path)
    parser.add_argument("new", type=Path)
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=18)
    parser.add_argument("--extra", type=Path, nargs="*", default=[], help="more scripts to compare")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    differ = 0
    stops = 0
    with tempfile.TemporaryDirectory(prefix="tarn-cmp-") as tmp:
        scripts = []
        for k in range(args.count):
            path = Path(tmp) / f"p{k}.lua"
            path.write_text(Gen(rng).program())
            scripts.append(path)
        for script in scripts + list(args.extra):
            for mode in ("traced", "quiet"):
                old, new = run(args.old, script, mode), run(args.new, script, mode)
                stops += old.endswith(b"\x001")
                if old != new:
                    differ += 1
                    keep = Path(f"/tmp/tarn-differ-{script.stem}.lua")
                    keep.write_text(script.read_text())
                    print(f"DIFFERENT: {script.name} ({mode}), kept as {keep}")
        total = 2 * (len(scripts) + len(args.extra))
        digest = hashlib.sha1(b"".join(p.read_bytes() for p in scripts)).hexdigest()[:12]
        print(f"{total - differ} of {total} runs identical ({stops} stopped runs among them); programs {digest}")
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
