"""The map's fields, read from fields.tsv: the same file the C++ library compiles in."""

import os
import re
from dataclasses import dataclass

from .errors import OutOfRange, UnknownField

MAP_SIZE = 0x1000
NO_READING = -0x8000


@dataclass(frozen=True)
class Field:
    name: str       # "sv_pos", "servo.#.goal" ('#' marks where the index goes)
    offset: int     # of element `first`
    type: str       # int, uint, text, bytes
    width: int      # bytes per element
    count: int
    stride: int
    first: int      # index of the first element (1 for servo ids)
    min: int
    max: int
    unit: str
    writer: str     # host, daemon, start-up, move
    meaning: str

    @property
    def indexed(self):
        return self.count > 1 or "#" in self.name

    @property
    def last(self):
        return self.first + self.count - 1

    def offset_of(self, index):
        return self.offset + (index - self.first) * self.stride

    def channel_of(self, index):
        """The interpolator channel of a channel view's index."""
        return (self.offset_of(index) - 0x0C00) // 2

    def label(self, index):
        if "#" in self.name:
            return self.name.replace("#", str(index))
        return f"{self.name}.{index}" if self.count > 1 else self.name


def _type_range(type_, width):
    if type_ == "int":
        return -(1 << (8 * width - 1)), (1 << (8 * width - 1)) - 1
    if type_ == "uint":
        return 0, (1 << (8 * width)) - 1
    return 0, 255


def _load(path):
    table = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            c = line.split("\t")
            if len(c) != 12:
                raise ValueError(f"{path}: a row needs 12 tab-separated columns: {line}")
            type_, width = c[2], int(c[3])
            lo, hi = _type_range(type_, width)
            table.append(Field(
                name=c[0], offset=int(c[1], 16), type=type_, width=width, count=int(c[4]),
                stride=int(c[5]), first=int(c[6]),
                min=lo if c[7] == "-" else int(c[7]), max=hi if c[8] == "-" else int(c[8]),
                unit="" if c[9] == "-" else c[9], writer=c[10], meaning=c[11]))
    return table


FIELDS = _load(os.path.join(os.path.dirname(os.path.abspath(__file__)), "fields.tsv"))
_BY_NAME = {f.name: f for f in FIELDS}


def find_field(name):
    return _BY_NAME.get(name)


def _distance(a, b):
    """Edit distance with adjacent swaps."""
    d = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        d[i][0] = i
    for j in range(len(b) + 1):
        d[0][j] = j
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def suggest(name):
    """The nearest field name to a misspelt one, or ''."""
    digits = [p for p in name.split(".") if p.isdigit()]
    index = digits[-1] if digits else "0"
    best, best_d = "", None
    for f in FIELDS:
        cand = f.name.replace("#", index) if "#" in f.name else (
            f"{f.name}.{index}" if f.count > 1 and "." in name else f.name)
        d = _distance(name, cand)
        if best_d is None or d < best_d:
            best, best_d = cand, d
    return best if best_d is not None and best_d <= min(3, max(1, len(name) // 3)) else ""


def resolve(name, index=None):
    """(field, index, offset, label) for "sv_pos.3", "servo.3.goal", "ttime", or a name plus an
    index. Raises UnknownField or OutOfRange."""
    if not isinstance(name, str):
        raise UnknownField(repr(name), "")
    if index is not None and (isinstance(index, bool) or not isinstance(index, int)):
        raise OutOfRange(f"index {index!r} of '{name}' is not a whole number")
    parts = name.split(".")
    f, named = None, None
    for i, p in enumerate(parts):
        if re.fullmatch(r"[0-9]{1,9}", p):
            pattern = ".".join(parts[:i] + ["#"] + parts[i + 1:])
            if pattern in _BY_NAME:
                f, named = _BY_NAME[pattern], int(p)
                break
    if f is None and len(parts) == 2 and re.fullmatch(r"[0-9]{1,9}", parts[1]):
        f = _BY_NAME.get(parts[0])
        if f is not None and not f.indexed:
            raise OutOfRange(f"'{f.name}' takes no index")
        if f is not None and "#" not in f.name:
            named = int(parts[1])
        else:
            f = None
    if f is None:
        f = _BY_NAME.get(name)
    if f is None or ("#" in f.name and named is None and index is None):
        raise UnknownField(name, suggest(name))
    if named is not None and index is not None:
        raise OutOfRange(f"'{name}' already has an index")
    if named is not None:
        index = named
    if not f.indexed:
        if index is not None:
            raise OutOfRange(f"'{f.name}' takes no index")
        index = f.first
    elif index is None:
        raise OutOfRange(f"'{f.name}' needs an index ({f.first}..{f.last})")
    elif not f.first <= index <= f.last:
        raise OutOfRange(f"index {index} of '{f.name}' out of range {f.first}..{f.last}")
    return f, index, f.offset_of(index), f.label(index)


def decode(field, data):
    """A field element's value from its bytes (little-endian integers, zero-ended text)."""
    if field.type == "text":
        return bytes(data).split(b"\0", 1)[0].decode("latin-1")
    if field.type == "bytes":
        return bytes(data)
    return int.from_bytes(bytes(data[:field.width]), "little", signed=field.type == "int")


def markdown():
    """The table as docs/host.md shows it (python3 -m orvane fields prints it)."""
    def type_name(f):
        if f.type in ("int", "uint"):
            return f"{f.type}{8 * f.width}"
        return f"{f.type} ({f.width} bytes)"
    rows = ["| Name | Offset | Type | Index | Range a host may set | Unit | Written by | Meaning |",
            "|---|---|---|---|---|---|---|---|"]
    for f in FIELDS:
        index = f"{f.first}..{f.last}" if f.indexed else ""
        settable = f.writer != "daemon" and f.type in ("int", "uint")
        span = f"{f.min}..{f.max}" if settable else ""
        writer = "host, by a one-channel move" if f.writer == "move" else f.writer
        rows.append(f"| `{f.name}` | 0x{f.offset:04X} | {type_name(f)} | {index} | {span} | "
                    f"{f.unit} | {writer} | {f.meaning} |")
    return "\n".join(rows) + "\n"
