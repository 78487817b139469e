"""How a failure of a read reaches Python: the PanicException, the failure
diagnostic on standard error, a PanicException coming back through __index__,
and failures on several threads."""

import errno
import json
import os
import re
import sys
import threading
import traceback
from concurrent.futures import ThreadPoolExecutor

import pytest
import tolvik
from conftest import BACKTRACE_VARIABLE, run_python

read = tolvik.rust_read_tarvelo

ENOENT = os.strerror(errno.ENOENT)
NOT_FOUND = f'Plot file not found!: Os {{ code: 2, kind: NotFound, message: "{ENOENT}" }}'
AT_OPEN = "src/lib:50:43"
AT_COUNT = "src/lib:137:17"


def block(tid: int, where: str, message: str) -> str:
    return f"\nthread '<unnamed>' ({tid}) panicked at {where}:\n{message}\n"


def bad_count_message(count_line: str) -> str:
    return f"The first line should end with the number of parameters:\n'{count_line}'"


def raised_by(*args) -> BaseException:
    with pytest.raises(BaseException) as caught:
        read(*args)
    return caught.value


@pytest.fixture(scope="module")
def panic_type(tmp_path_factory):
    return type(raised_by(str(tmp_path_factory.mktemp("p") / "missing.plt"), 12))


# --- the exception ----------------------------------------------------------------
def test_panic_exception_type_for_every_failure(tmp_path, plot_file):
    with pytest.raises(BaseException) as caught:
        try:
            read(str(tmp_path / "missing.plt"), 12)
        except Exception:
            pytest.fail("caught by an except clause for Exception")
    exc, kind = caught.value, type(caught.value)
    assert (kind.__name__, kind.__qualname__) == ("PanicException", "PanicException")
    assert kind.__module__ == "pyo3_runtime" and kind.__bases__ == (BaseException,)
    assert str(exc) == NOT_FOUND and exc.args == (NOT_FOUND,)
    assert not hasattr(tolvik, "PanicException")
    doc = kind.__doc__
    assert len(doc) == 235 and doc.startswith("\n") and doc.endswith("\n")
    assert "SystemExit" in doc and "BaseException" in doc

    # Each failure raises that one type, closes what it opened, and spoils no later call.
    good = plot_file("run 2\nT\nP\nlead\n 1.00000E+00 2.00000E+00\n")
    texts = ["", "count 3x\n", "count 0\n", "count 2\nT\n", "count 2\nT\nP\nlead\n"]
    texts += ["count 2\nT\nP\nlead\n 1.00000E+00\n", b"count 2\nT\nP\n\xff\n"]
    texts += ["count 2\nT\nP\nlead\n 1.00000E+00 2.0000D+00\n"]
    # A directory opens, then fails on reading.
    failing = [str(tmp_path / "missing.plt"), str(tmp_path)] + [plot_file(t) for t in texts]
    before = sorted(os.listdir("/proc/self/fd"))
    for path in failing:
        assert type(raised_by(path, 12)) is kind
        assert read(good, 12) == ([1.0], [[2.0]])
    assert sorted(os.listdir("/proc/self/fd")) == before


# --- the failure diagnostic, in a process of its own ----------------------------------

# argv[1]: "who:path,..."; each item fails a read of `path` on the main thread
# or on a new worker thread, one after the other.
FAIL_IN_ORDER = """
    import json, os, sys, threading, tolvik

    def fail(path):
        try:
            tolvik.rust_read_tarvelo(path, 12)
        except BaseException as e:
            results.append([type(e).__name__, e.args, threading.get_native_id()])

    results = []
    for who, path in (item.split(":") for item in sys.argv[1].split(",")):
        if who == "main":
            fail(path)
        else:
            worker = threading.Thread(target=fail, args=(path,))
            worker.start()
            worker.join()
    print(json.dumps({"pid": os.getpid(), "results": results}))
"""

BAD_COUNT_LINE = "Plot file of a test run 3x"


@pytest.fixture(scope="module")
def hint_line(tmp_path_factory):
    """The one line that follows the first diagnostic of a process."""
    cwd = tmp_path_factory.mktemp("hint")
    rc, out, err = run_python(FAIL_IN_ORDER, "main:missing.plt", cwd=cwd)
    first = block(json.loads(out)["pid"], AT_OPEN, NOT_FOUND)
    assert rc == 0 and err.startswith(first)
    hint, rest = err[len(first):].split("\n", 1)
    assert rest == "" and not hint.startswith("thread") and BACKTRACE_VARIABLE in hint
    return hint


@pytest.mark.parametrize(
    "order",
    [
        "main:bad.plt,worker:missing.plt,main:missing.plt",
        "worker:missing.plt,main:missing.plt,worker:bad.plt",
    ],
)
def test_diagnostic_text_hint_once_and_thread_id(tmp_path, hint_line, order):
    (tmp_path / "bad.plt").write_text(BAD_COUNT_LINE + "\nTIME\n")
    rc, out, err = run_python(FAIL_IN_ORDER, order, cwd=tmp_path)
    assert rc == 0
    *lines, report = out.split("\n")[:-1]
    assert lines == ["Error: '3x' is not a valid number of parameters!"]
    report = json.loads(report)
    pid, results = report["pid"], report["results"]
    failures = {"bad.plt": (bad_count_message(BAD_COUNT_LINE), AT_COUNT)}
    blocks = []
    for item, (kind, args, tid) in zip(order.split(","), results, strict=True):
        who, path = item.split(":")
        message, where = failures.get(path, (NOT_FOUND, AT_OPEN))
        assert (kind, args) == ("PanicException", [message])
        assert (tid == pid) if who == "main" else (tid != pid)
        blocks.append(block(tid, where, message))
    assert err == blocks[0] + hint_line + "\n" + "".join(blocks[1:])


def test_backtrace_instead_of_hint(tmp_path, hint_line):
    env = {BACKTRACE_VARIABLE: "1"}
    rc, out, err = run_python(FAIL_IN_ORDER, "main:missing.plt", cwd=tmp_path, env=env)
    first = block(json.loads(out)["pid"], AT_OPEN, NOT_FOUND)
    assert rc == 0 and err.startswith(first)
    assert err[len(first):].strip() != "" and hint_line not in err


# --- a PanicException coming back through __index__ --------------------------------
class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "argument, text",
    [
        ("plain message", "plain message"),
        ("caf\xe9 \u2713 \U0001f600", "caf\xe9 \u2713 \U0001f600"),
        ("two\nlines", "two\nlines"),
        ("", ""),
        # Lone surrogates: encoded as they stand, then decoded leniently.
        ("bad \ud800 text", "bad \ufffd\ufffd\ufffd text"),
        (Unprintable(), "Unwrapped panic from Python code"),
    ],
)
def test_panic_from_index_is_resumed(tmp_path, capfd, panic_type, argument, text):
    sent = panic_type(argument)

    class Index:
        def __index__(self):
            raise sent

    capfd.readouterr()
    got = raised_by(str(tmp_path / "missing.plt"), Index())
    assert type(got) is panic_type and got is not sent and got.args == (text,)
    out, err = capfd.readouterr()
    notice, rest = err.split("\n", 1)
    assert out == "" and notice.startswith("---") and notice.endswith("---") and len(notice) > 6
    # The interpreter prints the traceback in its own version's form, through
    # its error stream's encoding.
    printed = "".join(traceback.format_exception(sent))
    printed = printed.encode(sys.stderr.encoding, sys.stderr.errors).decode(sys.stderr.encoding)
    assert rest == "Python stack trace below:\n" + printed


@pytest.mark.parametrize(
    "make_error",
    [
        lambda panic: type("PanicException", (panic,), {})("sub"),
        lambda panic: type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})(),
    ],
    ids=["subclass", "same-name-other-type"],
)
def test_other_panic_types_are_not_resumed(tmp_path, capfd, panic_type, make_error):
    error = make_error(panic_type)
    assert type(error) is not panic_type

    class Index:
        def __index__(self):
            raise error

    capfd.readouterr()
    assert raised_by(str(tmp_path / "missing.plt"), Index()) is error
    assert capfd.readouterr() == ("", "")


# --- threads ------------------------------------------------------------------------
def test_threads_read_their_own_files(plot_file):
    jobs = []
    for seed in range(8):  # field width 12, 23 to 30 parameters, 200 blocks
        n = 23 + seed
        rows = [[seed * 1000 + b + p / 4 for p in range(n)] for b in range(200)]
        lines = [f"seed {seed} {n}"] + [f"P{p}" for p in range(n)]
        for b, row in enumerate(rows):
            lines.append(f"  {b}")
            lines += ["".join(f"{v:12.5E}" for v in row[i:i + 10]) for i in range(0, n, 10)]
        expected = ([row[0] for row in rows], [[row[p] for row in rows] for p in range(1, n)])
        jobs.append((plot_file("\n".join(lines) + "\n"), expected))
    barrier = threading.Barrier(len(jobs))

    def work(job):
        barrier.wait()
        return all(read(job[0], 12) == job[1] for _ in range(5))

    with ThreadPoolExecutor(len(jobs)) as pool:
        assert list(pool.map(work, jobs)) == [True] * len(jobs)


def test_concurrent_diagnostics_stay_whole(tmp_path, hint_line):
    # The first failures of the process come at once on every thread. Half the
    # failures have a message longer than one diagnostic buffer.
    count_lines = ["A" * (300 + 150 * i) + f" bad{i}x" for i in range(8)]
    for i, line in enumerate(count_lines):
        (tmp_path / f"bad{i}.plt").write_text(line + "\n")
    code = """
        import json, threading, tolvik
        from concurrent.futures import ThreadPoolExecutor

        barrier, kinds = threading.Barrier(8), set()

        def work(i):
            barrier.wait()
            for r in range(20):
                try:
                    tolvik.rust_read_tarvelo(f"bad{i}.plt" if r % 2 else "missing.plt", 12)
                except BaseException as e:
                    kinds.add(type(e))
            return threading.get_native_id()

        with ThreadPoolExecutor(8) as pool:
            tids = list(pool.map(work, range(8)))
        names = [f"{k.__module__}.{k.__name__}" for k in kinds]
        bases = [k.__bases__ == (BaseException,) for k in kinds]
        print(json.dumps([sorted(tids), names, bases]))
    """
    rc, out, err = run_python(code, cwd=tmp_path)
    assert rc == 0, err
    *lines, report = out.splitlines()
    assert json.loads(report)[1:] == [["pyo3_runtime.PanicException"], [True]]
    notices = [f"Error: 'bad{i}x' is not a valid number of parameters!" for i in range(8)]
    assert sorted(lines) == sorted(notices * 10)
    # Stderr must be whole diagnostics only: an interleaved write would show as a gap.
    messages = [NOT_FOUND] + [bad_count_message(line) for line in count_lines]
    diagnostic = re.compile(
        r"\nthread '<unnamed>' \((\d+)\) panicked at ([^\n]*):\n("
        + "|".join(map(re.escape, messages))
        + ")\n(" + re.escape(hint_line + "\n") + ")?"
    )
    found = list(diagnostic.finditer(err))
    assert "".join(m[0] for m in found) == err
    assert sum(m[4] is not None for m in found) == 1
    by_thread = {}
    for tid, where, message, _ in (m.groups() for m in found):
        assert where == (AT_OPEN if message == NOT_FOUND else AT_COUNT)
        by_thread.setdefault(int(tid), []).append(message)
    assert sorted(by_thread) == json.loads(report)[0]
    assert all(len(ms) == 20 and len(set(ms)) == 2 for ms in by_thread.values())
