#!/usr/bin/env python3
"""Reference and memory leak hunt for tolvik, run on a debug interpreter.

    PYTHONPATH=<folder with the debug build of tolvik> python3.14d tools/refleak.py

For every kind of call (success on several files, each reader failure, each
argument error, the __index__ paths of n_digits, lack of memory; the same for
tolvik_arrays' native reader) the call is repeated in a loop: a warm-up, then several rounds of the same number of calls.
Around each round, after gc.collect(), it measures

  refs    sys.gettotalrefcount()           (debug interpreters only)
  blocks  sys.getallocatedblocks()         (the interpreter's object allocator)
  malloc  bytes in use in the C heap       (glibc mallinfo2: the module's own
                                            buffers, lines and sequences)
  fds     open file descriptors

A kind leaks when every round shows a positive delta of refs, blocks or
malloc bytes (the rule CPython's own refleak runs use, which tolerates the
occasional cache or free-list fill), or when any round changes the number of
open descriptors. The module's own output (the stdout line for a bad count,
failure diagnostics, the traceback of a resumed PanicException) goes to
/dev/null during the loops. A table of every kind and its deltas is printed at
the end. Exit status: 0 no leak, 1 a leak, 2 a kind did not behave as expected
(so it would not have exercised the path it names) or the interpreter is not a
debug build.

tolvik_arrays is hunted through its native module, tolvik_arrays._reader,
whose results are taken apart as numpy would (every buffer viewed through the
buffer protocol). The package's own __init__ is not run: it needs numpy, which
is not built for debug interpreters, and holds no native code.
"""

from __future__ import annotations

import argparse
import builtins
from array import array
import contextlib
import ctypes
import gc
import os
import resource
import sys
import tempfile
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import tolvik

read = tolvik.rust_read_tarvelo


def import_arrays_reader() -> types.ModuleType:
    """tolvik_arrays._reader from the folder beside the imported tolvik,
    without running the package's __init__ (see above)."""
    folder = Path(tolvik.__file__).resolve().parent / "tolvik_arrays"
    package = types.ModuleType("tolvik_arrays")
    package.__path__ = [str(folder)]
    sys.modules["tolvik_arrays"] = package
    import tolvik_arrays._reader as reader

    return reader


arrays_reader = import_arrays_reader()
PlotFormatError = sys.modules["tolvik_arrays._errors"].PlotFormatError


def read_arrays(path, n_digits):
    """The native read of tolvik_arrays, its buffers viewed as numpy views them."""
    names, times, values = arrays_reader.read_plot_file(path, n_digits)
    for buffer in (times, values):
        with memoryview(buffer) as view:
            view.cast("B")
    return names


# --- measurements ----------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd",
            "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
        )
    ]


def _malloc_probe() -> Callable[[], int]:
    """Bytes handed out by the C library's malloc (heap and mmapped chunks)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return lambda: 0
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


malloc_in_use = _malloc_probe()


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def quiet():
    """Send descriptors 1 and 2 to /dev/null (the module writes to them directly)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (null, *saved):
            os.close(fd)


@dataclass
class Result:
    name: str
    refs: list[int] = field(default_factory=list)
    blocks: list[int] = field(default_factory=list)
    malloc: list[int] = field(default_factory=list)
    fds: list[int] = field(default_factory=list)

    def leaks(self) -> list[str]:
        found = []
        for what, deltas in (("references", self.refs), ("memory blocks", self.blocks),
                             ("malloc bytes", self.malloc)):
            if deltas and all(d >= 1 for d in deltas):
                found.append(f"{what} {deltas}")
        if any(self.fds):
            found.append(f"file descriptors {self.fds}")
        return found


def snapshot() -> tuple[int, int, int, int]:
    return sys.gettotalrefcount(), sys.getallocatedblocks(), malloc_in_use(), open_fds()


def measure(name: str, call: Callable[[], object], warmup: int, rounds: int,
            calls: int) -> Result:
    """Run `call` warmup times, then `rounds` rounds of `calls` calls.

    The warm-up runs as two rounds that are measured like the others and
    whose deltas are dropped, so that the measuring code itself (its first
    runs fill the interpreter's caches) is in its steady state when the first
    counted round starts.
    """
    # Machine integers, preallocated: recording a delta holds no new object
    # (an int object outside the small-int cache would stay alive in a list).
    deltas = [array("q", bytes(8 * rounds)) for _ in range(4)]
    gc.collect()
    before = snapshot()
    for i in range(-2, rounds):
        for _ in range((warmup + 1) // 2 if i < 0 else calls):
            call()
        gc.collect()
        after = snapshot()
        if i >= 0:
            for k in range(4):
                deltas[k][i] = after[k] - before[k]
        before = after
    return Result(name, *(d.tolist() for d in deltas))


# --- the kinds of call ------------------------------------------------------

PanicException: type[BaseException] | None = None  # learnt from a first failing call


@dataclass
class Kind:
    name: str
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    # Exception type the call must raise (a name, resolved at run time), or
    # None for a call that must succeed.
    raises: str | None = None
    # Text the exception's str() must start with.
    message: str = ""
    # Further check of the exception of the first call: None when it is right.
    verify: Callable[[BaseException], str | None] | None = None
    # Set up around the whole measurement of this kind.
    context: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext
    # The function called: tolvik's, unless the kind is about tolvik_arrays.
    function: Callable[..., object] = read

    def exception_type(self) -> type[BaseException]:
        if self.raises == "PanicException":
            assert PanicException is not None
            return PanicException
        if self.raises == "PlotFormatError":
            return PlotFormatError
        return getattr(builtins, self.raises)

    def make_call(self) -> Callable[[], object]:
        function, args, kwargs = self.function, self.args, self.kwargs
        if self.raises is None:
            def call():
                return function(*args, **kwargs)
            return call
        expected = self.exception_type()

        def call():
            try:
                function(*args, **kwargs)
            except expected:
                pass
        return call

    def check(self) -> str | None:
        """One call outside the loop: None when it behaves as this kind says."""
        try:
            self.function(*self.args, **self.kwargs)
        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
            if self.raises is None:
                return f"raised {type(e).__name__}: {e}"
            if type(e) is not self.exception_type():
                return f"raised {type(e).__name__}: {e} (expected {self.raises})"
            if not str(e).startswith(self.message):
                return f"message {str(e)!r} does not start with {self.message!r}"
            return self.verify(e) if self.verify else None
        if self.raises is not None:
            return f"returned normally (expected {self.raises})"
        return None


class Index:
    """An n_digits object that is not an int: converted through __index__."""

    def __init__(self, action: Callable[[], int]):
        self.action = action

    def __index__(self) -> int:
        return self.action()


def raise_value_error() -> int:
    raise ValueError("no index here")


class SilentHook:
    """A sys.excepthook that only counts its calls.

    The resumed PanicException is printed with the interpreter's exception
    hook. The default hook keeps caches of its own that grow a little now and
    then, which would blur the measurement; the module's part of the path (the
    notice, handing the exception to the hook, the new PanicException) is the
    same with any hook.
    """

    def __init__(self):
        self.calls = 0

    def __call__(self, kind, value, traceback) -> None:
        self.calls += 1

    @contextlib.contextmanager
    def installed(self):
        saved, sys.excepthook = sys.excepthook, self
        try:
            yield
        finally:
            sys.excepthook = saved


@contextlib.contextmanager
def address_space_margin(margin: int):
    """Lower the soft address-space limit to what is mapped now plus `margin`."""
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + margin, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def write(folder: str, name: str, content: str | bytes) -> str:
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)
    return path


def fields(values, width: int) -> str:
    return "".join(f"{v:{width}.5E}" for v in values)


def block_lines(n: int, block: int, width: int) -> str:
    values = [float(block)] + [block * 100.0 + p for p in range(1, n)]
    rows = [fields(values[i:i + 10], width) for i in range(0, n, 10)]
    return f"  {block}\n" + "\n".join(rows) + "\n"


def plot(n: int, blocks: int, width: int = 12) -> str:
    names = "".join(f"P{p}\n" for p in range(n))
    return f"Plot file {n}\n{names}" + "".join(block_lines(n, b, width) for b in range(blocks))


def make_kinds(folder: str, panic: BaseException) -> list[Kind]:
    small = write(folder, "small.plt", plot(3, 2))
    one = write(folder, "one.plt", plot(1, 5))
    wide = write(folder, "wide.plt", plot(25, 4, width=15))
    no_blocks = write(folder, "no_blocks.plt", plot(3, 0))
    head = "x 3\na\nb\nc\n  1\n"
    # 1,000,000 empty name lines: the columns would need 24 MB, refused under an
    # address-space limit 4 MB above what the process has mapped (and more than
    # the C heap holds free at that point, which it hands out without mapping
    # anything).
    many_names = write(folder, "many_names.plt", "x 1000000\n" + "\n" * 1_000_000)

    def resume_panic() -> int:
        raise panic.with_traceback(None)

    hook = SilentHook()

    def resumed(e: BaseException) -> str | None:
        # A resumed panic arrives as a new instance, after the hook printed the
        # one __index__ raised.
        if e is panic or hook.calls == 0:
            return "was not resumed (the exception came back unchanged)"
        return None

    lone = "a\udc80b.plt"
    panic_kind = dict(raises="PanicException")
    type_error = dict(raises="TypeError")
    return [
        Kind("success: small file", (small, 12)),
        Kind("success: n=1, 5 blocks", (one, 12)),
        Kind("success: n=25, 4 blocks of 3 data lines", (wide, 15)),
        Kind("success: no blocks", (no_blocks, 12)),
        Kind("success: keywords", (), dict(n_digits=12, file_path=small)),
        Kind("success: __index__ returns 15", (wide, Index(lambda: 15))),
        Kind("reader: missing file", (os.path.join(folder, "absent.plt"), 12), **panic_kind,
             message="Plot file not found!: "),
        Kind("reader: directory", (folder, 12), **panic_kind, message="Failed to read line!: "),
        Kind("reader: empty file", (write(folder, "empty.plt", ""), 12), **panic_kind,
             message="Failed ot read line!"),
        Kind("reader: invalid count (stdout line)", (write(folder, "count.plt", "x 3x\n"), 12),
             **panic_kind, message="The first line should end with the number of parameters:"),
        Kind("reader: n=0 capacity overflow", (write(folder, "zero.plt", "x 0\na\n"), 12),
             **panic_kind, message="capacity overflow"),
        Kind("reader: missing name line", (write(folder, "names.plt", "x 3\na\n"), 12),
             **panic_kind, message="Failed to read line!"),
        Kind("reader: missing data line", (write(folder, "data.plt", head), 12), **panic_kind,
             message="Error reading line"),
        Kind("reader: short data line (slice)",
             (write(folder, "short.plt", head + fields([0.0, 1.0], 12) + " 2.0\n"), 12),
             **panic_kind, message="end byte index 36 is out of bounds"),
        Kind("reader: time field does not parse",
             (write(folder, "time.plt", head + "     abc    " + fields([1.0, 2.0], 12) + "\n"), 12),
             **panic_kind, message="Could not parse line: "),
        Kind("reader: other field does not parse",
             (write(folder, "value.plt", head + fields([0.0], 12) + " 1.0D+00    "
                    + fields([2.0], 12) + "\n"), 12),
             **panic_kind, message="Could not parse line: "),
        Kind("reader: invalid UTF-8", (write(folder, "utf8.plt", b"x 1\n\xff\n"), 12),
             **panic_kind, message="Failed to read line!: "),
        Kind("args: too many", (small, 12, 3), **type_error,
             message="rust_read_tarvelo() takes 2 positional arguments but 3 were given"),
        Kind("args: missing one", (small,), **type_error,
             message="rust_read_tarvelo() missing 1 required positional argument"),
        Kind("args: missing both", (), **type_error,
             message="rust_read_tarvelo() missing 2 required positional arguments"),
        Kind("args: unexpected keyword", (small,), dict(digits=12), **type_error,
             message="rust_read_tarvelo() got an unexpected keyword argument 'digits'"),
        Kind("args: unexpected keyword, lone surrogate", (small, 12), {"\udc80": 1},
             **type_error, message="rust_read_tarvelo() got an unexpected keyword argument"),
        Kind("args: multiple values", (small, 12), dict(file_path=small), **type_error,
             message="rust_read_tarvelo() got multiple values for argument 'file_path'"),
        Kind("args: file_path bytes", (small.encode(), 12), **type_error,
             message="argument 'file_path': 'bytes' object is not an instance of 'str'"),
        Kind("args: file_path None", (None, 12), **type_error,
             message="argument 'file_path': 'None' is not an instance of 'str'"),
        Kind("args: file_path lone surrogate", (lone, 12), raises="UnicodeEncodeError"),
        Kind("args: n_digits float", (small, 12.0), **type_error, message="argument 'n_digits': "),
        Kind("args: n_digits negative", (small, -1), raises="OverflowError"),
        Kind("args: n_digits 2**64", (small, 2**64), raises="OverflowError"),
        Kind("args: __index__ raises ValueError", (small, Index(raise_value_error)),
             raises="ValueError", message="no index here"),
        Kind("args: __index__ raises a caught PanicException", (small, Index(resume_panic)),
             **panic_kind, message=str(panic), verify=resumed, context=hook.installed),
        Kind("memory: columns refused (MemoryError)", (many_names, 12), raises="MemoryError",
             message="memory allocation of 23999976 bytes failed",
             context=lambda: address_space_margin(4 * 2**20)),
        *arrays_kinds(folder, small, one, wide, no_blocks, head),
    ]


def arrays_kinds(folder: str, small: str, one: str, wide: str, no_blocks: str,
                 head: str) -> list[Kind]:
    """tolvik_arrays' native reader: results, every kind of failure, argument errors."""
    def arrays(name: str, *args, **kwargs) -> Kind:
        return Kind(f"arrays: {name}", args, function=read_arrays, **kwargs)

    bad = dict(raises="PlotFormatError")
    # 400,000 blocks of 10 values: 16 MB of floats, refused under an
    # address-space limit 8 MB above what the process has mapped.
    # Written a block at a time: a 16 MB string would leave the C heap holding
    # free memory that later allocations reuse without mapping any.
    big = os.path.join(folder, "big.plt")
    with open(big, "w") as f:
        f.write("x 10\n" + "p\n" * 10)
        for _ in range(400_000):
            f.write("\n" + " 1.00000E+00" * 10 + "\n")
    return [
        arrays("success: small file", small, 12),
        arrays("success: n=1, 5 blocks", one, 12),
        arrays("success: n=25, width 15", wide, 15),
        arrays("success: no blocks", no_blocks, 12),
        arrays("success: bytes path", small.encode(), 12),
        arrays("success: path object", Path(small), 12),
        arrays("missing file", os.path.join(folder, "absent.plt"), 12,
               raises="FileNotFoundError", message="[Errno 2] No such file or directory"),
        arrays("directory", folder, 12, raises="IsADirectoryError"),
        arrays("read error", "/proc/self/mem", 12, raises="OSError", message="[Errno 5]"),
        arrays("empty file", os.path.join(folder, "empty.plt"), 12, **bad),
        arrays("invalid count", os.path.join(folder, "count.plt"), 12, **bad),
        arrays("n=0", os.path.join(folder, "zero.plt"), 12, **bad),
        arrays("missing name line", os.path.join(folder, "names.plt"), 12, **bad),
        arrays("missing data line", os.path.join(folder, "data.plt"), 12, **bad),
        arrays("short data line", os.path.join(folder, "short.plt"), 12, **bad),
        arrays("field does not parse", os.path.join(folder, "value.plt"), 12, **bad),
        arrays("invalid UTF-8", os.path.join(folder, "utf8.plt"), 12, **bad),
        arrays("args: embedded NUL", "a\0b", 12, raises="ValueError", message="embedded null"),
        arrays("args: path None", None, 12, raises="TypeError"),
        arrays("args: n_digits 0", small, 0, raises="ValueError"),
        arrays("args: n_digits 2**64", small, 2**64, raises="OverflowError"),
        arrays("args: n_digits float", small, 12.0, raises="TypeError"),
        arrays("args: one argument", small, raises="TypeError"),
        arrays("memory: values refused (MemoryError)", big, 12, raises="MemoryError",
               context=lambda: address_space_margin(8 * 2**20)),
    ]


# --- main -------------------------------------------------------------------


def first_panic(folder: str) -> BaseException:
    global PanicException
    try:
        with quiet():
            read(os.path.join(folder, "absent.plt"), 12)
    except BaseException as e:  # noqa: BLE001
        PanicException = type(e)
        return e
    raise SystemExit("refleak: a call with a missing file did not fail")


def counts_references(library: str) -> bool:
    """Whether the module's own reference changes update the interpreter's total.

    Compiled with Py_DEBUG, every inline Py_INCREF of the module calls this
    function of the interpreter, so the module imports it by name.
    """
    with open(library, "rb") as f:
        return b"_Py_INCREF_IncRefTotal" in f.read()


def format_table(results: list[Result]) -> str:
    def cell(deltas: list[int]) -> str:
        return " ".join(str(d) for d in deltas)

    rows = [("kind", "refs", "blocks", "malloc bytes", "fds", "verdict")]
    for r in results:
        rows.append((r.name, cell(r.refs), cell(r.blocks), cell(r.malloc), cell(r.fds),
                     "LEAK" if r.leaks() else "ok"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=20, help="calls before measuring")
    parser.add_argument("--rounds", type=int, default=5, help="measured rounds")
    parser.add_argument("--calls", type=int, default=50, help="calls per round")
    parser.add_argument("-k", "--kind", default="", help="only kinds whose name contains this")
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    for library in (tolvik.__file__, arrays_reader.__file__):
        if not counts_references(library):
            # Its own reference changes would not reach the interpreter's total,
            # and every call that makes or drops an object would look like a leak.
            print(f"refleak: {library} was not compiled with the debug interpreter's "
                  "pyconfig.h (Py_DEBUG): rebuild it with that include folder first on the "
                  "path (-I, not -isystem)", file=sys.stderr)
            return 2
    print(f"refleak: {sys.executable} {sys.version.split()[0]}, tolvik from {tolvik.__file__}")
    print(f"refleak: warm-up {options.warmup}, {options.rounds} rounds of {options.calls} calls")

    with tempfile.TemporaryDirectory(prefix="tolvik-refleak-") as folder:
        panic = first_panic(folder)
        kinds = [k for k in make_kinds(folder, panic) if options.kind in k.name]
        if not kinds:
            print(f"refleak: no kind of call matches {options.kind!r}", file=sys.stderr)
            return 2
        results, broken, leaks = [], [], []
        for kind in kinds:
            with kind.context():
                with quiet():
                    problem = kind.check()
                if problem:
                    broken.append(f"kind '{kind.name}' {problem}")
                    continue
                with quiet():
                    result = measure(kind.name, kind.make_call(), options.warmup,
                                     options.rounds, options.calls)
            results.append(result)
            for leak in result.leaks():
                leaks.append(f"LEAK: kind '{kind.name}' leaks {leak}")

    print()
    print(format_table(results))
    print()
    for line in broken:
        print(f"refleak: BROKEN: {line}")
    for line in leaks:
        print(f"refleak: {line}")
    if broken:
        return 2
    if leaks:
        return 1
    print(f"refleak: no leak in {len(results)} kinds of call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
