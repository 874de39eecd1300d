"""Builds the C++ unit tests of the core (tests/unit) with CMake and runs them with ctest.

The build directory is kept under build/ so that a second run only rebuilds what changed.
Skipped where no C++ compiler or CMake is at hand (an installed wheel without its sources).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "core-unit-tests"


def tool(name):
    found = shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))
    if found is None:
        pytest.skip(f"needs {name}")
    return found


def test_core_unit_tests():
    if not (ROOT / "tests" / "unit" / "core_test.cpp").exists() or not (ROOT / "CMakeLists.txt").exists():
        pytest.skip("needs the source tree")
    cmake, ctest = tool("cmake"), tool("ctest")
    if shutil.which(os.environ.get("CXX", "c++")) is None:
        pytest.skip("needs a C++ compiler")
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DTARN_TESTS=ON", "-DCMAKE_BUILD_TYPE=Debug",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja") or shutil.which("ninja", path=str(Path(sys.executable).parent)):
        if not (BUILD / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
    for command in (configure, [cmake, "--build", str(BUILD), "--target", "tarn_core_test", "-j", "2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    done = subprocess.run([ctest, "--output-on-failure"], cwd=BUILD, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert "100% tests passed" in done.stdout
