"""The explorer page: one self-contained HTML file showing a run's source, listings, counts and
first steps.

The page template (``_explorer.html``, styles and script inline) receives the run as JSON in a
``<script type="application/json">`` element; nothing else is spliced into the markup, and every
``<``, ``>`` and ``&`` in that JSON is escaped, so no script or source text can end the element.
A Content-Security-Policy with the hash of the page's own script forbids every other script and
every network request.
"""

import base64
import codecs
import hashlib
import json
import re
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence

from ._profile import split_lines

# How many steps a page shows unless asked otherwise: enough to follow a run's start, few enough
# that the page stays small whatever the length of the run.
DEFAULT_STEPS = 10_000

# The most program output a page carries (in characters): the steps are capped by the run, but
# a few steps can print a great deal.
MAX_PAGE_OUTPUT = 1 << 20

_DATA_MARK = "@TARN_DATA@"
_CSP_MARK = "@TARN_SCRIPT_HASH@"
_TEMPLATE = Path(__file__).with_name("_explorer.html")


def _utf8_offsets(data: bytes, offsets: Sequence[int]) -> Dict[int, int]:
    """Maps byte offsets into ``data`` to byte offsets into the UTF-8 encoding of
    ``data.decode("utf-8", "replace")``: both texts agree up to each offset, replacements
    included. An offset inside a character maps to the start of that character."""
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    mapped: Dict[int, int] = {}
    done = 0
    length = 0
    for offset in sorted(set(offsets)):
        end = min(max(offset, 0), len(data))
        if end > done:
            length += len(decoder.decode(data[done:end]).encode("utf-8", "surrogatepass"))
            done = end
        mapped[offset] = length
    return mapped


def build_page_data(source: bytes, path: str, result: Mapping[str, Any], output: bytes) -> Dict[str, Any]:
    """The ``data`` of :func:`render_page` from a run's pieces.

    ``source`` is the script as read, ``result`` the dict returned by ``tarn._core.run`` (with
    ``profile`` and ``steps`` asked for), ``output`` the program's output alone, as captured
    from a run in quiet mode. The steps' output offsets are carried over to the decoded output,
    whose invalid bytes each become U+FFFD.
    """
    raw_steps = result.get("steps") or []
    offsets = _utf8_offsets(output, [int(s[2]) for s in raw_steps])
    steps = [[int(s[0]), int(s[1]), offsets[int(s[2])]] for s in raw_steps]
    error: Optional[Dict[str, Any]] = None
    if result.get("error") is not None:
        error = {
            "message": str(result["error"]),
            "location": result.get("location") or None,
            "traceback": [str(line) for line in result.get("traceback") or ()],
        }
    return {
        "path": path,
        "source": source.decode("utf-8", "replace"),
        "profile": result.get("profile"),
        "steps": steps,
        "output": output.decode("utf-8", "replace"),
        "error": error,
    }


def _utf16_offsets(text: str, offsets: Sequence[int]) -> Dict[int, int]:
    """Maps byte offsets into the UTF-8 encoding of ``text`` to offsets in UTF-16 code units,
    the unit of a JavaScript string index."""
    data = text.encode("utf-8", "surrogatepass")
    decoder = codecs.getincrementaldecoder("utf-8")("ignore")
    mapped: Dict[int, int] = {}
    done = 0
    units = 0
    for offset in sorted(set(offsets)):
        end = min(max(offset, 0), len(data))
        if end > done:
            piece = decoder.decode(data[done:end])
            units += len(piece) + sum(1 for c in piece if ord(c) > 0xFFFF)
            done = end
        mapped[offset] = units
    return mapped


def _utf16_length(text: str) -> int:
    return len(text) + sum(1 for c in text if ord(c) > 0xFFFF)


def _script_json(value: Any) -> str:
    """JSON that can stand inside a script element: ASCII, and no ``<``, ``>`` or ``&`` (they
    occur only inside strings, where the escapes mean the same)."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _clean_text(text: str) -> str:
    """``text`` without lone surrogates (from undecodable file names), which no page can carry."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def render_page(data: Mapping[str, Any], *, max_output: int = MAX_PAGE_OUTPUT) -> str:
    """The explorer page for ``data`` (see :func:`build_page_data`) as HTML text.

    ``data["steps"]`` holds ``[function_index, pc, output_offset]`` with the offset in bytes of
    the UTF-8 encoding of ``data["output"]``. At most ``max_output`` characters of output are
    carried; steps past that point show the output cut there.
    """
    full_output = str(data.get("output") or "")
    output = full_output[:max_output]
    steps: List[List[int]] = [[int(s[0]), int(s[1]), int(s[2])] for s in data.get("steps") or ()]
    units = _utf16_offsets(output, [s[2] for s in steps])
    length = _utf16_length(output)
    carried = len(output.encode("utf-8", "surrogatepass"))
    # A step that had printed more than the page carries points one past the carried output,
    # so the page can say the output is cut there.
    truncated = len(full_output) > len(output)
    page_steps = [[s[0], s[1], length + 1 if truncated and s[2] > carried else units[s[2]]] for s in steps]
    error = data.get("error")
    page_data = {
        "path": _clean_text(str(data.get("path") or "")),
        "lines": split_lines(_clean_text(str(data.get("source") or ""))),
        "profile": data.get("profile"),
        "steps": page_steps,
        "output": output,
        "outputLength": length,
        "outputTruncated": truncated,
        "error": None
        if error is None
        else {
            "message": _clean_text(str(error.get("message") or "")),
            "location": _clean_text(str(error["location"])) if error.get("location") else None,
            "traceback": [_clean_text(str(line)) for line in error.get("traceback") or ()],
        },
    }
    template = _TEMPLATE.read_text(encoding="utf-8")
    match = re.search(r"<script>(.*?)</script>", template, re.S)
    assert match is not None, "the page template has no script"
    digest = base64.b64encode(hashlib.sha256(match.group(1).encode("utf-8")).digest()).decode("ascii")
    head, mark, tail = template.partition(_DATA_MARK)
    assert mark, "the page template has no data mark"
    return head.replace(_CSP_MARK, "sha256-" + digest) + _script_json(page_data) + tail
