"""Both modules against the plain reference reader on generated plot files.

Well-formed files and damaged ones, read with their own field width and with
others. Results must agree bit for bit; failures in their message and in the
line written to standard output (tolvik), in their message and line number
(tolvik_arrays, which writes nothing).
"""

import random
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolvik
import tolvik_arrays
from reference_reader import WHITESPACE, read_plot_reference, reference_outcome
from test_reader import panic_type

# Padding may use any whitespace but the line ends ("\r" before "\n" is cut).
PAD = [c for c in WHITESPACE if c not in "\r\n"]
LOOKALIKES = ["\x1c", "\x1f", "\u180e", "\u200b", "\ufeff"]  # not whitespace here
TEXT = "ab XY 09.+-=_:'\t" + "éΔ中😀\u00a0\u3000"
GOOD_COUNTS = ["{n}", "+{n}", "00{n}"]
BAD_COUNTS = ["+3", "003", "-3", "3.0", "3x", "+", "１", "", "0", "+0", "18446744073709551615", "18446744073709551616"]
# Bytes a damaged file may gain: broken UTF-8, line ends, number characters,
# and characters that can straddle a field boundary.
BROKEN = [b"\xff", b"\x80", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"]
PIECES = [b"\r", b"\n", b"\r\n"] + [c.encode() for c in " -.ED0éΔ中😀\xa0\u3000\u2028\x85\u0301\ufeff\u200b\ue000"]


def free_text(rng, size=12):
    return "".join(rng.choice(TEXT) for _ in range(rng.randint(0, size)))


def padding(size, char):
    """size bytes of whitespace: as many of char as fit, spaces for the rest."""
    count, rest = divmod(size, len(char.encode()))
    return " " * rest + char * count


def field(rng, width, pad):
    """One data field: mostly a value as a simulation writes it, else number-like text."""
    if rng.random() < 0.9:
        value = struct.unpack("<f", rng.randbytes(4))[0]
        text = f"{value:.{max(width - 7, 0)}E}"  # a negative value fills the field
    else:
        digits = lambda: "".join(rng.choices("0123456789", k=rng.randint(0, 7)))  # noqa: E731
        text = rng.choice(["", "-", "+"]) + digits() + rng.choice(["", "."]) + digits()
        text += rng.choice(["", "", "e", "E", "D", "E+", "e-"]) + digits()
        if rng.random() < 0.2:
            text = rng.choice(["inf", "-Infinity", "NaN", "-nan", "infinite", "nan(1)"])
        pad = rng.choice(PAD + LOOKALIKES)
    text = text[:width]
    left = rng.randint(0, width - len(text))
    return padding(left, pad) + text + padding(width - len(text) - left, pad)


@st.composite
def plot_files(draw, bad_counts=False):
    """Returns (content, field width) of a plot file.

    The shape is drawn by hypothesis; the bulk text (names, lead lines,
    fields) comes from a seeded generator, which keeps drawing cheap.
    """
    n = draw(st.integers(1, 35))
    width = draw(st.sampled_from([12, 15]) | st.integers(1, 20))
    bad = bad_counts and draw(st.integers(0, 3)) == 0
    count = draw(st.sampled_from(BAD_COUNTS if bad else GOOD_COUNTS)).format(n=n)
    blocks = draw(st.integers(0, 6))
    ends = draw(st.sampled_from(["\n", "\r\n", "mixed"]))
    rng = random.Random(draw(st.integers(0, 2**32)))

    pad = rng.choice(PAD)  # the usual padding of this file's fields
    spaces = lambda least: "".join(rng.choices(PAD, k=rng.randint(least, 2)))  # noqa: E731
    lines = [free_text(rng) + spaces(1) + count + spaces(0)]
    lines += [free_text(rng) for _ in range(n)]
    if draw(st.integers(0, 7)) == 0:  # a long name line: later lines cross the 8192-byte buffer
        lines[-1] = "".join(rng.choices(TEXT, k=rng.randint(4000, 7000)))
    for _ in range(blocks):
        lines.append(free_text(rng))  # lead line
        for first in range(0, n, 10):
            fields = [field(rng, width, pad) for _ in range(first, min(first + 10, n))]
            lines.append("".join(fields) + (free_text(rng) if rng.random() < 0.2 else ""))
    content = "".join(line + (rng.choice(["\n", "\r\n"]) if ends == "mixed" else ends) for line in lines)
    if draw(st.booleans()) and lines[-1]:  # no final line end
        content = content.rstrip("\r\n")
    return content.encode(), width


@st.composite
def damage(draw, content):
    rng = random.Random(draw(st.integers(0, 2**32)))  # positions: uniform over the file
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["insert", "replace", "break", "delete", "truncate", "duplicate", "drop"]))
        at = rng.randint(0, len(content))
        if kind == "truncate":
            content = content[:at]
        elif kind == "delete":
            content = content[:at] + content[at + draw(st.integers(1, 3)) :]
        elif kind in ("insert", "replace", "break"):
            piece = draw(st.sampled_from(BROKEN if kind == "break" else PIECES))
            content = content[:at] + piece + content[at + (len(piece) if kind == "replace" else 0) :]
        else:
            lines = content.split(b"\n")
            i = at % len(lines)
            lines[i : i + 1] = lines[i : i + 1] * (2 if kind == "duplicate" else 0)
            content = b"\n".join(lines)
    return content


@st.composite
def cases(draw, damaged):
    """Returns (content, n_digits): mostly the file's own width, else near it or anywhere."""
    content, width = draw(plot_files(bad_counts=damaged))
    if damaged:
        content = draw(damage(content))
    near = [width] * 4 + [width - 1, width + 1, 2**64 - 1]
    n_digits = draw(st.sampled_from(near) | st.integers(0, 3 * width))
    return content, max(n_digits, 0)


@pytest.fixture(scope="module")
def plot_path(tmp_path_factory):
    return tmp_path_factory.mktemp("reference") / "plot.plt"


def comparable(outcome):
    """Values as their bit patterns, so that NaN and -0.0 compare exactly."""
    if outcome[0] != "ok":
        return outcome
    hexed = lambda values: [struct.pack(">d", v).hex() for v in values]  # noqa: E731
    return ("ok", hexed(outcome[1]), [hexed(column) for column in outcome[2]])


def explain(got, expected):
    """Where the module's outcome first leaves the reference's."""
    if got[0] == expected[0] == "ok":
        for p, (mine, theirs) in enumerate(zip([got[1], *got[2]], [expected[1], *expected[2]])):
            for block, (a, b) in enumerate(zip(mine, theirs)):
                if a != b:
                    return f"parameter {p} of block {block}: module {_value(a)}, reference {_value(b)}"
    return f"\nmodule:    {_summary(got)}\nreference: {_summary(expected)}"


def _value(bits):
    return f"{struct.unpack('>d', bytes.fromhex(bits))[0]!r} ({bits})"


def _summary(outcome):
    if outcome[0] == "ok":
        return f"ok, {len(outcome[1])} blocks, {len(outcome[2]) + 1} parameters"
    return repr(outcome)


def compare(plot_path, capfd, content, n_digits):
    plot_path.write_bytes(content)
    capfd.readouterr()
    try:
        times, columns = tolvik.rust_read_tarvelo(str(plot_path), n_digits)
        got = ("ok", times, columns)
    except panic_type() as failure:
        got = ("fail", str(failure))
    stdout = capfd.readouterr().out
    if got[0] == "fail":
        got += (stdout,)
    else:
        assert stdout == ""
    got, expected = comparable(got), comparable(read_plot_reference(content, n_digits))
    assert got == expected, explain(got, expected)
    compare_arrays(plot_path, capfd, content, n_digits, got)


def compare_arrays(plot_path, capfd, content, n_digits, expected):
    """tolvik_arrays reads the same values as tolvik, or fails with the same
    message at the reference's line, and writes nothing."""
    if n_digits < 1:
        with pytest.raises(ValueError, match="n_digits must be at least 1"):
            tolvik_arrays.read_plot(plot_path, n_digits)
        return
    reference = reference_outcome(content, n_digits)
    try:
        plot = tolvik_arrays.read_plot(plot_path, n_digits)
    except tolvik_arrays.PlotFormatError as error:
        got = ("fail", error.message, error.line, error.path)
        expected = ("fail", expected[1], reference.line, str(plot_path))
    else:
        assert plot.values.shape == (len(plot.names) - 1, len(plot.times))
        assert plot.names == tuple(reference.names)
        got = comparable(("ok", plot.times.tolist(), plot.values.tolist()))
    assert capfd.readouterr() == ("", "")
    assert got == expected, explain(got, expected)


SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@settings(max_examples=1000, **SETTINGS)
@given(case=cases(damaged=False))
def test_well_formed_files(plot_path, capfd, case):
    compare(plot_path, capfd, *case)


@settings(max_examples=2000, **SETTINGS)
@given(case=cases(damaged=True))
def test_damaged_files(plot_path, capfd, case):
    compare(plot_path, capfd, *case)


# Files of many blocks in the simulation's layout, as most files are, so that
# runs of whole blocks are read straight from the buffer across many refills;
# now and then a line or field that is not quite in the layout (an excess
# byte, a lower-case exponent letter, an exponent past the double shortcut,
# a field of another shape), which its block must read the general way.
@pytest.mark.parametrize("width", [11, 12, 13, 14, 15])
@pytest.mark.parametrize("ends", ["\n", "\r\n", "mixed"])
def test_many_blocks_in_the_layout(plot_path, capfd, width, ends):
    rng = random.Random(width * 10 + len(ends))
    n = 23
    lines = [f"run {n}"] + [f"P{p}" for p in range(n)]
    for block in range(400):
        lines.append(f"{block:8d}      {block * 0.25:f}")
        for first in range(0, n, 10):
            fields = []
            for _ in range(first, min(first + 10, n)):
                value = rng.choice([0.0, rng.uniform(-1e7, 1e7), rng.uniform(-1e-7, 1e-7)])
                text = f"{value:.{width - 7}E}".rjust(width)
                roll = rng.random()
                if roll < 0.01:
                    text = text.replace("E", "e")
                elif roll < 0.02:
                    text = text[: width - 2] + "99"
                elif roll < 0.03:
                    text = "1.5".rjust(width)
                fields.append(text)
            lines.append("".join(fields) + (" " if rng.random() < 0.01 else ""))
    content = "".join(line + (rng.choice(["\n", "\r\n"]) if ends == "mixed" else ends) for line in lines)
    compare(plot_path, capfd, content.encode(), width)
