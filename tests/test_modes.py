"""The run modes: output only (-q), listing only (-l), code given on the command line (-e) or
on standard input (-), shebang scripts, and which options cannot go together."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarn
from corpus import AGREES_WITH_LUA, BENCH, SMALL, ids, program_output, split_traced, trace_lines

LUA = shutil.which("lua5.4")


def cli(python_cmd, env, *args, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(python_cmd + ["-m", "tarn", *args], capture_output=True, env=env, timeout=60, **kwargs)


@pytest.mark.parametrize("script", SMALL, ids=ids(SMALL))
def test_quiet_and_list_are_parts_of_the_traced_run(script):
    traced = tarn.run(script)
    quiet = tarn.run(script, mode="quiet")
    listed = tarn.run(script, mode="list")
    listing, _ = split_traced(traced.output)
    assert quiet.output == program_output(traced.output)
    assert listed.output == listing
    # The same stop in every mode that gets as far; a listing runs nothing.
    assert quiet.error == traced.error and quiet.location == traced.location
    assert quiet.instructions == traced.instructions == len(trace_lines(traced.output))
    assert listed.instructions == 0
    assert listed.error == (traced.error if traced.instructions == 0 else None)


@pytest.mark.skipif(LUA is None, reason="needs the reference lua5.4")
@pytest.mark.parametrize("script", AGREES_WITH_LUA, ids=ids(AGREES_WITH_LUA))
def test_quiet_output_equals_lua(script):
    assert len(BENCH) > 10
    expected = subprocess.run([LUA, str(script)], capture_output=True, timeout=60, check=True).stdout
    result = tarn.run(script, mode="quiet")
    assert (result.output, result.error) == (expected, None)


def test_listing_runs_nothing(tmp_path):
    script = tmp_path / "forever.lua"
    script.write_text('print("ran")\nwhile true do end\n')
    result = tarn.run(script, mode="list", max_instructions=None)
    assert result.error is None and result.instructions == 0
    assert b"\nran\n" not in result.output and result.output.endswith(b"  4\tReturn0\n")


@pytest.mark.parametrize(
    "args, mode, annotate",
    [([], "trace", False), (["-q"], "quiet", False), (["--quiet"], "quiet", False), (["-l"], "list", False),
     (["--list"], "list", False), (["--annotate"], "trace", True), (["-l", "--annotate"], "list", True)],
)
def test_command_line_modes(args, mode, annotate, python_cmd, child_env):
    script = Path(__file__).resolve().parent.parent / "examples" / "closures.lua"
    proc = cli(python_cmd, child_env, *args, str(script))
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout == tarn.run(script, mode=mode, annotate=annotate).output


SOURCE = 'print("one")\nlocal t = nil\nt.x = 1\n'


@pytest.mark.parametrize("how", ["-e", "stdin", "stdin-implied"])
def test_script_as_text(how, python_cmd, child_env):
    # Named as the reference Lua names such chunks, in the stop and its traceback.
    if how == "-e":
        proc = cli(python_cmd, child_env, "-q", "-e", SOURCE)
        name = "(command line)"
    else:
        proc = cli(python_cmd, child_env, "-q", *(["-"] if how == "stdin" else []), input=SOURCE.encode(), stdin=None)
        name = "stdin"
    assert proc.returncode == 1 and proc.stdout == b"one\n"
    assert proc.stderr.decode() == (
        f"error: {name}:3: not yet implemented: meta __newindex\nstack traceback:\n\t{name}:3: in main chunk\n"
    )


def test_command_line_code_is_traced(python_cmd, child_env):
    proc = cli(python_cmd, child_env, "-e", "print(1)")
    assert proc.returncode == 0
    assert proc.stdout == tarn.run(source="print(1)").output
    assert proc.stdout.endswith(b"  [2]\tCall(1, 2, 0)\n1\n  [3]\tReturn0\n")


SHEBANG = "#!/usr/bin/env tarn\nprint(3)\nlocal t = nil\nt.x = 1\n"


def test_shebang_script_runs_and_counts_its_first_line(python_cmd, child_env, tmp_path):
    script = tmp_path / "tool.lua"
    script.write_text(SHEBANG)
    script.chmod(0o755)
    expected_stop = "not yet implemented: meta __newindex"
    result = tarn.run(script, mode="quiet")
    assert (result.output, result.error, result.location) == (b"3\n", expected_stop, f"{script}:4:")
    # Run as a program, through the console script on the PATH.
    console = Path(sys.executable).with_name("tarn")
    if console.exists():
        env = dict(child_env, PATH=f"{console.parent}{os.pathsep}{child_env.get('PATH', '')}")
        proc = subprocess.run([str(script)], capture_output=True, env=env, timeout=60, cwd=tmp_path)
        assert proc.returncode == 1 and proc.stdout.endswith(b"\n3\n  [3]\tLoadNil(1, 1)\n  [4]\tSetFieldConst(1, 1, 2)\n")
        assert proc.stderr.decode().startswith(f"error: {script}:4: {expected_stop}\n")


def test_raw_input_keeps_refusing_a_shebang(tmp_path, capfd):
    script = tmp_path / "tool.lua"
    script.write_text(SHEBANG)
    with pytest.raises(BaseException) as info:
        tarn.raw_input(str(script))
    assert tarn.is_panic(info.value)
    assert str(info.value) == "assertion `left == right` failed\n  left: Len\n right: Eos"
    assert capfd.readouterr().err.endswith(f"at {script}:1:1:\nassertion `left == right` failed\n  left: Len\n right: Eos\n")


@pytest.mark.parametrize(
    "args, first, second",
    [
        (["-l", "-q"], "-l", "-q"),
        (["--list", "--quiet"], "-l", "-q"),
        (["-q", "--annotate"], "-q", "--annotate"),
        (["-l", "--profile"], "-l", "--profile"),
        (["-l", "--profile-format", "json"], "-l", "--profile"),
        (["-l", "--html", "p.html"], "-l", "--html"),
        (["-l", "--max-instructions", "5"], "-l", "--max-instructions"),
        (["--html", "p.html", "--annotate"], "--html", "--annotate"),
        (["--html", "p.html", "-q"], "--html", "-q"),
        (["-e", "print(1)"], "-e", "script file"),
        (["--html-steps", "5"], "--html-steps", "--html"),
    ],
)
def test_conflicting_options_are_usage_errors(args, first, second, python_cmd, child_env, tmp_path):
    script = tmp_path / "s.lua"
    script.write_text("print(1)\n")
    proc = cli(python_cmd, child_env, *args, str(script), cwd=tmp_path)
    assert (proc.returncode, proc.stdout) == (2, b"")
    message = proc.stderr.decode().splitlines()[-1]
    assert first in message and second in message, message
    assert not (tmp_path / "p.html").exists()
