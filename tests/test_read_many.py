"""The examples that read a folder of plot files, on a folder of good and
damaged files: read_many.py with each engine (the report on standard output,
the same from every engine, the exit status, the progress line on a terminal)
and dask_frame.py on threads and on a Dask scheduler (its summary, the files
it leaves out and why); and their clear refusals of what they lack."""

from __future__ import annotations

import fcntl
import os
import re
import socket
import struct
import subprocess
import sys
import termios
import threading

import pytest
import tolvik

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")
READ_MANY = os.path.join(EXAMPLES, "read_many.py")
DASK_FRAME = os.path.join(EXAMPLES, "dask_frame.py")

ROW3 = " 1.00000E+00-2.50000E-01 3.00000E+02\n"
GOOD = {
    "a.plt": (
        "run 3\nT\nP\nQ\n 1\n 5.00000E-01-2.50000E-01 3.00000E+02\n 2\n" + ROW3,
        "3 parameters, 2 blocks, time 0.5 .. 1",
    ),
    # Twelve parameters: two data lines a block; CRLF line ends.
    "b.plt": (
        "n 12\r\n"
        + "X\r\n" * 12
        + (" 7\r\n" + " 2.00000E+00" * 10 + "\r\n" + " 3.00000E+00" * 2 + "\r\n"),
        "12 parameters, 1 blocks, time 2 .. 2",
    ),
    "c.plt": (
        "run 3\nT\nP\nQ\n 1\n 2.00000E+00 7.50000E-01 1.00000E+02\n",
        "3 parameters, 1 blocks, time 2 .. 2",
    ),
    "empty.plt": ("run 3\nT\nP\nQ\n", "3 parameters, 0 blocks"),
    # Names unlike a.plt's: dask_frame.py leaves it out.
    "other.plt": ("run 3\nT\nP\nR\n 1\n" + ROW3, "3 parameters, 1 blocks, time 1 .. 1"),
}
DAMAGED = {
    "short.plt": "run 3\nT\nP\nQ\n 1\n",  # a block's data line is missing
    "cut.plt": "run 3\nT\nP\nQ\n 1\n 5.00000E-01\n",  # a data line too short
    "number.plt": "run 3\nT\nP\nQ\n 1\n 5.00000E-01 2.00000D+00 3.00000E+02\n",
    "utf8.plt": b"run 3\nT\nP\nQ\n 1\n 5.00000E-01 2.00000E+00 3.0000\xe90E+02\n",
    # A message of two lines, and a line of the module's own on standard output.
    "count.plt": "run 3x\nT\n",
    "dir.plt": None,  # a folder: reading it fails in the system
}
IGNORED = {"notes.txt": "run 3x\n", "a.plt.bak": ""}

SUMMARY = re.compile(r"(\d+) files: (\d+) read, (\d+) failed \((.+), \d+\.\d s\)")

# What dask_frame.py prints for the good files and their parameters, beside
# the failures: a.plt gives the frame its columns; P and Q over a.plt and c.plt.
FRAME = {
    "a.plt": "2 rows, T 0.5 .. 1",
    "b.plt": "failed: parameter 1 is 'X', the name of another column",
    "c.plt": "1 rows, T 2 .. 2",
    "empty.plt": "0 rows",
    "other.plt": "failed: parameter 2 is 'R', where a.plt has 'Q'",
}
FRAME_PARAMETERS = ["P  mean 0.0833333, -0.25 .. 0.75", "Q  mean 233.333, 100 .. 300"]
FRAME_SUMMARY = re.compile(r"11 files: 3 in the frame \(3 rows\), 8 failed \((.+), \d+\.\d s\)")


def folder_error(path) -> str:
    """The failure that tolvik_arrays reports for a folder: open()'s."""
    return f"IsADirectoryError: [Errno 21] Is a directory: '{path}'"


def failure_message(path: str) -> str:
    with pytest.raises(BaseException) as caught:
        tolvik.rust_read_tarvelo(path, 12)
    assert type(caught.value).__name__ == "PanicException"
    return str(caught.value)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A folder of good, damaged and ignored files, and the report lines that
    read_many.py must print for it: failure messages exactly as the module
    raises them, lines after the first indented."""
    where = tmp_path_factory.mktemp("many")
    expected = {}
    for name, content in {**{n: c for n, (c, _) in GOOD.items()}, **DAMAGED, **IGNORED}.items():
        if content is None:
            (where / name).mkdir()
            continue
        data = content.encode() if isinstance(content, str) else content
        (where / name).write_bytes(data)
    for name, (_, account) in GOOD.items():
        expected[name] = f"{name}: {account}"
    for name in DAMAGED:
        message = failure_message(str(where / name))
        expected[name] = f"{name}: failed: " + message.replace("\n", "\n    ")
    return where, [expected[name] for name in sorted(expected)]


@pytest.fixture(scope="module")
def frame_lines(folder):
    """The lines that dask_frame.py must print for the folder, but the last:
    the reader's line number and message for each damaged file."""
    tolvik_arrays = pytest.importorskip("tolvik_arrays")
    where, _ = folder
    expected = {name: f"{name}: {account}" for name, account in FRAME.items()}
    for name in DAMAGED:
        try:
            tolvik_arrays.read_plot(where / name, 12)
        except tolvik_arrays.PlotFormatError as error:
            message = f"line {error.line}: {error.message}"
        except IsADirectoryError:
            message = folder_error(where / name)
        expected[name] = f"{name}: failed: " + message.replace("\n", "\n    ")
    return [expected[name] for name in sorted(expected)] + FRAME_PARAMETERS


@pytest.fixture(scope="module")
def scheduler():
    """The address of a Dask scheduler on this machine, its workers threads of this process."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=1,
        threads_per_worker=2,
        processes=False,
        protocol="tcp://",
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster:
        yield cluster.scheduler_address


def run(
    *args: str,
    script: str = READ_MANY,
    hide: str | None = None,
    stderr=subprocess.PIPE,
    env: dict[str, str] | None = None,
):
    """Run an example with the same tolvik as this process; `hide` is a
    folder put first on the module path, `env` adds to the environment."""
    env = {**os.environ, **(env or {})}
    module_dir = os.path.dirname(os.path.abspath(tolvik.__file__))
    env["PYTHONPATH"] = os.pathsep.join([p for p in (hide, module_dir, env.get("PYTHONPATH")) if p])
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run(
        [sys.executable, script, *args],
        stdout=subprocess.PIPE,
        stderr=stderr,
        env=env,
        timeout=120,
        text=True,
    )


def check_report(stdout: str, lines: list[str], engine: str) -> None:
    *report, summary = stdout.splitlines()
    assert report == "\n".join(lines).splitlines()
    failed = len(DAMAGED)
    total = len(GOOD) + failed
    assert SUMMARY.fullmatch(summary).groups() == (
        str(total),
        str(total - failed),
        str(failed),
        engine,
    )


ENGINES = {
    "processes": ([], "2 processes"),
    "threads": (["--threads"], "2 threads"),
    "dask": (["--dask"], "dask, 2 local workers"),
}


@pytest.mark.parametrize("engine", ENGINES)
def test_report_of_each_engine(folder, engine):
    if engine == "dask":
        pytest.importorskip("distributed")
        if os.environ.get("TOLVIK_SANITIZED"):
            # A Dask client's process, tolvik or not, leaves the interpreter's
            # memory of threads still running at exit, which LeakSanitizer reports.
            pytest.skip("Dask's processes leak at exit under LeakSanitizer")
    where, lines = folder
    if engine == "threads":
        # tolvik_arrays raises the OSError that open() would.
        opened = f"dir.plt: failed: {folder_error(where / 'dir.plt')}"
        lines = [opened if line.startswith("dir.plt:") else line for line in lines]
    extra, name = ENGINES[engine]
    done = run(str(where), "--workers", "2", *extra)
    assert done.returncode == 1, done.stderr
    check_report(done.stdout, lines, name)
    assert "Traceback" not in done.stderr
    # The failure diagnostics come from the workers' reads, once per file;
    # tolvik_arrays, on threads, writes none.
    diagnostics = 0 if engine == "threads" else len(DAMAGED)
    assert done.stderr.count("thread '<unnamed>'") == diagnostics


@pytest.fixture
def hidden(tmp_path):
    """A folder whose tqdm, dask and numpy modules fail to import, as when absent."""
    for name in ("tqdm", "dask", "numpy"):
        (tmp_path / f"{name}.py").write_text(f"raise ImportError('no {name} here')\n")
    return str(tmp_path)


@pytest.mark.parametrize("progress", ["tqdm", "plain"])
def test_progress_on_a_terminal(folder, hidden, progress):
    if progress == "tqdm":
        pytest.importorskip("tqdm")
    where, lines = folder
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    seen = []

    def drain():
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the child's side is closed
                return
            if not chunk:
                return
            seen.append(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        done = run(
            str(where), "-j", "2", hide=hidden if progress == "plain" else None, stderr=slave
        )
    finally:
        os.close(slave)
        reader.join(timeout=30)
        os.close(master)
    terminal = b"".join(seen).decode("utf-8", "replace")
    assert done.returncode == 1
    check_report(done.stdout, lines, "2 processes")
    total = len(GOOD) + len(DAMAGED)
    assert f"{total}/{total}" in terminal and "\r" in terminal


def test_all_read_and_usage_errors(folder, hidden, tmp_path):
    where, lines = folder
    good = tmp_path / "good"
    good.mkdir()
    for name, (content, _) in GOOD.items():
        (good / name).write_text(content)
    done = run(str(good), "-j", "1")
    assert done.returncode == 0
    assert done.stdout.splitlines()[:-1] == [line for line in lines if ": failed: " not in line]
    assert SUMMARY.fullmatch(done.stdout.splitlines()[-1]).group(4) == "1 process"

    for script, args, message in [
        (READ_MANY, [str(where), "--dask"], "--dask needs dask.distributed (no dask here)"),
        (READ_MANY, [str(where), "--threads"], "--threads needs tolvik_arrays (tolvik_arrays"),
        (READ_MANY, [str(where / "a.plt")], "not a folder"),
        (READ_MANY, [str(where), "--workers", "0"], "must be at least 1"),
        (DASK_FRAME, [str(where)], "needs tolvik_arrays and Dask (no dask here)"),
        (DASK_FRAME, [str(where / "a.plt")], "not a folder"),
    ]:
        done = run(*args, script=script, hide=hidden)
        assert done.returncode == 2 and done.stdout == ""
        assert message in done.stderr and "Traceback" not in done.stderr


def dask_frame_usable() -> None:
    pytest.importorskip("dask.dataframe")
    if os.environ.get("TOLVIK_SANITIZED"):
        pytest.skip("Dask's processes leak at exit under LeakSanitizer")


@pytest.mark.parametrize("where", ["threads", "scheduler"])
def test_dask_frame(folder, frame_lines, request, where):
    dask_frame_usable()
    extra, engine = [], "threads"
    if where == "scheduler":
        address = request.getfixturevalue("scheduler")
        extra, engine = ["--dask", address], f"dask at {address}"
    done = run(str(folder[0]), *extra, script=DASK_FRAME)
    assert done.returncode == 1, done.stderr
    *lines, summary = done.stdout.splitlines()
    assert lines == "\n".join(frame_lines).splitlines()
    assert FRAME_SUMMARY.fullmatch(summary).group(1) == engine
    assert "Traceback" not in done.stderr


def test_dask_frame_all_good_and_no_scheduler(folder, tmp_path):
    dask_frame_usable()
    pytest.importorskip("distributed")
    where, _ = folder
    for name in ("a.plt", "c.plt"):
        (tmp_path / name).write_bytes((where / name).read_bytes())
    done = run(str(tmp_path), script=DASK_FRAME)
    assert done.returncode == 0, done.stderr
    *lines, summary = done.stdout.splitlines()
    assert lines == [f"a.plt: {FRAME['a.plt']}", f"c.plt: {FRAME['c.plt']}", *FRAME_PARAMETERS]
    assert summary.startswith("2 files: 2 in the frame (3 rows), 0 failed (threads, ")

    with socket.socket() as unused:  # a port that nothing listens on
        unused.bind(("127.0.0.1", 0))
        address = "tcp://127.0.0.1:%d" % unused.getsockname()[1]
    done = run(
        str(tmp_path),
        "--dask",
        address,
        script=DASK_FRAME,
        env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
    )
    assert done.returncode == 2 and done.stdout == ""
    assert f"cannot reach the Dask scheduler at {address}: " in done.stderr
    assert "Traceback" not in done.stderr


def test_plot_and_failure_cross_dask(folder, scheduler):
    """A Plot returned by a Dask worker and a PlotFormatError raised there
    arrive as themselves, with no wrapper."""
    dask_frame_usable()
    distributed = pytest.importorskip("distributed")
    tolvik_arrays = pytest.importorskip("tolvik_arrays")
    where, _ = folder
    good, bad = str(where / "a.plt"), str(where / "number.plt")
    expected = error_of(tolvik_arrays.read_plot, bad)
    with distributed.Client(scheduler) as client:
        plot = client.submit(tolvik_arrays.read_plot, good, 12).result(timeout=60)
        error = client.submit(tolvik_arrays.read_plot, bad, 12).exception(timeout=60)
    assert type(plot) is tolvik_arrays.Plot
    assert plot.times.tolist() == tolvik_arrays.read_plot(good, 12).times.tolist()
    assert type(error) is tolvik_arrays.PlotFormatError
    assert (error.path, error.line, error.message) == (expected.path, expected.line, expected.message)


def error_of(read, path):
    try:
        read(path, 12)
    except Exception as error:  # noqa: BLE001 - the error is what is wanted
        return error
    raise AssertionError(f"{path} was read")
