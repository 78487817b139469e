"""examples/read_many.py on a folder of good and damaged files, with each
engine: the report on standard output (the same from every engine), the exit
status, the progress line on a terminal, and clear refusals of --dask without
Dask and --threads without numpy."""

from __future__ import annotations

import fcntl
import os
import re
import struct
import subprocess
import sys
import termios
import threading

import pytest
import tolvik

SCRIPT = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "read_many.py")

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
    "empty.plt": ("run 3\nT\nP\nQ\n", "3 parameters, 0 blocks"),
}
DAMAGED = {
    "short.plt": "run 3\nT\nP\nQ\n 1\n",  # a block's data line is missing
    "cut.plt": "run 3\nT\nP\nQ\n 1\n 5.00000E-01\n",  # a data line too short
    "number.plt": "run 3\nT\nP\nQ\n 1\n 5.00000E-01 2.00000D+00 3.00000E+02\n",
    "utf8.plt": b"run 3\nT\nP\nQ\n 1\n 5.00000E-01 2.00000E+00 3.0000\xe90E+02\n",
    # A message of two lines, and a line of the module's own on standard output.
    "count.plt": "run 3x\nT\n",
}
IGNORED = {"notes.txt": "run 3x\n", "a.plt.bak": ""}

SUMMARY = re.compile(r"(\d+) files: (\d+) read, (\d+) failed \((.+), \d+\.\d s\)")


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
        data = content.encode() if isinstance(content, str) else content
        (where / name).write_bytes(data)
    for name, (_, account) in GOOD.items():
        expected[name] = f"{name}: {account}"
    for name in DAMAGED:
        message = failure_message(str(where / name))
        expected[name] = f"{name}: failed: " + message.replace("\n", "\n    ")
    return where, [expected[name] for name in sorted(expected)]


def run(*args: str, hide: str | None = None, stderr=subprocess.PIPE):
    """Run read_many.py with the same tolvik as this process; `hide` is a
    folder put first on the module path."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(tolvik.__file__))
    env["PYTHONPATH"] = os.pathsep.join([p for p in (hide, module_dir, env.get("PYTHONPATH")) if p])
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run(
        [sys.executable, SCRIPT, *args],
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

    for args, message in [
        ([str(where), "--dask"], "--dask needs dask.distributed (no dask here)"),
        ([str(where), "--threads"], "--threads needs tolvik_arrays (tolvik_arrays needs numpy"),
        ([str(where / "a.plt")], "not a folder"),
        ([str(where), "--workers", "0"], "must be at least 1"),
    ]:
        done = run(*args, hide=hidden)
        assert done.returncode == 2 and done.stdout == ""
        assert message in done.stderr and "Traceback" not in done.stderr
