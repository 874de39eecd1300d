"""Writes docs/instructions.md, the instruction reference, from src/bytecode/opcodes.def.

Usage: python tools/instruction_reference.py [--check]

With --check, writes nothing and exits 1 if the checked-in page differs from what would be
written. The instruction list is read as text (no build needed) and checked on the way: one
entry per instruction, operand names matching the operand shape, and an example whose printed
form fits the shape.
"""

import re
import sys
from pathlib import Path
from typing import Dict, List, NamedTuple, Tuple

ROOT = Path(__file__).resolve().parent.parent
OPCODES = ROOT / "src" / "bytecode" / "opcodes.def"
PAGE = ROOT / "docs" / "instructions.md"

# The operand kinds of each shape, in order.
SHAPES: Dict[str, Tuple[str, ...]] = {
    "A": ("u8",),
    "AB": ("u8", "u8"),
    "ABC": ("u8", "u8", "u8"),
    "AU16": ("u8", "u16"),
    "AI16": ("u8", "i16"),
    "ABool": ("u8", "bool"),
    "ABBool": ("u8", "u8", "bool"),
    "I16": ("i16",),
    "None": (),
}

ESCAPES = {"n": "\n", "t": "\t"}
RANGES = {"u8": (0, 255), "u16": (0, 65535), "i16": (-32768, 32767)}


class Instruction(NamedTuple):
    tag: int
    name: str
    shape: str
    operands: Tuple[str, ...]
    meaning: str
    source: str
    index: int  # of the example line in its function's listing
    example: str  # the printed form


class DefError(Exception):
    pass


def _arguments(text: str, start: int) -> Tuple[List[str], int]:
    """The arguments of the macro call whose "(" is at text[start]: names as written, runs of
    adjacent string literals joined and unescaped. Returns them and the index after ")"."""
    args: List[str] = []
    current = ""
    i = start + 1
    while i < len(text):
        c = text[i]
        if c == '"':
            j = i + 1
            while text[j] != '"':
                if text[j] == "\n":
                    raise DefError(f"unterminated string at offset {i}")
                j += 2 if text[j] == "\\" else 1
            current += re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), text[i + 1 : j])
            i = j + 1
        elif c in ",)":
            args.append(current)
            current = ""
            i += 1
            if c == ")":
                return args, i
        elif c.isspace():
            i += 1
        else:
            current += c
            i += 1
    raise DefError("unterminated OP(")


def _check_example(name: str, kinds: Tuple[str, ...], form: str) -> None:
    if not kinds:
        if form != name:
            raise DefError(f"{name}: example {form!r} should be the bare name")
        return
    match = re.fullmatch(re.escape(name) + r"\((.*)\)", form)
    if not match:
        raise DefError(f"{name}: example {form!r} is not a printed form of {name}")
    values = match.group(1).split(", ")
    if len(values) != len(kinds):
        raise DefError(f"{name}: example {form!r} needs {len(kinds)} operands")
    for value, kind in zip(values, kinds):
        if kind == "bool":
            ok = value in ("true", "false")
        else:
            low, high = RANGES[kind]
            ok = re.fullmatch(r"-?\d+", value) is not None and low <= int(value) <= high
        if not ok:
            raise DefError(f"{name}: operand {value!r} of {form!r} is not a {kind}")


def read_instructions(path: Path = OPCODES) -> List[Instruction]:
    text = path.read_text(encoding="utf-8")
    # Comments never hold "OP(" at the start of a line, so this finds exactly the entries.
    result: List[Instruction] = []
    for match in re.finditer(r"^OP\(", text, re.MULTILINE):
        args, _ = _arguments(text, match.end() - 1)
        if len(args) != 6:
            raise DefError(f"entry {len(result)}: expected 6 arguments, found {len(args)}: {args}")
        name, shape, operands, meaning, source, example = args
        if shape not in SHAPES:
            raise DefError(f"{name}: unknown shape {shape}")
        names = tuple(operands.split())
        if len(names) != len(SHAPES[shape]):
            raise DefError(f"{name}: operands {operands!r} do not match shape {shape}")
        index, _, form = example.partition(" ")
        if not index.isdigit():
            raise DefError(f"{name}: example {example!r} must start with the listing index")
        _check_example(name, SHAPES[shape], form)
        result.append(Instruction(len(result), name, shape, names, meaning, source, int(index), form))
    if len(result) != 99:
        raise DefError(f"expected 99 instructions, found {len(result)}")
    return result


HEADER = """\
# Instruction reference

<!-- Written by tools/instruction_reference.py from src/bytecode/opcodes.def: edit those. -->

Every line of a listing's `byte_codes:` section, and every line of the trace, shows one
instruction as `Name(a, b, c)`: its name and its operands in order (`Return0` has none and
prints its bare name). This page lists the {count} instructions in tag order.

Notation:

- `R[x]` is register `x` of the running function. In the main function, register 0 holds the
  global table, so the script's locals start at register 1; in other functions the
  parameters come first, from register 0.
- `K[x]` is constant `x` of the running function: entry `x` of the listing's `constants:` line,
  counted from 0.
- `U[x]` is upvalue cell `x` of the running closure; entry `x` of `upindexes:` says where it
  was captured from.
- Operand kinds: `u8` is 0 to 255, `u16` 0 to 65535, `i16` -32768 to 32767, `bool` is printed
  `true` or `false`. Constant indexes are `u8` except in `LoadConst` and `Closure`.
- A jump by `d` goes on at the instruction after the jump plus `d`; "skips the next
  instruction" goes on two instructions further.

Each entry ends with a line of script and the listing line it produces for the instruction.

| Tag | Instruction | Operands |
|---:|---|---|
"""


def _signature(ins: Instruction) -> str:
    if not ins.operands:
        return ins.name
    return f"{ins.name}({', '.join(ins.operands)})"


def render(instructions: List[Instruction]) -> str:
    out = [HEADER.format(count=len(instructions))]
    for ins in instructions:
        out.append(f"| {ins.tag} | [`{ins.name}`](#{ins.name.lower()}) | `{_signature(ins)}` |\n")
    for ins in instructions:
        kinds = SHAPES[ins.shape]
        operands = ", ".join(f"`{n}` {k}" for n, k in zip(ins.operands, kinds)) or "none"
        out.append(
            f"\n## {ins.name}\n\n"
            f"Tag {ins.tag}. `{_signature(ins)}`; operands: {operands}.\n\n"
            f"{ins.meaning}\n\n"
            f"```text\n-- {ins.source}\n  {ins.index}\t{ins.example}\n```\n"
        )
    return "".join(out)


def main(argv: List[str]) -> int:
    if argv not in ([], ["--check"]):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    try:
        page = render(read_instructions())
    except DefError as exc:
        print(f"{OPCODES}: {exc}", file=sys.stderr)
        return 1
    if argv == ["--check"]:
        current = PAGE.read_text(encoding="utf-8") if PAGE.exists() else ""
        if current != page:
            print(f"{PAGE} is out of date: run python tools/instruction_reference.py", file=sys.stderr)
            return 1
        return 0
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(page, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
