"""The explorer page: its data (output offsets carried across decoding, caps, escaping) and, in
headless Chromium driven by Selenium, what a reader sees and does with it.

The browser tests skip, saying why, where Selenium, Chromium or its driver is missing; `.ci/run`
installs all three.
"""

import json
import os
import re
import shutil
from pathlib import Path

import pytest

import tarn
from run_pieces import FIB_LINES, FIB_NAMES, FIB_RANGES, pieces_from_trace
from tarn._explorer import build_page_data, render_page

FIB = Path(__file__).resolve().parent.parent / "examples" / "fib.lua"
DRIVER = "/usr/bin/chromedriver"
PAGE_LIMIT = 5 << 20


def result_dict(profile, steps, error=None, location=None, traceback=()):
    return {
        "error": error,
        "location": location,
        "traceback": list(traceback),
        "instructions": profile["total"] if profile else 0,
        "profile": profile,
        "steps": steps,
    }


def page_json(page: str) -> dict:
    match = re.search(r'<script type="application/json" id="tarn-data">(.*?)</script>', page, re.S)
    assert match
    return json.loads(match.group(1))


@pytest.fixture(scope="module")
def fib_run():
    result = tarn.run(FIB)
    profile, steps, program = pieces_from_trace(result.output.decode(), FIB_NAMES, FIB_RANGES, FIB_LINES)
    return FIB.read_bytes(), profile, steps, program


def fib_page(fib_run, tmp_path, **changes) -> Path:
    source, profile, steps, program = fib_run
    data = build_page_data(source, "examples/fib.lua", result_dict(profile, steps), program)
    data.update(changes)
    page = tmp_path / "fib.html"
    page.write_text(render_page(data), encoding="utf-8")
    return page


def test_output_offsets_survive_decoding():
    # Invalid bytes, a two-byte and a four-byte character; an offset inside a character stops
    # before it. The page's offsets count UTF-16 units, as JavaScript strings do.
    output = b"a\xffb\xc3\xa9c\xf0\x9f\x98\x80d"
    offsets = [0, 1, 2, 3, 4, 5, 6, 8, 10, 11, 99]
    steps = [[0, i, off] for i, off in enumerate(offsets)]
    data = build_page_data(b"x = 1\n", "o.lua", result_dict(None, steps), output)
    assert data["output"] == "a\ufffdb\u00e9c\U0001F600d"
    assert [s[2] for s in data["steps"]] == [0, 1, 4, 5, 5, 7, 8, 8, 12, 13, 13]
    shown = page_json(render_page(data))
    text = shown["output"]
    units = text.encode("utf-16-le")
    expected = ["", "a", "a\ufffd", "a\ufffdb", "a\ufffdb", "a\ufffdb\u00e9", "a\ufffdb\u00e9c", "a\ufffdb\u00e9c",
                "a\ufffdb\u00e9c\U0001F600", text, text]
    assert [units[: 2 * s[2]].decode("utf-16-le") for s in shown["steps"]] == expected


def test_page_carries_capped_output_and_stop():
    steps = [[0, 0, 0], [0, 1, 4], [0, 2, 8]]
    data = build_page_data(b"", "c.lua", result_dict(None, steps, "boom", "", ["c.lua:1: in main chunk"]), b"abcdefgh")
    assert data["error"] == {"message": "boom", "location": None, "traceback": ["c.lua:1: in main chunk"]}
    # Cut one character short, the last step points past the end: the page says it is cut.
    for cap, truncated, last in [(8, False, 8), (7, True, 8)]:
        shown = page_json(render_page(data, max_output=cap))
        assert (shown["outputTruncated"], shown["outputLength"]) == (truncated, cap)
        assert [s[2] for s in shown["steps"]] == [0, 4, last]


def test_hostile_text_stays_inside_its_element(fib_run):
    source = b'print("</script><b>x</b>") -- <!-- <script>alert(1)</script> & \xe2\x80\xa8\n'
    steps = [[0, 0, 0]]
    data = build_page_data(source, "</script><i>p.lua", result_dict(None, steps, "</script>"), b"</SCRIPT>\n")
    page = render_page(data)
    embedded = page.split('id="tarn-data">', 1)[1].split("</script>", 1)[0]
    assert "<" not in embedded and json.loads(embedded)["error"]["message"] == "</script>"
    # The page's own two scripts, and nothing else, close a script element.
    assert len(re.findall(r"</script", page, re.I)) == 2
    assert page_json(page)["lines"][0] == source.decode().rstrip("\n")


def test_big_run_page_is_small(fib_run):
    # A profile as large as a long run of a real program gives (100 functions of 60 instructions,
    # counts in the hundred millions) with the default 10,000 steps.
    source, _, _, _ = fib_run
    functions = []
    for f in range(100):
        instructions = [
            {"index": i, "text": f"GetField({i % 250}, {i % 200}, {i % 100})", "line": f * 10 + i // 6 + 1, "count": 98765 * (i + 1)}
            for i in range(60)
        ]
        functions.append({"name": f"function <big.lua:{f * 10 + 1}>", "first_line": f * 10 + 1, "last_line": f * 10 + 10,
                          "calls": 1234567, "instructions": instructions})
    lines = {}
    for f in functions:
        for i in f["instructions"]:
            lines[str(i["line"])] = lines.get(str(i["line"]), 0) + i["count"]
    profile = {"total": sum(lines.values()), "functions": functions, "lines": lines, "opcodes": {"GetField": sum(lines.values())}}
    steps = [[s % 100, s % 60, s * 3] for s in range(10_000)]
    big_source = b"".join(b"local x%d = x%d + 1 -- some words of comment\n" % (n, n) for n in range(1000))
    page = render_page(build_page_data(big_source, "big.lua", result_dict(profile, steps), b"out\n" * 10_000))
    assert profile["total"] > 100_000_000
    assert len(page.encode("utf-8")) < PAGE_LIMIT


# The browser.


def _browser_missing():
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (pip install selenium)"
    if not os.access(DRIVER, os.X_OK):
        return f"no chromedriver at {DRIVER} (apt-get install chromium-driver)"
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        return "no chromium (apt-get install chromium)"
    return None


@pytest.fixture(scope="module")
def browser():
    reason = _browser_missing()
    if reason:
        pytest.skip(f"browser tests need headless Chromium: {reason}")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def open_page(driver, page: Path):
    driver.get(page.as_uri())
    assert driver.execute_script("return document.body.dataset.ready") == "1"
    severe = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    assert severe == []


def off_legend(driver) -> list:
    """The source rows whose shade stands in the legend for a range without their count."""
    return driver.execute_script(r"""
      const ranges = {}, shade = e => [...e.classList].find(c => /^h\d$/.test(c));
      document.querySelectorAll('#legend .sw').forEach(s => {
        const m = s.title.replace(/,/g, '').match(/\d+/g) || ['0']; ranges[shade(s)] = [+m[0], +(m[1] || m[0])]; });
      return [...document.querySelectorAll('#source .row')].filter(r => r.querySelector('.cnt').textContent !== '')
        .filter(r => { const c = +r.querySelector('.cnt').textContent.replace(/,/g, ''), g = ranges[shade(r)];
                       return !g || c < g[0] || c > g[1]; }).map(r => r.id);""")


def classes(driver, element_id: str) -> set:
    return set(driver.find_element("id", element_id).get_attribute("class").split())


def marked(driver, name: str) -> list:
    """The ids of the rows carrying the class ``name``, sorted."""
    return sorted(driver.execute_script(f"return Array.from(document.querySelectorAll('.{name}')).map(e => e.id)"))


def test_page_shows_source_listings_and_links(browser, fib_run, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains

    open_page(browser, fib_page(fib_run, tmp_path))
    source_lines = FIB.read_text().split("\n")
    shown = browser.execute_script("return Array.from(document.querySelectorAll('#source code')).map(e => e.textContent)")
    assert shown == source_lines
    assert browser.find_element("css selector", "#L7 .cnt").text == "1,768"
    assert len(browser.find_elements("css selector", "#F0 .ins")) == 12
    assert len(browser.find_elements("css selector", "#F1 .ins")) == 13
    assert "h8" in classes(browser, "L7") and "h0" in classes(browser, "L8") and not classes(browser, "L9") & {"h0", "h1"}
    assert off_legend(browser) == []

    # Selecting an instruction marks its source line; selecting a line marks its instructions.
    browser.find_element("id", "I0-9").click()
    assert marked(browser, "sel") == ["I0-9"] and marked(browser, "linked") == ["L7"]
    browser.find_element("id", "L4").click()
    assert marked(browser, "sel") == ["L4"] and marked(browser, "linked") == ["I0-0", "I0-1"]
    ActionChains(browser).move_to_element(browser.find_element("id", "I0-2")).perform()
    assert marked(browser, "hover") == ["L5"]
    # By keyboard: the arrow moves the selection down the listing.
    browser.find_element("id", "I0-9").click()
    browser.switch_to.active_element.send_keys("\ue015")  # ArrowDown
    assert marked(browser, "sel") == ["I0-10"] and browser.switch_to.active_element.get_attribute("id") == "I0-10"


def test_stepper_moves_highlight_and_output(browser, fib_run, tmp_path):
    from selenium.webdriver.common.keys import Keys

    _, _, steps, program = fib_run
    open_page(browser, fib_page(fib_run, tmp_path))
    output = lambda: browser.find_element("id", "output").get_attribute("textContent")  # noqa: E731
    assert marked(browser, "cur") == ["I1-0", "L3"] and marked(browser, "curfn") == ["F1"] and output() == ""
    browser.find_element("id", "next").click()
    assert marked(browser, "cur") == ["I1-1", "L10"]
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
    assert marked(browser, "cur") == ["I1-2", "L10"]
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_LEFT)
    assert marked(browser, "cur") == ["I1-1", "L10"]

    # The step before the first print shows no output; the one after it shows the first line.
    first = next(i for i, s in enumerate(steps) if s[2] > 0)
    go_to(browser, first - 1)
    assert output() == "" and browser.find_element("id", "stepinfo").text.startswith(f"step {first} of")
    browser.find_element("id", "next").click()
    assert output() == program[: steps[first][2]].decode() == "0\t0\n"
    # The first step in fib moves the function's mark.
    go_to(browser, next(i for i, s in enumerate(steps) if s[0] == 0) - 1)
    assert marked(browser, "curfn") == ["F1"]
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
    assert marked(browser, "curfn") == ["F0"] and marked(browser, "cur") == ["I0-0", "L4"]
    browser.find_element("tag name", "body").send_keys(Keys.END)
    assert output() == program[: steps[-1][2]].decode() and browser.find_element("id", "next").get_attribute("disabled")


def go_to(driver, step: int):
    driver.execute_script("var s = document.getElementById('slider'); s.value = arguments[0];"
                          "s.dispatchEvent(new Event('input'))", step)


def test_steps_deep_in_long_listings_come_into_view(browser, tmp_path):
    functions = [
        {"name": f"f{f}", "first_line": 1, "last_line": 900, "calls": 1,
         "instructions": [{"index": i, "text": f"Move({i % 200}, 1)", "line": 3 * i + 1, "count": 1} for i in range(300)]}
        for f in range(3)
    ]
    profile = {"total": 900, "functions": functions, "lines": {}, "opcodes": {"Move": 900}}
    steps = [[2, 250, 0], [0, 5, 0], [1, 299, 0]]
    source = b"".join(b"x = %d\n" % n for n in range(900))
    page = tmp_path / "long.html"
    page.write_text(render_page(build_page_data(source, "long.lua", result_dict(profile, steps), b"")), encoding="utf-8")
    open_page(browser, page)
    for row_id, line in [("I2-250", 751), ("I0-5", 16), ("I1-299", 898)]:
        # Inside its pane, below the sticky function header, and its source line too.
        assert marked(browser, "cur") == [row_id, f"L{line}"]
        for element, pane in [(row_id, "listings"), (f"L{line}", "source")]:
            box = browser.execute_script(
                "const r = document.getElementById(arguments[0]).getBoundingClientRect(),"
                " p = document.getElementById(arguments[1]).getBoundingClientRect(),"
                " h = document.getElementById(arguments[0]).closest('.fn');"
                " return [r.top, r.bottom, p.top, p.bottom, h ? h.querySelector('h3').getBoundingClientRect().bottom : p.top]",
                element, pane)
            top, bottom, pane_top, pane_bottom, header_bottom = box
            assert pane_top <= header_bottom <= top and bottom <= pane_bottom, (element, box)
        browser.find_element("id", "next").click()


def test_screenshot_is_not_blank_in_either_scheme(browser, fib_run, tmp_path):
    open_page(browser, fib_page(fib_run, tmp_path))
    backgrounds = []
    for scheme in ("light", "dark"):
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
        backgrounds.append(browser.execute_script("return getComputedStyle(document.documentElement).backgroundColor"))
        png = browser.get_screenshot_as_base64()
        # Count the colours of the screenshot in the browser itself (no image library needed).
        colours = browser.execute_async_script(
            """const done = arguments[1], img = new Image();
            img.onload = () => { const c = document.createElement('canvas'); c.width = img.width; c.height = img.height;
              const g = c.getContext('2d'); g.drawImage(img, 0, 0); const d = g.getImageData(0, 0, c.width, c.height).data;
              const seen = new Set(); for (let i = 0; i < d.length; i += 4 * 7) seen.add(d[i] << 16 | d[i+1] << 8 | d[i+2]);
              done(seen.size); };
            img.onerror = () => done(-1); img.src = 'data:image/png;base64,' + arguments[0];""",
            png,
        )
        assert colours > 20, scheme
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
    light, dark = (sum(map(int, re.findall(r"\d+", colour)[:3])) for colour in backgrounds)
    assert light > 600 and dark < 150, backgrounds
    # Printed: no stepper, and the panes show everything instead of scrolling.
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    try:
        assert browser.execute_script("return getComputedStyle(document.getElementById('stepper')).display") == "none"
        assert browser.execute_script("return getComputedStyle(document.getElementById('listings')).maxHeight") == "none"
    finally:
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})


def test_hostile_source_renders_as_text(browser, tmp_path):
    source = b'print("</script><b>x</b>") -- <img src=x onerror="document.title=1">\nlocal s = "&amp; \xff"\n'
    profile = {"total": 1, "functions": [{"name": "main chunk", "first_line": 1, "last_line": 3, "calls": 1,
               "instructions": [{"index": 0, "text": "Return0", "line": 3, "count": 1}]}],
               "lines": {"3": 1}, "opcodes": {"Return0": 1}}
    data = build_page_data(source, "<b>p</b>.lua", result_dict(profile, [[0, 0, 0]], "</script><i>boom", "p.lua:2:"), b"")
    page = tmp_path / "hostile.html"
    page.write_text(render_page(data), encoding="utf-8")
    open_page(browser, page)
    assert browser.find_elements("css selector", "main b, main img, header b, header i") == []
    assert browser.find_element("css selector", "#L1 code").text == source.split(b"\n")[0].decode()
    assert browser.find_element("css selector", "#L2 code").text == 'local s = "&amp; \ufffd"'
    assert browser.find_element("id", "path").text == "<b>p</b>.lua"
    assert "The run stopped: </script><i>boom" in browser.find_element("id", "stop").text
    assert "err" in classes(browser, "L2")
    assert off_legend(browser) == []  # the hottest line ran once
    # Every step was recorded, so the last one is where the run stopped.
    assert browser.find_element("id", "stepinfo").text.endswith("the run stopped here")


def test_run_without_profile_or_steps(browser, tmp_path):
    # A compile-time stop: no profile, no steps; the page still shows the source and the stop.
    data = build_page_data(b"x = = 1\n", "bad.lua", result_dict(None, None, "unexpected symbol", "bad.lua:1:5:"), b"")
    page = tmp_path / "bad.html"
    page.write_text(render_page(data), encoding="utf-8")
    open_page(browser, page)
    assert browser.find_element("id", "next").get_attribute("disabled")
    assert "err" in classes(browser, "L1")
    assert browser.find_element("id", "stop").is_displayed()
