"""Reading whole plot files: layout, results and every failure of the reader."""

import os
import struct

import pytest

import tolvik

read = tolvik.rust_read_tarvelo
PanicException = None  # filled in on first use


def panic_type():
    global PanicException
    if PanicException is None:
        try:
            read("/nonexistent/plot.plt", 12)
        except BaseException as e:  # noqa: B036 - the type is what we want
            PanicException = type(e)
    return PanicException


def fail(path, n_digits=12):
    with pytest.raises(panic_type()) as info:
        read(path, n_digits)
    return str(info.value)


def bits(x):
    return struct.pack("<d", x)


def field(value, width=12):
    """A Fortran-like E field of the given width."""
    return f"{value:.5E}".rjust(width) if width == 12 else f"{value:.8E}".rjust(width)


EXAMPLE = (
    "Plot file of a test run       3\n"
    "TIME\nPRESSURE\nTEMPERATURE\n"
    "  1\n"
    " 0.00000E+00 1.01325E+05 3.00000E+02\n"
    "  2\n"
    " 1.00000E+00 1.02000E+05 3.10000E+02\n"
)


def test_worked_example(plot_file):
    assert read(plot_file(EXAMPLE), 12) == ([0.0, 1.0], [[101325.0, 102000.0], [300.0, 310.0]])


def test_values_running_together(plot_file):
    text = "x 3\na\nb\nc\n1\n 0.00000E+00-1.50000E+00-2.00000E+00\n"
    assert read(plot_file(text), 12) == ([0.0], [[-1.5], [-2.0]])


@pytest.mark.parametrize("n", [1, 2, 9, 10, 11, 19, 20, 21, 25, 120])
@pytest.mark.parametrize("width", [12, 15])
def test_block_layout(plot_file, n, width):
    """Parameter p of a block is field p mod 10 of data line p // 10."""
    blocks = 3
    values = [[(b + 1) * 1000 + p for p in range(n)] for b in range(blocks)]
    lines = [f"header {n}"] + [f"P{p}" for p in range(n)]
    for b, row in enumerate(values):
        lines.append(f"{b + 1:5d}")
        for start in range(0, n, 10):
            lines.append("".join(field(v, width) for v in row[start : start + 10]))
    times, columns = read(plot_file("\n".join(lines) + "\n"), width)
    assert times == [row[0] for row in values]
    assert columns == [[row[p] for row in values] for p in range(1, n)]


def test_excess_bytes_and_fields_are_ignored(plot_file):
    text = "x 2\na\nb\nlead\n 1.0 2.0 garbage beyond the needed fields\n"
    assert read(plot_file(text), 4) == ([1.0], [[2.0]])


@pytest.mark.parametrize(
    "ending",
    [b"\n", b"\r\n"],
)
@pytest.mark.parametrize("final_newline", [True, False])
def test_line_endings(plot_file, ending, final_newline):
    lines = [b"x 2", b"t", b"v", b"1", b" 1.0 2.0", b"2", b" 3.0 4.0"]
    content = ending.join(lines) + (ending if final_newline else b"")
    assert read(plot_file(content), 4) == ([1.0, 3.0], [[2.0, 4.0]])


def test_names_and_lead_lines_are_not_examined(plot_file):
    text = "x 2\n\n  any text 1.5D+03 \u00e9\n\n 1.0 2.0\n\u4e2d\u6587\n 3.0 4.0\n"
    assert read(plot_file(text), 4) == ([1.0, 3.0], [[2.0, 4.0]])


@pytest.mark.parametrize("n", [1, 2, 11])
def test_file_without_blocks(plot_file, n):
    text = f"count {n}\n" + "".join(f"p{i}\n" for i in range(n))
    assert read(plot_file(text), 12) == ([], [[] for _ in range(n - 1)])


def test_file_without_blocks_accepts_any_width(plot_file):
    assert read(plot_file("x 2\na\nb\n"), 0) == ([], [[]])


# --- the count line -------------------------------------------------------


@pytest.mark.parametrize(
    "count_line, n",
    [
        ("3", 3),
        ("+3", 3),
        ("003", 3),
        ("Plot file of a test run 3", 3),
        ("\t lots\u3000of\u00a0text\u2003 2 ", 2),
        ("\ufeffA title 2", 2),  # the mark sticks to the first token only
        ("1 2 3 4 1", 1),
    ],
)
def test_count_line_last_token(plot_file, capfd, count_line, n):
    text = count_line + "\n" + "name\n" * n + "lead\n" + " 1.0" * n + "\n"
    times, columns = read(plot_file(text), 4)
    assert times == [1.0] and columns == [[1.0]] * (n - 1)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "count_line, token",
    [
        ("Plot file of a test run 3x", "3x"),
        ("x -3", "-3"),
        ("x -0", "-0"),
        ("x 3.0", "3.0"),
        ("x 3e0", "3e0"),
        ("x ++3", "++3"),
        ("x +-3", "+-3"),
        ("x +", "+"),
        ("x -", "-"),
        ("x 18446744073709551616", "18446744073709551616"),
        ("x 99999999999999999999999", "99999999999999999999999"),
        ("x \uff13", "\uff13"),  # a full-width digit
        ("\ufeff3", "\ufeff3"),
        ("x 3\u200b", "3\u200b"),  # a zero-width space is no whitespace
    ],
)
def test_invalid_count(plot_file, capfd, count_line, token):
    path = plot_file(count_line + "\nname\n" * 3)
    capfd.readouterr()
    message = fail(path)
    assert message == (
        "The first line should end with the number of parameters:\n'" + count_line + "'"
    )
    captured = capfd.readouterr()
    assert captured.out == f"Error: '{token}' is not a valid number of parameters!\n"
    assert "panicked at src/lib:137:17:\n" + message + "\n" in captured.err


@pytest.mark.parametrize("count_line", ["", "   ", "\t\u3000", "x 0", "x +0", "x 000"])
def test_zero_parameters_is_a_capacity_overflow(plot_file, capfd, count_line):
    # Nothing after the count line is read: the bad UTF-8 below is never seen.
    path = plot_file(count_line.encode() + b"\n\xff\n")
    capfd.readouterr()
    assert fail(path) == "capacity overflow"
    err = capfd.readouterr().err
    assert "panicked at " in err and "panicked at src/lib:" not in err


def test_largest_count_needs_that_many_names(plot_file):
    assert fail(plot_file("x 18446744073709551615\na\nb\n")) == "Failed to read line!"


# --- failures, their messages and locations -------------------------------

NOT_UTF8 = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'


@pytest.mark.parametrize(
    "content, n_digits, message, location",
    [
        (b"", 12, "Failed ot read line!", "57:57"),
        (b"x 3\na\nb\n", 12, "Failed to read line!", "173:43"),
        (b"x 2\na\nb\nlead\n", 4, "Error reading line", "80:52"),
        (b"x 2\na\nb\nlead\n 1.0 2.0\n\n", 4, "Error reading line", "80:52"),
        (b"x 12\n" + b"n\n" * 12 + b"l\n" + b" 1.0" * 10 + b"\n", 4, "Error reading line", "80:52"),
        (b"\xe9 2\na\nb\n", 4, NOT_UTF8, "54:26"),
        (b"x 2\na\xe9\nb\n", 4, NOT_UTF8, "54:26"),
        (b"x 2\na\nb\nlead \xc0\x80\n 1.0 2.0\n", 4, NOT_UTF8, "54:26"),
        (b"x 2\na\nb\nlead\n 1.0 2.0 \xed\xa0\x80\n", 4, NOT_UTF8, "54:26"),
        (b"x 2\na\nb\nl\n 1.0 2\n", 4, "end byte index 8 is out of bounds for string of length 6", "84:40"),
        (b"x 2\na\nb\nl\n 1.\n", 4, "end byte index 4 is out of bounds for string of length 3", "84:40"),
        (b"x 1\na\nl\n 1.0\n", 5, "end byte index 5 is out of bounds for string of length 4", "84:40"),
        (b"x 2\na\nb\nl\n 1.0\n", 0, "Could not parse line: ParseFloatError { kind: Empty }", "92:26"),
        (b"x 2\na\nb\nl\n    \xe3\x80\x80 2.0\n", 4, "Could not parse line: ParseFloatError { kind: Empty }", "92:26"),
        (b"x 2\na\nb\nl\n1D+0 2.0\n", 4, "Could not parse line: ParseFloatError { kind: Invalid }", "92:26"),
        (b"x 2\na\nb\nl\n 1.0    \n", 4, "Could not parse line: ParseFloatError { kind: Empty }", "99:26"),
        (b"x 2\na\nb\nl\n 1.0 0x1\n", 4, "Could not parse line: ParseFloatError { kind: Invalid }", "99:26"),
    ],
)
def test_failures(plot_file, capfd, content, n_digits, message, location):
    path = plot_file(content)
    capfd.readouterr()
    assert fail(path, n_digits) == message
    assert f"panicked at src/lib:{location}:\n{message}\n" in capfd.readouterr().err


def test_first_failing_field_of_a_block_wins(plot_file):
    # Field 1 is bad and field 2 is cut short: the lower parameter is reported.
    assert fail(plot_file("x 3\na\nb\nc\nl\n 1.0 xxx 2\n"), 4) == (
        "Could not parse line: ParseFloatError { kind: Invalid }"
    )


def test_missing_file(tmp_path):
    assert fail(str(tmp_path / "missing.plt")) == (
        'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    )


def test_path_through_a_file(plot_file):
    path = plot_file(EXAMPLE)
    assert fail(path + "/inner") == (
        'Plot file not found!: Os { code: 20, kind: NotADirectory, message: "Not a directory" }'
    )


def test_nul_in_path(plot_file):
    assert fail(plot_file(EXAMPLE) + "\0") == (
        'Plot file not found!: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
    )


def test_directory(tmp_path):
    assert fail(str(tmp_path)) == (
        'Failed to read line!: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    )


def test_relative_path(plot_file, monkeypatch):
    path = plot_file(EXAMPLE)
    monkeypatch.chdir(os.path.dirname(path))
    assert read(os.path.basename(path), 12)[0] == [0.0, 1.0]


def test_failures_leave_no_descriptor_open(plot_file, tmp_path):
    before = sorted(os.listdir("/proc/self/fd"))
    bad = plot_file(b"x 2\na\nb\nl\n 1.0 xxx\n")
    for _ in range(50):
        with pytest.raises(panic_type()):
            read(bad, 4)
        with pytest.raises(panic_type()):
            read(str(tmp_path), 4)
    assert read(plot_file(EXAMPLE), 12)[0] == [0.0, 1.0]
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_special_values_are_widened_exactly(plot_file):
    text = "x 5\na\nb\nc\nd\ne\nl\n" + "".join(
        f.rjust(12) for f in ["0.1", "-0.0", "-inf", "NaN", "1e-45"]
    ) + "\n"
    times, columns = read(plot_file(text), 12)
    got = [times[0]] + [c[0] for c in columns]
    assert got[0] == 0.10000000149011612
    assert bits(got[1]) == bits(-0.0)
    assert got[2] == float("-inf")
    assert struct.pack("<f", got[3]) == struct.pack("<I", 0x7FC00000)
    assert got[4] == 2.0**-149


def test_failed_notice_write_replaces_the_count_failure(plot_file):
    from conftest import run_python

    code, out, err = run_python(
        """
        import os, sys, tolvik
        os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
        try:
            tolvik.rust_read_tarvelo(sys.argv[1], 12)
        except BaseException as e:
            sys.stderr.write("caught: " + str(e) + "\\n")
        """,
        plot_file("x 3x\na\n"),
    )
    assert code == 0
    message = "failed printing to stdout: No space left on device (os error 28)"
    assert err.endswith("caught: " + message + "\n")
    assert "\n" + message + "\n" in err.split("caught:")[0]
    assert "panicked at src/lib:" not in err
