"""How a plot file is cut into lines: terminators, long lines, buffer seams, UTF-8."""

import pytest

import tolvik
from test_reader import fail

read = tolvik.rust_read_tarvelo
HEAD = b"x 1\nname\nlead\n"


def data_line_length(plot_file, data_line):
    """The length in bytes that the reader sees for the first data line."""
    message = fail(plot_file(HEAD + data_line), 10**9)
    prefix = "end byte index 1000000000 is out of bounds for string of length "
    assert message.startswith(prefix)
    return int(message[len(prefix) :])


@pytest.mark.parametrize(
    "data_line, length",
    [
        (b"abc\n", 3),
        (b"abc\r\n", 3),
        (b"abc\r\r\n", 4),  # only one "\r" goes with the "\n"
        (b"abc\r", 4),  # a last line keeps its "\r"
        (b"a\rb\n", 3),  # a lone "\r" ends nothing
        (b"abc", 3),  # a last line without terminator is a line
        (b"\n", 0),
        (b"\r\n", 0),
        (b"\x0b\x0c\n", 2),  # other control bytes end nothing
        (b"\xc3\xa9\n", 2),  # lengths count bytes, not characters
    ],
)
def test_terminators(plot_file, data_line, length):
    assert data_line_length(plot_file, data_line) == length


@pytest.mark.parametrize("offset", [0, 1, 8000, 8191, 8192, 8193, 16383, 16384, 20000])
def test_long_lines_across_buffer_refills(plot_file, offset):
    """A line may start anywhere in the 8192-byte buffer and span any number of refills."""
    lead = b"L" * offset
    data = b" 1.0" + b" " * 20000 + b"\xe4\xb8\xad" * 3000
    content = b"x 1\nname\n" + lead + b"\n" + data + b"\n" + b"lead\n 2.5\n"
    assert read(plot_file(content), 4) == ([1.0, 2.5], [])
    assert data_line_length(plot_file, b"\xf0\x9f\x98\x80" * 5000 + b"\n") == 20000


@pytest.mark.parametrize("seam", range(8180, 8200))
def test_multibyte_character_split_by_a_refill(plot_file, seam):
    # The four-byte character lands across the buffer boundary at every offset.
    lead = b"L" * (seam - len(b"x 1\nname\n"))
    content = b"x 1\nname\n" + lead + b"\xf0\x9f\x98\x80\n 7.0\n"
    assert read(plot_file(content), 4) == ([7.0], [])


@pytest.mark.parametrize(
    "bad",
    [
        b"\xe9",  # Latin-1
        b"\x80",  # stray continuation byte
        b"\xc3",  # truncated at the end of the line
        b"\xc3(",  # missing continuation
        b"\xc0\xaf",  # overlong
        b"\xe0\x80\xaf",  # overlong
        b"\xf0\x80\x80\xaf",  # overlong
        b"\xed\xa0\x80",  # surrogate U+D800
        b"\xed\xbf\xbf",  # surrogate U+DFFF
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xf5\x80\x80\x80",
        b"\xff",
    ],
)
@pytest.mark.parametrize("where", ["count", "name", "lead", "data"])
def test_invalid_utf8_anywhere(plot_file, bad, where):
    lines = {"count": b"x 1", "name": b"name", "lead": b"lead", "data": b" 1.0"}
    lines[where] += bad
    content = b"\n".join(lines.values()) + b"\n"
    assert fail(plot_file(content), 4) == (
        'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
    )


@pytest.mark.parametrize(
    "good",
    ["\u0080", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\uffff", "\U00010000", "\U0010ffff"],
)
def test_boundary_code_points_are_valid(plot_file, good):
    content = HEAD + good.encode() + b"\n"
    # Valid UTF-8: the line is read, so the field is what fails.
    assert fail(plot_file(content), 1).startswith("end byte index 1 is not a char boundary")
