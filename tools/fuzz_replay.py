r"""Replay fuzzer inputs through the module and the reference reader.

    python tools/fuzz_replay.py CORPUS_DIR [--save DIR]

Every file in CORPUS_DIR is decoded into a field width and a plot file, the
plot file is read by ``tolvik.rust_read_tarvelo`` and by the plain-Python
reader of tests/reference_reader.py, and the two outcomes must be identical:
the same floats bit for bit, or the same PanicException message and the same
bytes on standard output. Then ``tolvik_arrays.read_plot`` must give the
module's floats, or a PlotFormatError with the module's message at the
reference's line, and write nothing. The module's standard output and error are captured
at the descriptor level (the module writes to descriptors 1 and 2 directly).
Each disagreement is described, printed in base64 for reproduction, and saved
in the --save folder (default: "disagreements" beside CORPUS_DIR) as the input,
the decoded plot file (.plt) and a note with the field width and the difference.
Exits 1 on any disagreement.

One difference is tolerated and only counted: a char-boundary message that
shows a character literally in the module and as \u{hex} in the reference, for
a character that Python's own Unicode data still lists as unassigned. The
module's character tables come from a newer Unicode version than the
interpreter's, and an unassigned character is shown as \u{hex}.

Input layout, the same rule as in fuzz/read_plot_file_fuzzer.cpp:
  empty input            -> n_digits = 12, empty file
  first byte B < 0xF0    -> n_digits = B % 41 (0 to 40), file = the bytes after B
  first byte B >= 0xF0   -> n_digits = the next 8 bytes as an unsigned 64-bit
                            little-endian integer (bytes missing at the end of the
                            input count as 0), file = the bytes after those 8
"""

from __future__ import annotations

import argparse
import base64
import os
import re
import shutil
import struct
import sys
import tempfile
import unicodedata
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

import tolvik  # noqa: E402
import tolvik_arrays  # noqa: E402
from reference_reader import read_plot_reference, reference_outcome  # noqa: E402

DEFAULT_DIGITS = 12
SMALL_WIDTHS = 41
WIDE_MARKER = 0xF0
WIDE_BYTES = 8
SHOWN_IN_DETAIL = 20
SHOWN_BYTES = 2048  # larger inputs are only saved


def decode(data: bytes) -> tuple[int, bytes]:
    if not data:
        return DEFAULT_DIGITS, b""
    if data[0] < WIDE_MARKER:
        return data[0] % SMALL_WIDTHS, data[1:]
    width = data[1 : 1 + WIDE_BYTES].ljust(WIDE_BYTES, b"\0")
    return int.from_bytes(width, "little"), data[1 + WIDE_BYTES :]


class Capture:
    """Descriptors 1 and 2 redirected into files around one call."""

    def __init__(self, folder: str):
        self.files = [
            os.open(os.path.join(folder, name), os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
            for name in ("stdout", "stderr")
        ]

    def run(self, call):
        sys.stdout.flush()
        sys.stderr.flush()
        saved = [os.dup(1), os.dup(2)]
        for fd, target in zip(self.files, (1, 2)):
            os.ftruncate(fd, 0)
            os.lseek(fd, 0, os.SEEK_SET)
            os.dup2(fd, target)
        try:
            return call()
        finally:
            for fd, target in zip(saved, (1, 2)):
                os.dup2(fd, target)
                os.close(fd)

    def captured(self) -> tuple[bytes, bytes]:
        return tuple(os.pread(fd, os.fstat(fd).st_size, 0) for fd in self.files)


_CHAR_BOUNDARY = re.compile(
    r"(start|end) byte index ([0-9]+) is not a char boundary; "
    r"it is inside '(.+)' \(bytes ([0-9]+)\.\.([0-9]+) of string\)",
    re.DOTALL,
)


def _shown_code_point(shown: str) -> int | None:
    if len(shown) == 1:
        return ord(shown)
    if shown.startswith("\\u{") and shown.endswith("}"):
        return int(shown[3:-1], 16)
    return None


def unicode_version_skew(module, reference) -> int | None:
    """The code point, when two failures differ only in how they show a
    character that is unassigned in Python's Unicode data."""
    if module[0] != "fail" or reference[0] != "fail" or len(module[1]) != 1:
        return None
    if not isinstance(module[1][0], str):
        return None
    got = _CHAR_BOUNDARY.fullmatch(module[1][0])
    want = _CHAR_BOUNDARY.fullmatch(reference[1])
    if got is None or want is None:
        return None
    if got.group(1, 2, 4, 5) != want.group(1, 2, 4, 5):
        return None
    code = _shown_code_point(got.group(3))
    if code is None or code != _shown_code_point(want.group(3)):
        return None
    return code if unicodedata.category(chr(code)) == "Cn" else None


def run_module(capture: Capture, path: str, n_digits: int):
    """("ok", times, columns) or ("fail", message, stdout bytes, stderr bytes)."""

    def call():
        try:
            return ("ok", *tolvik.rust_read_tarvelo(path, n_digits))
        except BaseException as exc:  # PanicException derives from BaseException
            if type(exc).__name__ != "PanicException":
                raise
            return ("fail", exc.args)

    outcome = capture.run(call)
    out, err = capture.captured()
    return outcome, out, err


def float_bits(value) -> str:
    if type(value) is not float:
        return f"{type(value).__name__} {value!r}"
    return "0x%016x" % struct.unpack("<Q", struct.pack("<d", value))[0]


def compare_floats(name: str, got, want) -> str | None:
    if type(got) is not list:
        return f"{name}: module gave {type(got).__name__}, not list"
    if len(got) != len(want):
        return f"{name}: module has {len(got)} values, reference {len(want)}"
    for i, (g, w) in enumerate(zip(got, want)):
        if float_bits(g) != float_bits(w):
            return f"{name}[{i}]: module {float_bits(g)} ({g!r}), reference {float_bits(w)} ({w!r})"
    return None


def difference(module, out: bytes, err: bytes, reference) -> str | None:
    """Why the two outcomes differ, or None when they agree."""
    if module[0] == "ok" and reference[0] == "ok":
        _, times, columns = module
        _, ref_times, ref_columns = reference
        if (problem := compare_floats("times", times, ref_times)) is not None:
            return problem
        if type(columns) is not list or len(columns) != len(ref_columns):
            count = len(columns) if type(columns) is list else type(columns).__name__
            return f"columns: module has {count}, reference {len(ref_columns)}"
        for p, (got, want) in enumerate(zip(columns, ref_columns), start=1):
            if (problem := compare_floats(f"columns[{p - 1}]", got, want)) is not None:
                return problem
        if out or err:
            return f"success wrote to stdout {out!r} / stderr {err!r}"
        return None
    if module[0] == "fail" and reference[0] == "fail":
        _, args = module
        _, message, stdout_text = reference
        if args != (message,):
            return f"message: module {args!r}, reference {message!r}"
        if out != stdout_text.encode("utf-8"):
            return f"stdout: module {out!r}, reference {stdout_text!r}"
        if ("\n" + message + "\n").encode("utf-8") not in err:
            return f"failure diagnostic on stderr lacks the message: {err[:300]!r}"
        return None
    if module[0] == "ok":
        return f"module succeeded, reference failed with {reference[1]!r}"
    return f"module failed with {module[1]!r}, reference succeeded"


def arrays_difference(capture: Capture, path: str, content: bytes, n_digits: int, module) -> str | None:
    """Why tolvik_arrays disagrees with the module (and the reference's line
    numbers), or None. A width below 1 is refused before any read."""
    if n_digits < 1:
        return None

    def call():
        try:
            plot = tolvik_arrays.read_plot(path, n_digits)
        except tolvik_arrays.PlotFormatError as error:
            return ("fail", error.message, error.line)
        return ("ok", plot.times.tolist(), plot.values.tolist())

    got = capture.run(call)
    out, err = capture.captured()
    if out or err:
        return f"tolvik_arrays wrote to stdout {out!r} / stderr {err!r}"
    if got[0] != module[0]:
        return f"tolvik_arrays: {got[0]}, tolvik: {module[0]}"
    if got[0] == "fail":
        line = reference_outcome(content, n_digits).line
        if got[1:] != (module[1][0], line):
            return f"tolvik_arrays failed with {got[1:]!r}, expected {(module[1][0], line)!r}"
        return None
    problem = compare_floats("arrays times", got[1], module[1])
    for p, (mine, theirs) in enumerate(zip(got[2], module[2])):
        problem = problem or compare_floats(f"arrays row {p}", mine, theirs)
    if problem is None and len(got[2]) != len(module[2]):
        problem = f"tolvik_arrays has {len(got[2])} rows, tolvik {len(module[2])} columns"
    return problem


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", type=Path)
    parser.add_argument("--save", type=Path, help="folder for disagreeing inputs")
    args = parser.parse_args()
    save = args.save or args.corpus.resolve().parent / "disagreements"

    inputs = sorted(p for p in args.corpus.iterdir() if p.is_file())
    print(f"replay: {len(inputs)} inputs from {args.corpus}, module {tolvik.__file__}", flush=True)
    disagreements = 0
    tolerated = 0
    skewed: set[int] = set()
    with tempfile.TemporaryDirectory(prefix="tolvik-replay-") as folder:
        capture = Capture(folder)
        plot_path = os.path.join(folder, "plot.plt")
        for item in inputs:
            data = item.read_bytes()
            n_digits, content = decode(data)
            with open(plot_path, "wb") as f:
                f.write(content)
            skew = None
            try:
                module, out, err = run_module(capture, plot_path, n_digits)
            except Exception as exc:
                problem = f"module raised {type(exc).__name__}: {exc}"
            else:
                try:
                    reference = read_plot_reference(content, n_digits)
                except Exception as exc:
                    problem = f"reference raised {type(exc).__name__}: {exc}"
                else:
                    problem = difference(module, out, err, reference)
                    if problem is not None:
                        skew = unicode_version_skew(module, reference)
                    if skew is not None:
                        # Everything else must agree: compare with the module's wording.
                        problem = difference(module, out, err, ("fail", module[1][0], reference[2]))
                    if problem is None:
                        problem = arrays_difference(capture, plot_path, content, n_digits, module)
            if problem is None:
                if skew is not None:
                    skewed.add(skew)
                    tolerated += 1
                continue
            disagreements += 1
            save.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(item, save / item.name)
            (save / (item.name + ".plt")).write_bytes(content)
            (save / (item.name + ".txt")).write_text(f"n_digits {n_digits}\n{problem}\n")
            if disagreements <= SHOWN_IN_DETAIL:
                print(f"DISAGREE {item.name} (n_digits {n_digits}, {len(content)} bytes): {problem}")
                if len(data) <= SHOWN_BYTES:
                    print(f"  input (base64): {base64.b64encode(data).decode()}")
    print(f"replay: {len(inputs)} inputs replayed, {disagreements} disagreements")
    if tolerated:
        shown = ", ".join("U+%04X" % code for code in sorted(skewed))
        print(
            f"replay: {tolerated} inputs differ only in showing characters unassigned in "
            f"Python's Unicode {unicodedata.unidata_version}: {shown}"
        )
    if disagreements:
        print(f"replay: disagreeing inputs saved in {save}")
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
