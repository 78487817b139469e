"""Cost of turning tolvik's lists into numpy arrays and a DataFrame, next to the read.

    python bench/convert.py [--quick] [--rounds N] [--clock wall|cpu] [--data-dir DIR]

Needs tolvik importable and numpy and pandas. Uses the first workload of
bench/run.py (25 parameters x 100,000 blocks at width 12; --quick: 20,000
blocks), generated on first use into DIR as run.py does. The conversions are
those of examples/to_pandas.py. Each round reads the file with tolvik, then
converts that result step by step:

    numpy.asarray(times, dtype=numpy.float32)     the time, shape (blocks,)
    numpy.array(columns, dtype=numpy.float32)     the rest, shape (n - 1, blocks)
    parameter_names(path)                         the header's name lines
    to_frame(times, columns, names)               both arrays and the DataFrame

Before timing, the arrays and the DataFrame are checked to hold exactly the
values of the lists. The table gives each step's best and median time, its ns
per value of the file, and its time over the read's in the same round (the
median over the rounds): the machine may be shared, and that ratio moves much
less than the times themselves.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import run  # noqa: E402
import to_pandas  # noqa: E402


def check(times, columns, names) -> None:
    """The arrays and the frame hold every value of the lists exactly."""
    t, values = to_pandas.to_arrays(times, columns)
    frame = to_pandas.to_frame(times, columns, names)
    exact = (
        t.tolist() == times
        and values.tolist() == columns
        and frame.index.tolist() == times
        and frame.to_numpy().T.tolist() == columns
        and list(frame.columns) == names[1:]
    )
    if not exact:
        sys.exit("convert: the arrays or the DataFrame differ from the lists")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the small file of run.py --quick")
    parser.add_argument("--rounds", type=int, default=7, help="rounds (default: %(default)s)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="wall clock or this process's CPU time (default: %(default)s)")
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "tolvik-bench"),
                        help="where the generated plot files are kept (default: %(default)s)")
    args = parser.parse_args(argv)

    import numpy
    import pandas
    import tolvik

    w = (run.QUICK if args.quick else run.FULL)[0]
    os.makedirs(args.data_dir, exist_ok=True)
    path = run.ensure_file(args.data_dir, w)
    values = w.params * w.blocks
    clock = time.perf_counter if args.clock == "wall" else time.process_time
    print(f"Python {sys.version.split()[0]}, numpy {numpy.__version__}, pandas "
          f"{pandas.__version__}; {w.params} parameters x {w.blocks:,} blocks, width "
          f"{w.width}: {os.path.getsize(path) / 1e6:.1f} MB, {values:,} values; "
          f"{args.rounds} rounds, {args.clock} clock, load average {os.getloadavg()[0]:.2f}")

    times, columns = tolvik.rust_read_tarvelo(path, w.width)
    check(times, columns, to_pandas.parameter_names(path))
    del times, columns

    steps = {
        "read: tolvik.rust_read_tarvelo": None,
        "times -> float32 array": lambda t, c, n: numpy.asarray(t, dtype=numpy.float32),
        "columns -> 2-D float32 array": lambda t, c, n: numpy.array(c, dtype=numpy.float32),
        "names: parameter_names": lambda t, c, n: to_pandas.parameter_names(path),
        "lists -> DataFrame: to_frame": lambda t, c, n: to_pandas.to_frame(t, c, n),
    }
    seconds: dict[str, list[float]] = {name: [] for name in steps}
    names = to_pandas.parameter_names(path)
    for _ in range(args.rounds):
        gc.collect()
        start = clock()
        times, columns = tolvik.rust_read_tarvelo(path, w.width)
        seconds["read: tolvik.rust_read_tarvelo"].append(clock() - start)
        for name, step in steps.items():
            if step is None:
                continue
            gc.collect()
            start = clock()
            result = step(times, columns, names)
            seconds[name].append(clock() - start)
            del result
        del times, columns

    reads = seconds["read: tolvik.rust_read_tarvelo"]
    head = f"  {'step':<32}{'best s':>9}{'median s':>10}{'ns/value':>10}{'/ read':>8}"
    print(head)
    print("  " + "-" * (len(head) - 2))
    ratios = {}
    for name, spent in seconds.items():
        ratios[name] = statistics.median(s / r for s, r in zip(spent, reads))
        print(f"  {name:<32}{min(spent):>9.4f}{statistics.median(spent):>10.4f}"
              f"{min(spent) / values * 1e9:>10.2f}{ratios[name]:>8.3f}")
    print(f"  read and DataFrame together: {1 + ratios['lists -> DataFrame: to_frame']:.3f}"
          " x the read (median of the rounds)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
