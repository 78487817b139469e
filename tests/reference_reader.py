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
"""

from __future__ import annotations

import re
import unicodedata

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
    def __init__(self, message: str, stdout_text: str = ""):
        super().__init__(message)
        self.message = message
        self.stdout_text = stdout_text


def _lines(content: bytes):
    """Yield each line's bytes without its terminator, checking UTF-8 on arrival."""
    pieces = content.split(b"\n")
    last = pieces.pop()  # bytes after the last "\n": a line only if there are any
    for piece in pieces:
        _check_utf8(piece)
        yield piece[:-1] if piece.endswith(b"\r") else piece
    if last:
        _check_utf8(last)
        yield last  # no "\n" was removed, so a final "\r" stays


def _check_utf8(raw: bytes) -> None:
    try:
        raw.decode("utf-8")  # strict: no overlong forms, surrogates or > U+10FFFF
    except UnicodeDecodeError:
        raise Failure(READ_ERROR) from None


def parse_count(token: str) -> int | None:
    match = _COUNT.fullmatch(token)
    if match is None:
        return None
    digits = match.group(1).lstrip("0")
    if len(digits) > 20:  # int() refuses very long digit strings; these overflow anyway
        return None
    value = int(digits or "0")
    return value if value <= _U64_MAX else None


def show_char(char: str) -> str:
    """How a char-boundary failure shows the character it cuts.

    Covers the classes the tests generate: controls, format and private-use
    characters, whitespace, combining marks above U+02FF; all else is literal.
    """
    category = unicodedata.category(char)
    hidden = (
        category in ("Cc", "Cf", "Cn", "Co", "Cs", "Zs", "Zl", "Zp")
        or char in WHITESPACE
        or (category in ("Mn", "Me") and ord(char) > 0x2FF)
    )
    return "'\\u{%x}'" % ord(char) if hidden else f"'{char}'"


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


def _read(content: bytes, n_digits: int) -> tuple[list, list]:
    lines = _lines(content)
    count_line = next(lines, None)
    if count_line is None:
        raise Failure("Failed ot read line!")
    count_text = count_line.decode("utf-8")
    tokens = _TOKEN.findall(count_text)
    n = parse_count(tokens[-1]) if tokens else 0
    if n is None:
        raise Failure(
            f"The first line should end with the number of parameters:\n'{count_text}'",
            f"Error: '{tokens[-1]}' is not a valid number of parameters!\n",
        )
    for _ in range(n):  # the name lines; ends early when the lines run out
        if next(lines, None) is None:
            raise Failure("Failed to read line!")
    if n == 0:  # n - 1 columns in unsigned arithmetic: 2^64 - 1 of them
        raise Failure("capacity overflow")

    times: list[float] = []
    columns: list[list[float]] = [[] for _ in range(n - 1)]
    while next(lines, None) is not None:  # the lead line, unexamined
        for p in range(n):
            if p % 10 == 0:
                line = next(lines, None)
                if line is None:
                    raise Failure("Error reading line")
            field = p % 10
            text = slice_bytes(line, field * n_digits, (field + 1) * n_digits)
            value = parse_float32_reference(text.strip(WHITESPACE))
            if isinstance(value, str):
                raise Failure(f"Could not parse line: ParseFloatError {{ kind: {value} }}")
            (times if p == 0 else columns[p - 1]).append(value)
    return times, columns


def read_plot_reference(content: bytes, n_digits: int) -> tuple:
    try:
        times, columns = _read(content, n_digits)
    except Failure as failure:
        return ("fail", failure.message, failure.stdout_text)
    return ("ok", times, columns)
