"""Failing calls leave nothing behind: after 10,000 failing calls of each kind
the process has the same open file descriptors, and its resident memory has
grown by less than 1 MB.

All kinds run in one fresh interpreter, so that nothing else the test run does
shows up in its numbers. The child sends descriptors 1 and 2 to /dev/null (the
module writes the invalid-count line and the failure diagnostics there
directly) and reports on a copy of its original standard output.
"""

import json
import os

import pytest
from conftest import run_python

CALLS = 10_000
WARMUP = 300
RSS_LIMIT = 2**20

# One block of 25 values: a lead line and three data lines.
BLOCK_25 = b"  1\n" + (b" 1.00000E+00" * 10 + b"\n") * 2 + b" 1.00000E+00" * 5 + b"\n"

# name -> (exception the call raises, the call). The calls see `read`, the
# files below by name (made in the child's folder), `folder`, `panic` (a
# PanicException from an earlier call) and `Index` (an n_digits whose __index__
# raises the given exception).
FILES = {
    "empty": b"",
    "bad_count": b"x 3x\n",
    "zero": b"x 0\na\n",
    "names": b"x 3\na\n",
    "no_data": b"x 3\na\nb\nc\n  1\n",
    "short": b"x 3\na\nb\nc\n  1\n 0.00000E+00 1.00000E+00 2.0\n",
    "bad_time": b"x 3\na\nb\nc\n  1\n     abc     1.00000E+00 2.00000E+00\n",
    "bad_value": b"x 3\na\nb\nc\n  1\n 0.00000E+00 1.0D+00     2.00000E+00\n",
    "bad_utf8": b"x 1\n\xff\n",
    # 50 good blocks of 25 values, then one that fails: the failure drops a
    # partial result of some 5 kB.
    "late": b"x 25\n" + b"P\n" * 25 + BLOCK_25 * 50 + b"  1\n",
}
KINDS = {
    "reader: missing file": ("PanicException", "read(folder + '/absent.plt', 12)"),
    "reader: directory": ("PanicException", "read(folder, 12)"),
    "reader: empty file": ("PanicException", "read(empty, 12)"),
    "reader: invalid count": ("PanicException", "read(bad_count, 12)"),
    "reader: n=0 capacity overflow": ("PanicException", "read(zero, 12)"),
    "reader: missing name line": ("PanicException", "read(names, 12)"),
    "reader: missing data line": ("PanicException", "read(no_data, 12)"),
    "reader: short data line": ("PanicException", "read(short, 12)"),
    "reader: time field": ("PanicException", "read(bad_time, 12)"),
    "reader: other field": ("PanicException", "read(bad_value, 12)"),
    "reader: invalid UTF-8": ("PanicException", "read(bad_utf8, 12)"),
    "reader: after 50 blocks": ("PanicException", "read(late, 12)"),
    "args: too many": ("TypeError", "read(empty, 12, 3)"),
    "args: missing": ("TypeError", "read(empty)"),
    "args: unexpected keyword": ("TypeError", "read(empty, digits=12)"),
    "args: multiple values": ("TypeError", "read(empty, 12, file_path=empty)"),
    "args: file_path bytes": ("TypeError", "read(empty.encode(), 12)"),
    "args: file_path None": ("TypeError", "read(None, 12)"),
    "args: file_path lone surrogate": ("UnicodeEncodeError", "read('a\\udc80', 12)"),
    "args: n_digits float": ("TypeError", "read(empty, 12.0)"),
    "args: n_digits negative": ("OverflowError", "read(empty, -1)"),
    "args: n_digits 2**64": ("OverflowError", "read(empty, 2**64)"),
    "args: __index__ raises": ("ValueError", "read(empty, Index(ValueError('no')))"),
    "args: __index__ raises a PanicException": ("PanicException", "read(empty, Index(panic))"),
}

CHILD = r"""
import gc, json, os, resource, sys, traceback
import tolvik

folder, plan = sys.argv[1], json.loads(sys.argv[2])
report = os.fdopen(os.dup(1), "w")
errors = os.fdopen(os.dup(2), "w")
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
os.dup2(null, 2)
os.close(null)

page = os.sysconf("SC_PAGE_SIZE")
max_fds = resource.getrlimit(resource.RLIMIT_NOFILE)[0]

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

def fds():
    return sorted(os.listdir("/proc/self/fd"), key=int)

def close_all_but(keep):
    # Descriptors a leaking kind left open would starve the kinds after it.
    for fd in range(min(max_fds, 1 << 20)):
        if str(fd) not in keep:
            try:
                os.close(fd)
            except OSError:
                pass

class Index:
    def __init__(self, error):
        self.error = error
    def __index__(self):
        raise self.error.with_traceback(None)

names = {"read": tolvik.rust_read_tarvelo, "folder": folder, "Index": Index}
for name, content in plan["files"].items():
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(content.encode("latin-1"))
    names[name] = path
try:
    names["read"](os.path.join(folder, "absent.plt"), 12)
except BaseException as e:
    names["panic"] = e

def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass

def measure(source):
    call = eval("lambda: " + source, names)
    try:
        call()
        raised = None
    except BaseException as e:
        raised = type(e).__name__
    keep = fds()
    try:
        run(call, plan["warmup"])
        gc.collect()
        fds0, rss0 = fds(), rss()
        run(call, plan["calls"])
        gc.collect()
        fds1, rss1 = fds(), rss()
    except OSError as e:  # out of descriptors, most likely
        close_all_but(keep)
        return dict(raised=raised, error=repr(e))
    if fds1 != keep:
        close_all_but(keep)
    return dict(raised=raised, fds=[fds0, fds1], rss=rss1 - rss0)

try:
    results = {kind: measure(source) for kind, (_, source) in plan["kinds"].items()}
except BaseException:
    traceback.print_exc(file=errors)
    sys.exit(1)
json.dump(results, report)
"""


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    plan = dict(
        files={k: v.decode("latin-1") for k, v in FILES.items()},
        kinds=KINDS,
        calls=CALLS,
        warmup=WARMUP,
    )
    folder = tmp_path_factory.mktemp("leaks")
    code, out, err = run_python(CHILD, str(folder), json.dumps(plan), timeout=600)
    assert code == 0, err
    return json.loads(out)


@pytest.mark.parametrize("kind", KINDS)
def test_failing_calls_leave_nothing_behind(results, kind):
    result = results[kind]
    assert result["raised"] == KINDS[kind][0]
    assert "error" not in result, f"the calls failed: {result['error']}"
    before, after = result["fds"]
    if after != before:
        pytest.fail(f"open file descriptors: {len(before)} before, {len(after)} after")
    # Under AddressSanitizer freed memory waits in a quarantine and every
    # allocation's stack is recorded, so resident memory grows by design.
    if not os.environ.get("TOLVIK_SANITIZED"):
        assert result["rss"] < RSS_LIMIT, f"resident memory grew by {result['rss']} bytes"
