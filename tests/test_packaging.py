"""What ships: the source distribution, the type stub of the package, and the benchmark script
that the README points to."""

import ast
import os
import inspect
import shutil
import subprocess
import tarfile
import typing
import zipfile
from pathlib import Path

import pytest

import tarn

ROOT = Path(__file__).resolve().parent.parent


def git_files(*args):
    out = subprocess.run(["git", "ls-files", "-z", *args], cwd=ROOT, capture_output=True, check=True).stdout
    return {name for name in out.decode().split("\0") if name}


def test_sdist_holds_the_tracked_files(tmp_path):
    build = pytest.importorskip("scikit_build_core.build")
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("needs a git checkout")
    tracked = git_files()
    # Files not yet committed but not ignored either go in too; ignored ones never do.
    candidates = tracked | git_files("--others", "--exclude-standard")
    with pytest.MonkeyPatch.context() as mp:
        mp.chdir(ROOT)
        name = build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as archive:
        prefix = name[: -len(".tar.gz")] + "/"
        shipped = {m.name[len(prefix):] for m in archive.getmembers() if m.isfile()}
    shipped.discard("PKG-INFO")
    assert tracked <= shipped
    assert shipped <= candidates, sorted(shipped - candidates)


def stub_tree(name="__init__"):
    return ast.parse((Path(tarn.__file__).parent / f"{name}.pyi").read_text())


def test_stub_declares_the_public_names():
    declared = set()
    for node in stub_tree().body:
        if isinstance(node, ast.ImportFrom):
            declared |= {alias.asname for alias in node.names if alias.asname}
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):  # the version; private names are not declared
            if not node.target.id.startswith("_") or node.target.id.startswith("__"):
                declared.add(node.target.id)
        elif isinstance(node, ast.Assign):  # __all__ spelt out for stubtest, private aliases
            declared |= {target.id for target in node.targets if not target.id.startswith("_") or target.id == "__all__"}
    assert declared == set(tarn.__all__) | {"__version__", "__all__"}
    assert all(hasattr(tarn, name) for name in declared)


def stub_params(node):
    """(name, kind, has a default) of a stub function's parameters, as inspect names kinds."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    kinds = ["POSITIONAL_ONLY"] * len(a.posonlyargs) + ["POSITIONAL_OR_KEYWORD"] * len(a.args)
    params = list(zip((p.arg for p in positional), kinds, defaults))
    params += [(p.arg, "KEYWORD_ONLY", d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params


def runtime_params(func, skip=0):
    params = list(inspect.signature(func).parameters.values())[skip:]
    return [(p.name, p.kind.name, p.default is not p.empty) for p in params]


def test_stub_signatures_match():
    # stubtest checks these as well; this names the difference when one creeps in.
    from tarn import _core

    nodes = {node.name: node for node in stub_tree().body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    for name in ("run", "is_panic"):
        assert stub_params(nodes[name]) == runtime_params(getattr(tarn, name)), name
    core = {node.name: node for node in stub_tree("_core").body if isinstance(node, ast.FunctionDef)}
    assert set(core) == {name for name in dir(_core) if not name.startswith("_")}
    for name, node in core.items():
        assert stub_params(node) == runtime_params(getattr(_core, name)), name
    methods = {n.name: n for n in nodes["Result"].body if isinstance(n, ast.FunctionDef)}
    assert stub_params(methods["__new__"])[1:] == runtime_params(tarn.Result.__new__, skip=1)
    init = next(n for n in nodes["ScriptError"].body if isinstance(n, ast.FunctionDef))
    assert stub_params(init)[1:] == runtime_params(tarn.ScriptError.__init__, skip=1)
    # The pair that callers unpack, then the attributes beside it.
    fields = [n.target.id for n in nodes["Result"].body if isinstance(n, ast.AnnAssign)]
    hints = list(typing.get_type_hints(tarn.Result))
    assert tarn.Result._fields == ("output", "error") and hints[:2] == ["output", "error"]
    assert fields == hints[2:]


def test_bench_quick_runs(python_cmd, child_env):
    # The figures are not looked at: this only checks that the script still runs.
    proc = subprocess.run(
        python_cmd + [str(ROOT / "bench" / "bench.py"), "--quick"],
        capture_output=True, text=True, env=child_env, timeout=30,
    )
    assert proc.returncode == 0, proc.stderr
    assert "instructions per second" in proc.stdout


@pytest.mark.parametrize(
    "check",
    [["mypy", "--strict", "-p", "tarn"], ["mypy.stubtest", "tarn"]],
    ids=["strict", "stubtest"],
)
def test_package_types(check, tmp_path):
    # The installed package, as a user's type checker sees it: the stubs match the run-time
    # names and signatures, and the code checks under --strict.
    pytest.importorskip("mypy")
    import sys

    proc = subprocess.run(
        [sys.executable, "-m", *check], cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def load_audit():
    pytest.importorskip("elftools", reason="auditing a wheel needs pyelftools (pip install auditwheel)")
    import importlib.util

    spec = importlib.util.spec_from_file_location("audit_wheel", ROOT / "tools" / "audit_wheel.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "shown, policy, passes",
    [
        ("manylinux_2_17_x86_64", "manylinux2014_x86_64", True),
        ("manylinux_2_5_x86_64", "manylinux2014_x86_64", True),
        ("manylinux_2_18_x86_64", "manylinux2014_x86_64", False),
        ("manylinux_2_36_x86_64", "manylinux_2_28_x86_64", False),
        ("manylinux_2_28_x86_64", "manylinux_2_28_x86_64", True),
        ("musllinux_1_2_x86_64", "manylinux_2_28_x86_64", False),
        ("musllinux_1_1_x86_64", "musllinux_1_2_x86_64", True),
    ],
)
def test_audit_takes_no_newer_policy(tmp_path, monkeypatch, shown, policy, passes):
    # A wheel holding the module this suite runs, so the checks of every module see a real one.
    audit = load_audit()
    module = Path(tarn.Brindle.__file__)
    wheel = tmp_path / "tarn-0-cp38-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        zf.write(module, "tarn/" + module.name)
    monkeypatch.setattr(audit, "shown_tag", lambda auditwheel, path: shown)
    problems = audit.audit(str(wheel), policy, "auditwheel")
    if "musllinux" in policy:
        # A glibc module in a musl wheel is itself a fault the audit reports.
        problems = [p for p in problems if "auditwheel places" in p]
    assert (problems == []) == passes, problems


def test_audit_passes_this_module_and_refuses_an_oversized_one():
    audit = load_audit()
    data = Path(tarn.Brindle.__file__).read_bytes()
    assert audit.module_problems("tarn/Brindle.abi3.so", data, musl=False) == []
    padded = data + bytes((1 << 20) - len(data))
    assert any("over 1 MB" in p for p in audit.module_problems("tarn/Brindle.abi3.so", padded, musl=False))


@pytest.mark.skipif(not os.environ.get("TARN_WHEEL"), reason="set TARN_WHEEL to a built wheel to audit it")
def test_built_wheel_passes_the_audit():
    audit = load_audit()
    auditwheel = shutil.which("auditwheel")
    if auditwheel is None:
        pytest.skip("needs auditwheel")
    assert audit.audit(os.environ["TARN_WHEEL"], os.environ.get("TARN_WHEEL_POLICY", "manylinux2014_x86_64"), auditwheel) == []
