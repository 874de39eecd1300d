"""The explorer page written by a real run of the command line (--html), opened in headless
Chromium: it loads cleanly, shows the script, and steps through the recorded run."""

import subprocess

import pytest

import tarn
from corpus import EXAMPLES, TRACE_LINE
from test_explorer import browser, marked, open_page, page_json  # noqa: F401 (browser is a fixture)
from test_profile_exact import MARKER, counts_from_annotated_trace

FIB = next(p for p in EXAMPLES if p.name == "fib.lua")


def write_page(python_cmd, env, tmp_path, script, *args):
    page = tmp_path / "page.html"
    proc = subprocess.run(python_cmd + ["-m", "tarn", "--html", str(page), *args, str(script)],
                          capture_output=True, env=env, timeout=60)
    return proc, page


def traced_steps(script, count):
    """[(function index in listing order, pc)] of the first `count` executed instructions."""
    output = tarn.run(script, annotate=True).output
    listings, _, _ = counts_from_annotated_trace(output)
    index = {key: i for i, (key, _) in enumerate(listings)}
    steps, running = [], len(listings) - 1
    for line in output.split(b"\n"):
        m = MARKER.match(line)
        if m:
            running = index[(m.group(2).decode(), int(m.group(3)), int(m.group(4)))]
        elif TRACE_LINE.match(line):
            steps.append((running, int(line[3 : line.index(b"]")])))
    return steps[:count]


def test_page_of_a_real_run(browser, python_cmd, child_env, tmp_path):  # noqa: F811
    proc, page = write_page(python_cmd, child_env, tmp_path, FIB, "--html-steps", "300")
    assert (proc.returncode, proc.stderr) == (0, b"")
    # The script's own output only, as the run printed it.
    assert proc.stdout == tarn.run(FIB, mode="quiet").output
    data = page_json(page.read_text(encoding="utf-8"))
    assert [tuple(s[:2]) for s in data["steps"]] == traced_steps(FIB, 300)

    open_page(browser, page)
    shown = browser.execute_script("return Array.from(document.querySelectorAll('#source code')).map(e => e.textContent)")
    assert shown == FIB.read_text().split("\n")
    assert browser.find_element("id", "stepinfo").text.startswith("step 1 of 300")
    first = marked(browser, "cur")
    browser.find_element("id", "next").click()
    assert marked(browser, "cur") != first
    assert browser.find_element("id", "stepinfo").text.startswith("step 2 of 300")
    # At the last recorded step, the output printed before it is shown.
    browser.execute_script("var s = document.getElementById('slider'); s.value = 299; s.dispatchEvent(new Event('input'))")
    printed = browser.find_element("id", "output").get_attribute("textContent")
    assert printed and proc.stdout.decode().startswith(printed)


def test_page_of_a_run_that_stops(browser, python_cmd, child_env, tmp_path, lua_file):  # noqa: F811
    script = lua_file('print("before")\nlocal t = nil\nprint(t.x)\n')
    proc, page = write_page(python_cmd, child_env, tmp_path, script)
    assert proc.returncode == 1 and proc.stdout == b"before\n"
    assert proc.stderr.decode().startswith(f"error: {script}:3: not yet implemented: meta __index\n")
    open_page(browser, page)
    stop = browser.find_element("id", "stop")
    assert stop.is_displayed() and "not yet implemented: meta __index" in stop.text
    assert "err" in browser.find_element("id", "L3").get_attribute("class").split()
