"""The profile of a run as text for people and as JSON.

A profile counts every executed instruction exactly (no sampling); it is the dict documented in
the README: ``total``, ``functions`` (listing order, each with its ``instructions``), ``lines``
and ``opcodes``. Line keys may be ints (fresh from the run) or strings (read back from JSON);
everything here accepts both and writes strings.
"""

import json
from typing import Any, Dict, List, Mapping, Sequence, Tuple

HOT_LINES = 20
BAR_WIDTH = 40
TEXT_WIDTH = 72


def split_lines(source: str) -> List[str]:
    """The source's lines as the compiler numbers them: line N is ``result[N - 1]``.

    Only ``\\n`` ends a line; a ``\\r`` before it belongs to no line's text.
    """
    return [line[:-1] if line.endswith("\r") else line for line in source.split("\n")]


def line_counts(profile: Mapping[str, Any]) -> Dict[int, int]:
    """``profile["lines"]`` with int keys."""
    return {int(line): int(count) for line, count in (profile.get("lines") or {}).items()}


def _self_count(function: Mapping[str, Any]) -> int:
    return sum(int(i["count"]) for i in function.get("instructions", ()))


def _percent(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:5.1f}%" if whole else "    -"


def _shown(text: str, width: int = TEXT_WIDTH) -> str:
    """One line of source fit for a terminal: no indentation, no control characters, cut."""
    text = "".join(c if c.isprintable() or c == " " else " " for c in text.expandtabs(4).strip())
    return text if len(text) <= width else text[: width - 3] + "..."


def _columns(rows: Sequence[Sequence[str]], right: Sequence[bool]) -> List[str]:
    """Rows of cells aligned in columns two spaces apart; the last column is never padded."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    out = []
    for row in rows:
        cells = []
        for i, cell in enumerate(row):
            last = i == len(row) - 1
            if right[i]:
                cells.append(cell.rjust(widths[i]))
            else:
                cells.append(cell if last else cell.ljust(widths[i]))
        out.append(("  " + "  ".join(cells)).rstrip())
    return out


def _bar(count: int, largest: int) -> str:
    if count <= 0 or largest <= 0:
        return ""
    # Any count at all gets one mark, so a rare opcode does not look unused.
    return "#" * max(1, round(BAR_WIDTH * count / largest))


def format_profile(profile: Mapping[str, Any], source_lines: Sequence[str], path: str) -> str:
    """The summary for people: totals, functions, hottest lines, opcode histogram.

    ``source_lines[N - 1]`` is the text of line N (see :func:`split_lines`). The text ends
    with a newline.
    """
    total = int(profile.get("total", 0))
    out = [f"profile of {path}: {total} instructions executed", ""]

    functions = list(profile.get("functions") or ())
    if functions:
        # Hottest first; the listing order breaks ties so the table is the same every run.
        ranked = sorted(enumerate(functions), key=lambda p: (-_self_count(p[1]), p[0]))
        rows: List[Tuple[str, ...]] = [("function", "lines", "calls", "instructions", "share")]
        for _, f in ranked:
            own = _self_count(f)
            rows.append(
                (
                    _shown(str(f.get("name", "?")), 48),
                    f"{f.get('first_line', '?')}-{f.get('last_line', '?')}",
                    str(f.get("calls", 0)),
                    str(own),
                    _percent(own, total),
                )
            )
        out.append("functions (instructions executed in the function itself):")
        out += _columns(rows, (False, False, True, True, True))
        out.append("")

    counts = line_counts(profile)
    hot = sorted(((c, line) for line, c in counts.items() if c > 0), key=lambda p: (-p[0], p[1]))[:HOT_LINES]
    if hot:
        rows = [("line", "count", "share", "text")]
        for count, line in hot:
            text = source_lines[line - 1] if 0 < line <= len(source_lines) else ""
            rows.append((str(line), str(count), _percent(count, total), _shown(text)))
        out.append(f"hottest lines (at most {HOT_LINES}):")
        out += _columns(rows, (True, True, True, False))
        out.append("")

    opcodes = [(str(name), int(c)) for name, c in (profile.get("opcodes") or {}).items() if int(c) > 0]
    if opcodes:
        opcodes.sort(key=lambda p: (-p[1], p[0]))
        largest = opcodes[0][1]
        rows = [("opcode", "count", "share", "")]
        rows += [(name, str(c), _percent(c, total), _bar(c, largest)) for name, c in opcodes]
        out.append("instructions by opcode:")
        out += _columns(rows, (False, True, True, False))
        out.append("")

    while out and out[-1] == "":
        out.pop()
    return "\n".join(out) + "\n"


def profile_json(profile: Mapping[str, Any]) -> str:
    """The profile as JSON in its documented shape, lines in numeric order, with a final newline.

    Non-ASCII text is escaped, so the result is ASCII whatever the names hold.
    """
    ordered = {
        "total": int(profile.get("total", 0)),
        "functions": [
            {
                "name": f.get("name"),
                "first_line": f.get("first_line"),
                "last_line": f.get("last_line"),
                "calls": f.get("calls"),
                "instructions": [
                    {"index": i["index"], "text": i["text"], "line": i["line"], "count": i["count"]}
                    for i in f.get("instructions", ())
                ],
            }
            for f in profile.get("functions") or ()
        ],
        "lines": {str(line): c for line, c in sorted(line_counts(profile).items())},
        "opcodes": dict(profile.get("opcodes") or {}),
    }
    return json.dumps(ordered, separators=(",", ":")) + "\n"
