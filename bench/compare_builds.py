"""Two builds of tolvik timed against each other in one process.

    python bench/compare_builds.py BASELINE CANDIDATE [--arrays] [--quick] [--rounds N]
                                   [--workload NAME ...] [--data-dir DIR]

BASELINE and CANDIDATE are build folders that hold the module (tolvik*.so):
say one built from another commit, or one forced to a line kernel with
-DTOLVIK_LINE_KERNEL. Both modules are loaded into this interpreter from
their files; with --arrays, tolvik_arrays' reader (tolvik_arrays/_reader*.so,
float32 buffers: no Python float is made, so the reading itself is most of
the time) instead of tolvik. For each workload of bench/run.py (its files, generated on
first use into DIR) the two read the same file in rounds, the order
alternating from round to round; each round times one call of each, after an
untimed one, with floats of the first result held so that the allocator is
warm (as run.py does); a reader's best round counts. Prints both times and
the candidate's as a ratio of the baseline's, and checks that both return
the same values, bit for bit.
"""

from __future__ import annotations

import argparse
import array
import gc
import glob
import importlib.machinery
import importlib.util
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402


def load(build: str, arrays: bool):
    """The tolvik module of a build folder (or tolvik_arrays' reader), loaded
    from its file."""
    name, stem = ("tolvik_arrays._reader", "tolvik_arrays/_reader") if arrays else ("tolvik",) * 2
    found = sorted({path for suffix in importlib.machinery.EXTENSION_SUFFIXES
                    for path in glob.glob(os.path.join(build, stem + suffix))})
    if len(found) != 1:
        raise SystemExit(f"expected one {name} module in {build}, found {len(found)}")
    location = importlib.util.spec_from_file_location(name, found[0])
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def bits(result) -> list[bytes]:
    """The values of a result (tolvik's lists, or the reader's buffers)."""
    if len(result) == 3:
        return [bytes(memoryview(buffer)) for buffer in result[1:]]
    times, columns = result
    return [array.array("f", column).tobytes() for column in (times, *columns)]


def best_times(calls, rounds: int) -> list[float]:
    """Each call's best wall-clock time over `rounds` rounds; within a round
    every call is made twice and the second timed, the order alternating."""
    best = [float("inf")] * len(calls)
    for r in range(rounds):
        order = range(len(calls)) if r % 2 == 0 else reversed(range(len(calls)))
        for i in order:
            calls[i]()
            gc.collect()
            start = time.perf_counter()
            result = calls[i]()
            best[i] = min(best[i], time.perf_counter() - start)
            del result
    return best


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--arrays", action="store_true", help="time tolvik_arrays' reader")
    parser.add_argument("--quick", action="store_true", help="bench/run.py's smaller files")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", action="append", choices=[w.name for w in run.FULL])
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "tolvik-bench"))
    args = parser.parse_args(argv)
    modules = [load(args.baseline, args.arrays), load(args.candidate, args.arrays)]
    if modules[0].__file__ == modules[1].__file__:
        raise SystemExit("the two builds are the same file")
    os.makedirs(args.data_dir, exist_ok=True)
    print(f"baseline:  {modules[0].__file__}\ncandidate: {modules[1].__file__}")
    print(f"{'workload':<10}{'values':>12}{'baseline ms':>14}{'candidate ms':>14}{'ratio':>8}")
    for w in run.QUICK if args.quick else run.FULL:
        if args.workload and w.name not in args.workload:
            continue
        path = run.ensure_file(args.data_dir, w)
        if args.arrays:
            calls = [lambda m=m: m.read_plot_file(path, w.width) for m in modules]
        else:
            calls = [lambda m=m: m.rust_read_tarvelo(path, w.width) for m in modules]
        first = calls[0]()
        if bits(first) != bits(calls[1]()):
            print(f"{w.name}: the two builds return different values")
            return 1
        held = [] if args.arrays else run.hold_arenas(first, w.params)
        del first
        base, cand = best_times(calls, args.rounds)
        del held
        values = w.params * w.blocks
        print(f"{w.name:<10}{values:>12,}{base * 1e3:>14.2f}{cand * 1e3:>14.2f}{cand / base:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
