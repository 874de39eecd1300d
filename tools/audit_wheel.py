"""Checks a built wheel for portability: `auditwheel show` must place it at the given policy or
an older one, and every extension module in it must stay under 1 MB, export only its init
function, and leave unwinding to the shared libgcc_s (a module with an unwinder of its own
crashes when glibc ends a thread inside it).

Usage: python tools/audit_wheel.py [--policy manylinux2014_x86_64] [--auditwheel PATH] WHEEL
Exits 1 with the reasons on standard error if the wheel fails; needs auditwheel (PyPI).
"""

import argparse
import io
import re
import shutil
import subprocess
import sys
import zipfile
from typing import List

MAX_MODULE_BYTES = 1 << 20
# Names of older policies that auditwheel prints; newer ones are manylinux_2_X / musllinux_1_X.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
# The shared libraries a module may need: the C library's own, and the unwinder.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libgcc_s.so.1"}


def policy_version(tag: str):
    """(family, (major, minor)) of a platform tag such as manylinux_2_17_x86_64."""
    m = re.match(r"(manylinux1|manylinux2010|manylinux2014)_", tag)
    if m:
        return "manylinux", LEGACY[m.group(1)]
    m = re.match(r"(manylinux|musllinux)_(\d+)_(\d+)_", tag)
    if not m:
        raise ValueError(f"not a manylinux or musllinux tag: {tag}")
    return m.group(1), (int(m.group(2)), int(m.group(3)))


def shown_tag(auditwheel: str, wheel: str) -> str:
    proc = subprocess.run([auditwheel, "show", wheel], capture_output=True, text=True)
    text = " ".join((proc.stdout + proc.stderr).split())
    m = re.search(r'consistent with the following platform tag: "([^"]+)"', text)
    if proc.returncode != 0 or not m:
        raise SystemExit(f"auditwheel show failed on {wheel}:\n{proc.stdout}{proc.stderr}")
    return m.group(1)


def module_problems(name: str, data: bytes, musl: bool) -> List[str]:
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.sections import SymbolTableSection

    problems = []
    if len(data) >= MAX_MODULE_BYTES:
        problems.append(f"{name}: {len(data)} bytes, over 1 MB")
    elf = ELFFile(io.BytesIO(data))
    init = "PyInit_" + name.rsplit("/", 1)[-1].split(".", 1)[0]
    exported, needed = set(), set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        if not isinstance(section, SymbolTableSection):
            continue
        for sym in section.iter_symbols():
            defined = sym["st_shndx"] != "SHN_UNDEF"
            if section.name == ".dynsym" and defined and sym["st_info"]["bind"] != "STB_LOCAL" and sym.name:
                exported.add(sym.name)
            if not musl and defined and (sym.name.startswith("_Unwind_RaiseException") or sym.name.startswith("unw_")
                            or sym.name.startswith("__unw_")):
                problems.append(f"{name}: defines its own unwinder ({sym.name})")
    if exported != {init}:
        problems.append(f"{name}: exports {sorted(exported)}, not only {init}")
    # musl ends threads without unwinding them, so there any one unwinder will do.
    unexpected = {n for n in needed - ALLOWED_NEEDED if not (musl and n.startswith("libc.musl-"))}
    if unexpected:
        problems.append(f"{name}: needs {sorted(unexpected)}")
    if not musl and "libgcc_s.so.1" not in needed:
        problems.append(f"{name}: does not take its unwinder from libgcc_s.so.1")
    return sorted(set(problems))


def audit(wheel: str, policy: str, auditwheel: str) -> List[str]:
    problems = []
    tag = shown_tag(auditwheel, wheel)
    family, version = policy_version(tag)
    want_family, want_version = policy_version(policy)
    if family != want_family or version > want_version:
        problems.append(f"auditwheel places the wheel at {tag}, newer than {policy}")
    with zipfile.ZipFile(wheel) as zf:
        modules = [n for n in zf.namelist() if n.endswith(".so")]
        if not modules:
            problems.append("no extension module in the wheel")
        for name in modules:
            problems += module_problems(name, zf.read(name), want_family == "musllinux")
    return problems


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel")
    parser.add_argument("--policy", default="manylinux2014_x86_64")
    parser.add_argument("--auditwheel", default=shutil.which("auditwheel") or "auditwheel")
    args = parser.parse_args(argv)
    problems = audit(args.wheel, args.policy, args.auditwheel)
    for problem in problems:
        print("audit_wheel: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
