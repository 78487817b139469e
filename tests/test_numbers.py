"""Data fields as numbers: the grammar and the correctly rounded 32-bit value,
checked bit for bit against an exact reference."""

import os
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvik
from float_reference import parse_float32_reference
from test_reader import fail


HALF_SUBNORMAL = "0." + "0" * 45 + (
    "700649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625"
)


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def read_fields(plot_file, texts):
    """Reads many fields in one call: one block per text, n = 1."""
    width = max(len(t.encode()) for t in texts) + 1
    body = "".join("l\n" + t.rjust(width - len(t.encode()) + len(t)) + "\n" for t in texts)
    times, columns = tolvik.rust_read_tarvelo(plot_file("x 1\nt\n" + body), width)
    assert columns == []
    return times


def field_failure(plot_file, text):
    return fail(plot_file("x 1\nt\nl\n" + text + "|\n"), len(text.encode()))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.", 1.0),
        (".5", 0.5),
        ("-0", -0.0),
        ("+0.0e+99999", 0.0),
        ("0.1", f32(0x3DCCCCCD)),
        ("16777217", 16777216.0),
        ("16777219", 16777220.0),
        ("3.4028235e38", f32(0x7F7FFFFF)),
        ("340282356779733661637539395458142568448", float("inf")),  # 2^128 - 2^103, a tie
        ("340282356779733661637539395458142568447.9", f32(0x7F7FFFFF)),
        ("3.4028236e38", float("inf")),
        ("1e-45", 2.0**-149),
        ("7e-46", 0.0),
        (HALF_SUBNORMAL, 0.0),  # 2^-150, a tie, rounds to even: zero
        (HALF_SUBNORMAL + "1", 2.0**-149),
        ("-7e-46", -0.0),
        ("1.17549435e-38", f32(0x00800000)),
        ("1E+05", 1e5),
        ("-0.25e-3", -0.0002500000118743628),
        ("0" * 500 + "1.5", 1.5),
        ("1.5" + "0" * 500, 1.5),
        ("0." + "0" * 100000 + "1e100005", 10000.0),
        ("0." + "0" * 100000 + "1e1000005", f32(0x3DCCCCCD)),  # the last 5 is past the cap
        ("1e0000000000000000000000000001", 10.0),
        ("1e-99999999999999999999", 0.0),
        ("INF", float("inf")),
        ("-Infinity", float("-inf")),
        ("+inF", float("inf")),
    ],
)
def test_values(plot_file, text, expected):
    (got,) = read_fields(plot_file, [text])
    assert same(got, expected)
    assert same(parse_float32_reference(text), expected)


@pytest.mark.parametrize("text, bits", [("nan", 0x7FC00000), ("-NaN", 0xFFC00000), ("+nAn", 0x7FC00000)])
def test_nan_bits(plot_file, text, bits):
    # The float widened from the 32-bit NaN keeps its sign and quiet bit.
    (got,) = read_fields(plot_file, [text])
    assert struct.pack("<f", got) == struct.pack("<I", bits)


@pytest.mark.parametrize(
    "text",
    ["+", "-", ".", "+.", "e5", "1e", "1e+", "1e-", "1.5D+03", "1.2345-105", "0x1A", "1_000",
     "1 2", "+-1", "--1", "1..2", "1.2.3", "1e5.0", "infinite", "nan(1)", "NaNQ", "in", "infinit",
     "\uff11", "\u0661", "1\u200b", "1f", "e", ".e1"],
)
def test_invalid(plot_file, text):
    assert parse_float32_reference(text) == "Invalid"
    assert field_failure(plot_file, text) == "Could not parse line: ParseFloatError { kind: Invalid }"


def random_field(rnd):
    kind = rnd.random()
    if kind < 0.4:  # what a simulation writes
        digits = rnd.choice([6, 9])
        return f"{rnd.uniform(-10, 10) * 10 ** rnd.randint(-45, 38):.{digits - 1}E}"
    if kind < 0.7:  # any digits, any exponent around the float range
        mantissa = str(rnd.getrandbits(rnd.randint(1, 130)))
        point = rnd.randint(0, len(mantissa))
        return f"{mantissa[:point]}.{mantissa[point:]}e{rnd.randint(-80, 60)}"
    # an exact midpoint between two neighbouring floats, or just beside it
    bits = rnd.randint(0, 0x7F7FFFFF)
    lo = struct.unpack("<f", struct.pack("<I", bits))[0]
    hi = struct.unpack("<f", struct.pack("<I", bits + 1))[0]
    from decimal import Decimal, getcontext

    getcontext().prec = 200
    mid = (Decimal(lo) + Decimal(hi)) / 2
    nudge = rnd.choice(["", "0000001", None])
    text = format(mid, "f")
    if nudge is None:  # one unit less in a far digit
        text = format(mid - Decimal(10) ** (mid.adjusted() - 120), "f")
    elif "." in text:
        text += nudge
    return text


def test_random_fields_bit_for_bit(plot_file):
    rnd = random.Random(20261207)
    texts = [random_field(rnd) for _ in range(20000)]
    for text, got in zip(texts, read_fields(plot_file, texts)):
        assert same(got, parse_float32_reference(text)), text


def simulation_field(rnd, width):
    """A field that fills `width` bytes the way a simulation writes it
    (sign or blank, d.ddd, exponent letter, sign, two digits), sometimes with
    a '+' sign, a small 'e' or a tab for the blank, or a value that needs the
    exact path."""
    fraction = width - 7
    kind = rnd.random()
    if kind < 0.05:  # float midpoints around 2^24 (9 digits fit at width 15)
        value = rnd.choice([16777217.0, 16777219.0, 33554434.0, 33554438.0])
    elif kind < 0.1:  # the float range's ends
        value = rnd.choice([3.40282e38, 3.40283e38, 1.17549e-38, 1.4013e-45, 9.99999e-41])
    else:
        value = rnd.uniform(-10, 10) * 10.0 ** rnd.randint(-30, 30)
    text = f"{rnd.choice([-1, 1]) * value: .{fraction}E}"
    variant = rnd.random()
    if variant < 0.1 and text[0] == " ":
        text = "+" + text[1:]
    elif variant < 0.2:
        text = text.replace("E", "e")
    elif variant < 0.25 and text[0] == " ":
        text = "\t" + text[1:]
    assert len(text) == width, text
    return text


@pytest.mark.parametrize("n", [1, 10, 23])
@pytest.mark.parametrize("width", [11, 12, 13, 14, 15])
def test_fields_as_a_simulation_writes_them(plot_file, width, n):
    rnd = random.Random(width * 100 + n)
    blocks = [[simulation_field(rnd, width) for _ in range(n)] for _ in range(4000 // n)]
    body = "".join(
        "l\n" + "".join("".join(block[i:i + 10]) + "\n" for i in range(0, n, 10)) for block in blocks
    )
    times, columns = tolvik.rust_read_tarvelo(plot_file(f"x {n}\n" + "t\n" * n + body), width)
    for b, block in enumerate(blocks):
        for text, got in zip(block, [times[b]] + [column[b] for column in columns]):
            assert same(got, parse_float32_reference(text.strip())), text


@pytest.mark.parametrize("width", [11, 12, 15])
def test_every_byte_of_a_simulation_line_counts(plot_file, width):
    """Any one byte of a line of ten fields changed: the values, or the
    failure, are those of the changed text."""
    rnd = random.Random(width)
    fields = [f"{rnd.choice([-1, 1]) * rnd.uniform(1, 10):.{width - 7}E}".rjust(width)
              for _ in range(10)]
    line = "".join(fields)
    header = "x 10\n" + "t\n" * 10 + "l\n"
    for i in range(len(line)):
        for c in "x+-.E 5":
            changed = line[:i] + c + line[i + 1:]
            texts = [changed[k:k + width].strip() for k in range(0, len(changed), width)]
            expected = [parse_float32_reference(text) for text in texts]
            path = plot_file(header + changed + "\n")
            if "Invalid" in expected:
                assert fail(path, width) == "Could not parse line: ParseFloatError { kind: Invalid }"
            else:
                times, columns = tolvik.rust_read_tarvelo(path, width)
                got = times + [column[0] for column in columns]
                assert all(same(a, b) for a, b in zip(got, expected)), changed


@pytest.mark.parametrize(
    "field",
    [" 1.23456E+0x", " 1.23456E 02", " 1.23456E+-2", " 1.2345xE+02", " 1,23456E+02",
     " x.23456E+02", "*1.23456E+02", "--1.2345E+02", " 1.23456F+02", " 1.2345.E+02"],
)
def test_near_simulation_fields_are_refused(plot_file, field):
    assert field_failure(plot_file, field) == "Could not parse line: ParseFloatError { kind: Invalid }"


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="0123456789+-.eEinfatyINFATY \u00a0", max_size=24))
def test_any_text_agrees_with_the_reference(tmp_path_factory, text):
    path = tmp_path_factory.mktemp("f") / "p.plt"
    field = text.strip(" \u00a0")
    expected = parse_float32_reference(field)
    width = len(text.encode())
    path.write_bytes(("x 1\nt\nl\n" + text + "|\n").encode())
    if isinstance(expected, str):
        assert fail(str(path), width) == f"Could not parse line: ParseFloatError {{ kind: {expected} }}"
    else:
        (got,), _ = tolvik.rust_read_tarvelo(str(path), width)
        assert same(got, expected)


@pytest.mark.parametrize(
    "check, sources",
    [
        # the double shortcut: all 369 million quotients with w <= 2^24,
        # random ones up to 2^53, midpoints, and every limit
        ("fast_decimal_check", []),
        # fields read by position: every one-byte change of lines of 1 to 10
        # fields at widths 11 to 15, line by line and field by field
        ("e_field_check", []),
        # every line kernel this machine runs against the plain rules: every
        # one-byte change of lines of 1 to 10 fields at widths 11 to 15, every
        # exponent and digit, the shortcut's limits, float midpoints
        ("data_line_check", ["text/data_line*.cpp", "text/e_field.cpp", "text/parse_float.cpp"]),
        # the block reader of every vector kernel this machine runs against
        # the portable one on texts of many blocks, every one-byte change near
        # a run's ends, every cut; its conversion against the exact one for
        # every w below 10^6 and every exponent of its table
        ("block_run_check", ["text/ascii_line.cpp", "text/data_line*.cpp", "text/e_field.cpp",
                             "text/parse_float.cpp", "lib/buffered_blocks*.cpp"]),
    ],
)
def test_native_check(tmp_path, check, sources):
    import pathlib
    import shutil
    import subprocess

    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("needs g++")
    root = pathlib.Path(__file__).resolve().parent.parent
    binary = tmp_path / check
    files = sorted(str(p) for pattern in sources for p in (root / "src").glob(pattern))
    # A plain build and run, also when the suite itself runs sanitized.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and "SAN_OPTIONS" not in k}
    subprocess.run(
        [compiler, "-std=c++20", "-O2", f"-I{root / 'src'}", "-o", str(binary),
         str(root / "tests" / "native" / f"{check}.cpp"), *files],
        check=True,
        env=env,
    )
    done = subprocess.run([str(binary)], capture_output=True, text=True, env=env)
    assert done.stdout.startswith("0 mismatches"), done.stdout
