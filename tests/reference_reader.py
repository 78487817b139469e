"""Plain reference for reading a plot file, for comparison with the module.

It takes the file's bytes and applies the reading rules one step after the
other, with none of the module's speed-ups. Lines are cut and checked only when
the reader reaches them, so a broken line after the point of failure is never
looked at. Numbers come from the exact float reference.

``read_plot_reference(content, n_digits)`` returns one of:

    ("ok", times, columns)          lists of Python floats (the binary32 values)
    ("fail", message, stdout_text)  the PanicException message, and the line
                                    written to standard output ("" unless the
                                    parameter count is invalid)

``reference_outcome(content, n_digits)`` gives the same as an ``Outcome`` with
what tolvik_arrays adds: the trimmed names, and the 1-based number of the line
where a read fails (for a missing line, the number it would have had).
"""

from __future__ import annotations

import re
import unicodedata
from dataclasses import dataclass, field

from float_reference import parse_float32_reference

# The 25 code points of Unicode White_Space.
WHITESPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)
_TOKEN = re.compile(f"[^{WHITESPACE}]+")
_COUNT = re.compile(r"\+?([0-9]+)")  # [0-9]: ASCII digits only
_U64_MAX = 2**64 - 1

READ_ERROR = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'


class Failure(Exception):
    def __init__(self, message: str, stdout_text: str = "", line: int = 0):
        super().__init__(message)
        self.message = message
        self.stdout_text = stdout_text
        self.line = line


class _Lines:
    """The file's lines, each without its terminator, UTF-8 checked on arrival;
    ``number`` is the number of the last line handed out."""

    def __init__(self, content: bytes):
        self.pieces = content.split(b"\n")
        self.last = self.pieces.pop()  # bytes after the last "\n": a line only if there are any
        self.number = 0

    def next(self) -> bytes | None:
        at = self.number
        if at < len(self.pieces):
            raw = self.pieces[at]
            raw = raw[:-1] if raw.endswith(b"\r") else raw
        elif at == len(self.pieces) and self.last:
            raw = self.last  # no "\n" was removed, so a final "\r" stays
        else:
            return None
        self.number += 1
        try:
            raw.decode("utf-8")  # strict: no overlong forms, surrogates or > U+10FFFF
        except UnicodeDecodeError:
            raise Failure(READ_ERROR, line=self.number) from None
        return raw


def parse_count(token: str) -> int | None:
    match = _COUNT.fullmatch(token)
    if match is None:
        return None
    digits = match.group(1).lstrip("0")
    if len(digits) > 20:  # int() refuses very long digit strings; these overflow anyway
        return None
    value = int(digits or "0")
    return value if value <= _U64_MAX else None


def _ranges(text: str) -> list[tuple[int, int]]:
    out = []
    for item in text.split():
        first, _, last = item.partition("..")
        out.append((int(first, 16), int(last or first, 16)))
    return out


# From the Unicode Character Database (DerivedCoreProperties.txt and
# PropList.txt of 17.0): code points that are default-ignorable, and those that
# extend a grapheme without being a nonspacing or enclosing mark.
DEFAULT_IGNORABLE = _ranges(
    "00AD 034F 061C 115F..1160 17B4..17B5 180B..180F 200B..200F 202A..202E 2060..206F 3164"
    " FE00..FE0F FEFF FFA0 FFF0..FFF8 1BCA0..1BCA3 1D173..1D17A E0000..E0FFF"
)
OTHER_GRAPHEME_EXTEND = _ranges(
    "09BE 09D7 0B3E 0B57 0BBE 0BD7 0CC0 0CC2 0CC7..0CC8 0CCA..0CCB 0CD5..0CD6 0D3E 0D57 0DCF"
    " 0DDF 1715 1734 1B35 1B3B 1B3D 1B43..1B44 1BAA 1BF2..1BF3 200C 302E..302F A953 A9C0"
    " FF9E..FF9F 111C0 11235 1133E 1134D 11357 113B8 113C2 113C5 113C7..113C9 113CF 114B0"
    " 114BD 115AF 116B6 11930 1193D 11F41 16FF0..16FF1 1D165..1D166 1D16D..1D172 E0020..E007F"
)


def _in(code: int, ranges: list[tuple[int, int]]) -> bool:
    return any(first <= code <= last for first, last in ranges)


def show_char(char: str) -> str:
    """How a char-boundary failure shows the character it cuts: escaped when it
    is a control, format, private-use, unassigned or whitespace character, a
    default-ignorable one, or one that extends a grapheme (above U+02FF).
    Categories come from this interpreter's Unicode data, whose version may
    differ from the module's for characters assigned since."""
    code = ord(char)
    category = unicodedata.category(char)
    grapheme_extend = category in ("Mn", "Me") or _in(code, OTHER_GRAPHEME_EXTEND)
    hidden = (
        category in ("Cc", "Cf", "Cn", "Co", "Cs", "Zs", "Zl", "Zp")
        or char in WHITESPACE
        or _in(code, DEFAULT_IGNORABLE)
        or (grapheme_extend and code > 0x2FF)
    )
    return "'\\u{%x}'" % code if hidden else f"'{char}'"


def slice_bytes(line: bytes, begin: int, end: int) -> str:
    length = len(line)
    if begin > length:
        raise Failure(f"start byte index {begin} is out of bounds for string of length {length}")
    if end > length:
        raise Failure(f"end byte index {end} is out of bounds for string of length {length}")
    if begin > end:
        raise Failure(f"byte range starts at {begin} but ends at {end}")
    for name, at in (("start", begin), ("end", end)):
        if at < length and 0x80 <= line[at] < 0xC0:
            start = stop = at
            while 0x80 <= line[start] < 0xC0:
                start -= 1
            while stop < length and 0x80 <= line[stop] < 0xC0:
                stop += 1
            char = show_char(line[start:stop].decode("utf-8"))
            raise Failure(
                f"{name} byte index {at} is not a char boundary; "
                f"it is inside {char} (bytes {start}..{stop} of string)"
            )
    return line[begin:end].decode("utf-8")


def _read(content: bytes, n_digits: int, names: list[str]) -> tuple[list, list]:
    lines = _Lines(content)
    count_line = lines.next()
    if count_line is None:
        raise Failure("Failed ot read line!", line=1)
    count_text = count_line.decode("utf-8")
    tokens = _TOKEN.findall(count_text)
    n = parse_count(tokens[-1]) if tokens else 0
    if n is None:
        raise Failure(
            f"The first line should end with the number of parameters:\n'{count_text}'",
            f"Error: '{tokens[-1]}' is not a valid number of parameters!\n",
            line=1,
        )
    for _ in range(n):  # the name lines; ends early when the lines run out
        name = lines.next()
        if name is None:
            raise Failure("Failed to read line!", line=lines.number + 1)
        names.append(name.decode("utf-8").strip(WHITESPACE))
    if n == 0:  # n - 1 columns in unsigned arithmetic: 2^64 - 1 of them
        raise Failure("capacity overflow", line=1)

    times: list[float] = []
    columns: list[list[float]] = [[] for _ in range(n - 1)]
    while lines.next() is not None:  # the lead line, unexamined
        for p in range(n):
            if p % 10 == 0:
                line = lines.next()
                if line is None:
                    raise Failure("Error reading line", line=lines.number + 1)
            field = p % 10
            try:
                text = slice_bytes(line, field * n_digits, (field + 1) * n_digits)
            except Failure as failure:
                failure.line = lines.number
                raise
            value = parse_float32_reference(text.strip(WHITESPACE))
            if isinstance(value, str):
                raise Failure(f"Could not parse line: ParseFloatError {{ kind: {value} }}", line=lines.number)
            (times if p == 0 else columns[p - 1]).append(value)
    return times, columns


@dataclass
class Outcome:
    ok: bool
    names: list[str] = field(default_factory=list)
    times: list[float] = field(default_factory=list)
    columns: list[list[float]] = field(default_factory=list)
    message: str = ""
    stdout_text: str = ""
    line: int = 0


def reference_outcome(content: bytes, n_digits: int) -> Outcome:
    names: list[str] = []
    try:
        times, columns = _read(content, n_digits, names)
    except Failure as failure:
        return Outcome(False, names, message=failure.message, stdout_text=failure.stdout_text, line=failure.line)
    return Outcome(True, names, times, columns)


def read_plot_reference(content: bytes, n_digits: int) -> tuple:
    outcome = reference_outcome(content, n_digits)
    if outcome.ok:
        return ("ok", outcome.times, outcome.columns)
    return ("fail", outcome.message, outcome.stdout_text)
