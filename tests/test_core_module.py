"""The private module tarn._core: the one memory-size grammar, and a run's memory figures."""

import pytest

from tarn import _core

from conftest import write_script


@pytest.mark.parametrize(
    "text, size",
    [("1", 1), ("8M", 8 << 20), ("8m", 8 << 20), ("2k", 2048), ("1G", 1 << 30),
     (str((1 << 63) - 1), (1 << 63) - 1), (str((1 << 33) - 1) + "G", ((1 << 33) - 1) << 30)],
)
def test_parse_size_accepts(text, size):
    assert _core.parse_size(text) == size


@pytest.mark.parametrize(
    "text",
    ["", "0", "0K", "K", "-1", "+1", " 1", "1 ", "1KB", "1T", "1_000", "1.5M", "\u0661",
     str(1 << 63), str(1 << 33) + "G", str(1 << 64)],
)
def test_parse_size_refuses(text):
    with pytest.raises(ValueError, match="invalid memory size"):
        _core.parse_size(text)


def test_parse_size_takes_only_text():
    with pytest.raises(TypeError):
        _core.parse_size(8)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "source, error",
    [
        # Cycles of tables and closures are left to the end-of-run sweep.
        ("local t = {} t.self = t local function f() return f end print(1)", None),
        ("local t = {} t.self = t local x = t .. 1", "*"),
        ("local t = {} for i = 1, 1000000 do t[i] = {i} end", "out of memory"),
        ("local function f() return f() + 1 end f()", "stack overflow"),
        # Array parts past the pool's sizes grow in place; stopped while growing; given back
        # wholesale when the run is discarded for its many objects.
        ("local t = {} for i = 1, 300000 do t[i] = i end print(#t)", None),
        ("local t = {} for i = 1, 1000000 do t[i] = i end", "out of memory"),
        ("local t, u = {}, {} for i = 1, 100000 do t[i] = {} u[i] = i end print(#t + #u)", None),
    ],
)
def test_run_returns_the_heap_to_its_start(tmp_path, capfd, source, error):
    path = write_script(tmp_path, source)
    limit = "4M" if error == "out of memory" else None
    result = _core.run(str(path), memory_limit=limit)
    capfd.readouterr()
    if error == "*":
        assert result["error"]
    else:
        assert result["error"] == error
    start, end = result["memory"]
    assert start == end
    assert _core.last_run_memory() == (start, end)


def test_run_memory_limit_argument(tmp_path, capfd):
    path = write_script(tmp_path, "local s = {} for i = 1, 100000 do s[i] = i end")
    assert _core.run(str(path), memory_limit=1 << 20)["error"] == "out of memory"
    assert _core.run(str(path), memory_limit="64M")["error"] is None
    capfd.readouterr()
    with pytest.raises(ValueError):
        _core.run(str(path), memory_limit=0)
    with pytest.raises(ValueError):
        _core.run(str(path), memory_limit="64 M")
