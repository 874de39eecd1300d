"""Memory ceilings from 4 KiB up, on every example and in every mode: each run either ends or
stops cleanly with "out of memory", never crashes, and gives back all it took."""

import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.lua"))

CHILD = r"""
import os, sys
from tarn import _core
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
limits = [4 << 10, 6 << 10, 8 << 10, 12 << 10, 16 << 10, 24 << 10, 32 << 10, 48 << 10, 64 << 10,
          80 << 10, 96 << 10, 112 << 10, 128 << 10, 160 << 10, 192 << 10, 256 << 10, 384 << 10,
          512 << 10, 1 << 20, 2 << 20]
outcomes = set()
for mode, extra in [("trace", {}), ("quiet", {}), ("trace", {"annotate": True, "profile": True, "steps": 50})]:
    for limit in limits:
        result = _core.run(sys.argv[1], mode=mode, memory_limit=limit, **extra)
        if result["error"] not in (None, "out of memory"):
            sys.stderr.write(f"{mode} {limit}: {result['error']}\n")
            sys.exit(3)
        start, end = result["memory"]
        if start != end:
            sys.stderr.write(f"{mode} {limit}: memory {start} -> {end}\n")
            sys.exit(4)
        outcomes.add(result["error"])
sys.stderr.write("OUTCOMES " + repr(sorted(map(str, outcomes))) + "\n")
"""


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_memory_ceiling_sweep(example, python_cmd, child_env):
    proc = subprocess.run(
        python_cmd + ["-c", CHILD, str(example)], env=child_env, stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, timeout=120,
    )
    err = proc.stderr.decode(errors="replace")
    assert proc.returncode == 0, err
    # The sweep reaches both sides: ceilings too small for the run's start, and enough.
    assert "OUTCOMES ['None', 'out of memory']" in err, err
