"""tolvik_arrays beyond what the reference comparison covers (values, messages
and line numbers of every generated file are checked there): its errors, the
interpreter lock, pickling, pandas, threads and processes."""

import concurrent.futures
import errno
import multiprocessing
import os
import pathlib
import pickle
import threading

import numpy
import pytest

import tolvik_arrays
from conftest import limit_address_space, run_python
from tolvik_arrays import Plot, PlotFormatError, read_plot

EXAMPLE = (
    "Plot file of a test run       3\n"
    "  TIME\nPRESSURE \t\n\u3000TEMPERATURE\n"
    "  1\n"
    " 0.00000E+00 1.01325E+05 3.00000E+02\n"
    "  2\n"
    " 1.00000E+00 1.02000E+05 3.10000E+02\n"
)
BROKEN = EXAMPLE.replace("1.02000E+05", "1.02000X+05")  # line 8


def error_of(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


def test_result(plot_file):
    plot = read_plot(path=pathlib.Path(plot_file(EXAMPLE)), n_digits=numpy.int64(12))
    assert plot.names == ("TIME", "PRESSURE", "TEMPERATURE")
    assert plot.times.dtype == plot.values.dtype == numpy.float32
    assert plot.times.tolist() == [0.0, 1.0]
    assert plot.values.tolist() == [[101325.0, 102000.0], [300.0, 310.0]]
    for array in (plot.times, plot.values):
        assert array.flags.c_contiguous and array.flags.writeable
        assert array.flags.owndata or array.base is not None


@pytest.mark.parametrize(
    "path",
    ["missing.plt", ".", b"missing.plt", pathlib.Path("."), "a\0b", b"a\0b", 3.5, None],
    ids=["missing", "directory", "bytes", "pathlike", "nul", "bytes-nul", "float", "none"],
)
def test_path_errors_are_those_of_open(tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    expected = error_of(open, path, "rb")
    got = error_of(read_plot, path, 12)
    assert type(got) is type(expected)
    assert got.args == expected.args
    assert str(got) == str(expected)
    assert getattr(got, "filename", None) == getattr(expected, "filename", None)


def test_read_error_after_open():
    # Opening /proc/self/mem works; reading its first page does not.
    got = error_of(read_plot, "/proc/self/mem", 12)
    assert type(got) is OSError and got.errno == errno.EIO
    assert (got.strerror, got.filename) == (os.strerror(errno.EIO), "/proc/self/mem")


@pytest.mark.parametrize(
    ("n_digits", "kind", "message"),
    [
        (12.0, TypeError, "n_digits must be an int, not float"),
        ("12", TypeError, "n_digits must be an int, not str"),
        (0, ValueError, "n_digits must be at least 1, not 0"),
        (-1, ValueError, "n_digits must be at least 1, not -1"),
        (2**64, OverflowError, "n_digits must be at most 2**64 - 1, not 18446744073709551616"),
    ],
)
def test_width_errors(plot_file, n_digits, kind, message):
    error = error_of(read_plot, plot_file(EXAMPLE), n_digits)
    assert type(error) is kind and str(error) == message


def test_format_error(plot_file, capfd):
    path = plot_file(BROKEN)
    error = error_of(read_plot, path, 12)
    assert isinstance(error, ValueError) and type(error) is PlotFormatError
    assert (error.path, error.line) == (path, 8)
    assert error.message == "Could not parse line: ParseFloatError { kind: Invalid }"
    assert str(error) == f"{path}:8: {error.message}"
    # An invalid count: nothing on standard output either.
    assert error_of(read_plot, plot_file("x 3x\n"), 12).line == 1
    assert capfd.readouterr() == ("", "")


def test_pickling(plot_file):
    plot = read_plot(plot_file(EXAMPLE), 12)
    back = pickle.loads(pickle.dumps(plot))
    assert type(back) is Plot and back.names == plot.names
    assert back.times.tolist() == plot.times.tolist() and back.values.tolist() == plot.values.tolist()
    error = error_of(read_plot, plot_file(BROKEN), 12)
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is PlotFormatError
    assert (back.path, back.line, back.message, str(back)) == (error.path, error.line, error.message, str(error))


def test_to_frame(plot_file):
    plot = read_plot(plot_file(EXAMPLE), 12)
    frame = plot.to_frame()
    assert frame.index.name == "TIME" and list(frame.columns) == ["PRESSURE", "TEMPERATURE"]
    assert frame.index.tolist() == [0.0, 1.0]
    assert frame["TEMPERATURE"].tolist() == [300.0, 310.0]
    assert numpy.shares_memory(frame.to_numpy(), plot.values)


def test_the_lock_is_released_while_reading(tmp_path):
    """The reader waits on a pipe that only this thread fills: were the lock
    held during the read, the writes below could never run."""
    fifo = tmp_path / "pipe.plt"
    os.mkfifo(fifo)
    blocks = "".join(f"{b}\n{b:12.5E}{-b:12.5E}\n" for b in range(5000))
    result = {}

    def read():
        try:
            result["plot"] = read_plot(fifo, 12)
        except BaseException as error:  # noqa: B036 - reported below
            result["error"] = error

    reader = threading.Thread(target=read)
    reader.start()
    with open(fifo, "w") as pipe:  # blocks until the reader has opened the pipe
        pipe.write("x 2\nt\np\n")
        pipe.flush()
        for start in range(0, len(blocks), 4096):
            pipe.write(blocks[start : start + 4096])
            pipe.flush()
    reader.join(timeout=60)
    assert "error" not in result, result.get("error")
    plot = result["plot"]  # read without a size to go by: the room doubles
    assert plot.times.tolist() == list(range(5000))
    assert plot.values.tolist() == [[-b for b in range(5000)]]


def many_files(plot_file, count):
    return [plot_file(EXAMPLE.replace("1.00000E+00", f"{k:.5E}")) for k in range(count)]


def test_threads(plot_file):
    paths = many_files(plot_file, 16)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        plots = list(pool.map(read_plot, paths, [12] * len(paths)))
    assert [p.times[1] for p in plots] == list(range(16))


@pytest.mark.parametrize("pool_type", ["futures", "multiprocessing"])
def test_process_pool(plot_file, pool_type):
    paths = [*many_files(plot_file, 2), plot_file(BROKEN)]
    # Not by fork: this process may have threads by now.
    context = multiprocessing.get_context("forkserver")
    if pool_type == "futures":
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            futures = [pool.submit(read_plot, path, 12) for path in paths]
            plots = [f.result() for f in futures[:2]]
            error = futures[2].exception()
    else:
        with context.Pool(2) as pool:
            results = [pool.apply_async(read_plot, (path, 12)) for path in paths]
            plots = [r.get(timeout=60) for r in results[:2]]
            error = error_of(results[2].get, timeout=60)
    assert [p.times.tolist() for p in plots] == [[0.0, 0.0], [0.0, 1.0]]
    assert type(error) is PlotFormatError and (error.path, error.line) == (paths[2], 8)


@pytest.mark.parametrize(
    ("blocked", "code", "message"),
    [
        ("numpy", "import tolvik_arrays", 'tolvik_arrays needs numpy, which is not installed; install it with: pip install "tolvik[arrays]"'),
        ("pandas", "import tolvik_arrays, sys; tolvik_arrays.read_plot(sys.argv[1], 12).to_frame()",
         "Plot.to_frame() needs pandas, which is not installed; install it with: pip install pandas"),
    ],
)
def test_missing_dependency(plot_file, blocked, code, message):
    status, out, err = run_python(
        f"import sys; sys.modules[{blocked!r}] = None\n"
        f"try:\n    {code}\nexcept ImportError as e:\n    print(type(e).__name__, e.name, e, sep='|')",
        plot_file(EXAMPLE),
    )
    assert (status, out, err) == (0, f"ModuleNotFoundError|{blocked}|{message}\n", "")


def test_no_memory(tmp_path):
    """A file whose values need more memory than the process may have."""
    big = tmp_path / "big.plt"
    with open(big, "wb") as f:
        f.write(b"x 10\n" + b"p\n" * 10)
        f.write((b"\n" + b" 1.00000E+00" * 10 + b"\n") * 400_000)  # 16 MB of values
    code = "import sys, tolvik_arrays\n" + limit_address_space(8) + r"""
for _ in range(3):
    try:
        tolvik_arrays.read_plot(sys.argv[1], 12)
    except MemoryError as e:
        print("MemoryError", e.args)
print(sorted(os.listdir("/proc/self/fd")) == fds)
"""
    if os.environ.get("TOLVIK_SANITIZED"):
        pytest.skip("address space limits do not work under AddressSanitizer")
    status, out, err = run_python(code, str(big))
    assert (status, out, err) == (0, "MemoryError ()\n" * 3 + "True\n", "")
