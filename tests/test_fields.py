"""Cutting fields out of data lines: byte ranges, trimming, and the texts of a bad range."""

import pytest

import tolvik
from test_reader import fail

read = tolvik.rust_read_tarvelo

WHITESPACE = (
    [chr(c) for c in (0x09, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680)]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + [chr(c) for c in (0x2028, 0x2029, 0x202F, 0x205F, 0x3000)]
)
NOT_WHITESPACE = ["\u200b", "\ufeff", "\u180e", "\u00ad", "\u2060", "_"]


def one_field_file(plot_file, text, n=1):
    # The "|" after the field keeps a trailing "\r" from ending the line.
    return plot_file(("x %d\n" % n + "name\n" * n + "lead\n" + text + "|\n").encode())


@pytest.mark.parametrize("ws", WHITESPACE)
def test_fields_are_trimmed_of_every_whitespace(plot_file, ws):
    text = ws + ws + "-2.5" + ws
    width = len(text.encode())
    assert read(one_field_file(plot_file, text), width) == ([-2.5], [])
    assert fail(one_field_file(plot_file, ws * 3), len((ws * 3).encode())) == (
        "Could not parse line: ParseFloatError { kind: Empty }"
    )


@pytest.mark.parametrize("other", NOT_WHITESPACE)
def test_other_characters_are_not_trimmed(plot_file, other):
    text = other + "1.0"
    assert fail(one_field_file(plot_file, text), len(text.encode())) == (
        "Could not parse line: ParseFloatError { kind: Invalid }"
    )


def test_inner_whitespace_is_kept(plot_file):
    assert fail(one_field_file(plot_file, " 1 0 "), 5) == (
        "Could not parse line: ParseFloatError { kind: Invalid }"
    )


def test_fields_are_counted_in_bytes(plot_file):
    # Width 5: "\u00a0" takes two bytes, so the first field is "\u00a01.5" + " ".
    text = "\u00a01.5  \u00a02.5 "
    assert read(one_field_file(plot_file, text, n=2), 6) == ([1.5], [[2.5]])


@pytest.mark.parametrize(
    "prefix, char, width, message",
    [
        (" 1.00000E+0", "\u00e9", 12, "end byte index 12 is not a char boundary; it is inside '\u00e9' (bytes 11..13 of string)"),
        (" 1.00000E+0", "\u00a0", 12, "end byte index 12 is not a char boundary; it is inside '\\u{a0}' (bytes 11..13 of string)"),
        ("1.0", "\u4e2d", 4, "end byte index 4 is not a char boundary; it is inside '\u4e2d' (bytes 3..6 of string)"),
        ("1.0", "\u4e2d", 5, "end byte index 5 is not a char boundary; it is inside '\u4e2d' (bytes 3..6 of string)"),
        ("1.0", "\U0001f600", 6, "end byte index 6 is not a char boundary; it is inside '\U0001f600' (bytes 3..7 of string)"),
        ("1.0", "\u0301", 4, "end byte index 4 is not a char boundary; it is inside '\\u{301}' (bytes 3..5 of string)"),
        ("1.0", "\u200b", 4, "end byte index 4 is not a char boundary; it is inside '\\u{200b}' (bytes 3..6 of string)"),
        ("1.0", "\ufeff", 4, "end byte index 4 is not a char boundary; it is inside '\\u{feff}' (bytes 3..6 of string)"),
        ("1.0", "\u00ad", 4, "end byte index 4 is not a char boundary; it is inside '\\u{ad}' (bytes 3..5 of string)"),
        ("1.0", "\u0085", 4, "end byte index 4 is not a char boundary; it is inside '\\u{85}' (bytes 3..5 of string)"),
        ("1.0", "\u3000", 4, "end byte index 4 is not a char boundary; it is inside '\\u{3000}' (bytes 3..6 of string)"),
        ("1.0", "\ue000", 4, "end byte index 4 is not a char boundary; it is inside '\\u{e000}' (bytes 3..6 of string)"),
        ("1.0", "\U00100000", 4, "end byte index 4 is not a char boundary; it is inside '\\u{100000}' (bytes 3..7 of string)"),
        ("1.0", "\u0378", 4, "end byte index 4 is not a char boundary; it is inside '\\u{378}' (bytes 3..5 of string)"),
        ("1.0", "\U000e0001", 4, "end byte index 4 is not a char boundary; it is inside '\\u{e0001}' (bytes 3..7 of string)"),
        ("1.0", "\u115f", 4, "end byte index 4 is not a char boundary; it is inside '\\u{115f}' (bytes 3..6 of string)"),
        ("1.0", "\u00e0", 4, "end byte index 4 is not a char boundary; it is inside '\u00e0' (bytes 3..5 of string)"),
        ("1.0", "\u0394", 4, "end byte index 4 is not a char boundary; it is inside '\u0394' (bytes 3..5 of string)"),
    ],
)
def test_range_inside_a_character(plot_file, prefix, char, width, message):
    assert fail(one_field_file(plot_file, prefix + char + "  2.0"), width) == message


@pytest.mark.parametrize(
    "line, n, width, message",
    [
        ("x" * 50, 5, 12, "end byte index 60 is out of bounds for string of length 51"),
        ("1" * 50, 1, 60, "end byte index 60 is out of bounds for string of length 51"),
        ("", 1, 2, "end byte index 2 is out of bounds for string of length 1"),
        (" 1.0 2.0 3.0", 4, 4, "end byte index 16 is out of bounds for string of length 13"),
    ],
)
def test_range_beyond_the_line(plot_file, line, n, width, message):
    if line.startswith("x"):
        line = "".join(f"{i:>12}" for i in range(4)) + "x" * 2  # 50 bytes, four good fields
    assert fail(one_field_file(plot_file, line, n=n), width) == message
