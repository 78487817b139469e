"""How a plot file is cut into lines: terminators, long lines, buffer seams, UTF-8."""

import os
import shutil
import subprocess
import sys

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


def system_reads(path, n_digits):
    """The reads of `path` that tolvik asks of the system, as (bytes asked,
    bytes got) pairs (strace), and what the call gave: its values, or the
    failure's text."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("needs strace")
    code = (
        "import sys, tolvik\n"
        "try:\n"
        "    print(repr(tolvik.rust_read_tarvelo(sys.argv[1], int(sys.argv[2]))))\n"
        "except BaseException as error:\n"
        "    print(str(error))\n"
    )
    log = path + ".strace"
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:  # the leak checker cannot run under ptrace
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run(
        [strace, "-f", "-e", "trace=openat,read,close", "-o", log, sys.executable, "-c", code,
         path, str(n_digits)],
        capture_output=True, text=True, timeout=120, env=env,
    )
    fd, reads = None, []
    with open(log) as trace:
        for line in trace:
            if fd is None and f'"{path}"' in line and "openat(" in line:
                fd = line.rsplit("= ", 1)[1].split()[0]
            elif fd is not None and f"read({fd}," in line:
                reads.append((int(line.split(", ")[-1].split(")")[0]), int(line.rsplit("= ", 1)[1])))
            elif fd is not None and f"close({fd})" in line:
                break
    return reads, done.stdout.strip()


def seam_plot(bad):
    """A file of blocks of 25 fields (310 bytes each) across three buffers; the
    block that the first buffer's end cuts has its first data line whole in
    that buffer, with a field that is not a number when `bad`."""
    fields = [f"{p * 1.5:12.5E}" for p in range(25)]
    lines = ["".join(fields[i : i + 10]) + "\n" for i in range(0, 25, 10)]
    content = "x 25\n" + "".join(f"name {p}\n" for p in range(25))
    while len(content) < 24000:
        block = "  lead\n" + "".join(lines)
        start = len(content)
        if bad and start + 7 + 121 <= 8192 < start + len(block):
            block = block.replace("4.50000E+00", "4.50000X+00", 1)
        content += block
    return content


@pytest.mark.parametrize("bad", [False, True])
def test_reads_ask_for_whole_buffers(plot_file, bad):
    """Blocks cut by the buffer's end are read whole, yet the system is asked
    for 8192 bytes at a time, each time the buffer is used up, and not once
    more before a line that fails."""
    content = seam_plot(bad)
    reads, outcome = system_reads(plot_file(content), 12)
    if bad:
        assert outcome == "Could not parse line: ParseFloatError { kind: Invalid }"
        assert reads == [(8192, 8192)]
    else:
        size = len(content)
        got = [8192] * (size // 8192) + [size % 8192, 0]
        assert reads == [(8192, n) for n in got]
        assert outcome.startswith("([0.0, 0.0")
