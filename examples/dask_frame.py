"""Every plot file (*.plt) of a folder as one lazy Dask DataFrame, and a short
summary computed from it.

Usage: python examples/dask_frame.py FOLDER [--width N] [--dask ADDRESS]

dask.dataframe.from_map makes one partition per file: tolvik_arrays reads the
file, Plot.to_frame() turns it into a pandas DataFrame, and the file's name is
put in front as the column "run" (categorical: one category per file). The
other columns are the file's parameters by name, the time first, float32.

Before the frame is built, every file is read once to check it. from_map
needs the frame's columns before any partition exists (its meta): they come
from the names of the first good file, and a file whose names differ, or one
that fails to read, is reported and left out; the frame is built from the
good files alone, so that computing it cannot fail on a damaged one. The
summary then reads the good files again.

Standard output gets one line per file, in order of file name: the run's rows
and time range, or its name, "failed:" and why (lines after the first of a
message indented by four blanks); then the mean, minimum and maximum of each
parameter over all runs, and a line of totals. The exit status is 1 when any
file failed, 0 otherwise; 2 for a usage error.

Without --dask, the computation runs on Dask's default scheduler for data
frames, a pool of threads in this process: tolvik_arrays gives up the
interpreter lock while it reads, so the threads read files in parallel, with
no cluster to start (which takes seconds) and no partition to pickle from one
process to another. With --dask ADDRESS it runs on the workers of the Dask
scheduler at ADDRESS, which must see FOLDER under the same path.

Needs tolvik_arrays with numpy and pandas, and Dask's data frames (and
dask.distributed for --dask): pip install "tolvik[arrays,dask]".
"""

from __future__ import annotations

import argparse
import os
import sys
import time

try:
    import dask
    import dask.dataframe
    import numpy
    import pandas
    import tolvik_arrays
except ImportError as error:  # a usage error, reported once the arguments are read
    missing: ImportError | None = error
else:
    missing = None

PROG = "dask_frame.py"


def check(path: str, width: int) -> tuple:
    """Read one file: ("read", names) or ("failed", message)."""
    try:
        return ("read", tolvik_arrays.read_plot(path, width).names)
    except tolvik_arrays.PlotFormatError as error:
        return ("failed", f"line {error.line}: {error.message}")
    except Exception as error:  # OSError, MemoryError
        return ("failed", f"{type(error).__name__}: {error}")


def unfit(names: tuple[str, ...], columns: tuple[str, ...], first: str | None) -> str | None:
    """Why a file with the parameters `names` cannot be a partition of a frame
    whose parameters are `columns`, those of the file `first` (None before
    the first good file), or None when it can."""
    for number, name in enumerate(names):
        if name == "run" or name in names[:number]:
            return f"parameter {number} is {name!r}, the name of another column"
    if first is None:
        return None
    if len(names) != len(columns):
        return f"{len(names)} parameters, where {first} has {len(columns)}"
    for number, (name, expected) in enumerate(zip(names, columns)):
        if name != expected:
            return f"parameter {number} is {name!r}, where {first} has {expected!r}"
    return None


def sort_out(files: list[str], checks: tuple) -> tuple[list[str], dict[str, str], tuple[str, ...]]:
    """The files that go into the frame, in order; the others, each with why
    not; and the parameter names of the frame."""
    runs: list[str] = []
    failures: dict[str, str] = {}
    columns: tuple[str, ...] = ()
    for name, (state, result) in zip(files, checks):
        if state == "read":
            reason = unfit(result, columns, runs[0] if runs else None)
            if reason is None:
                runs.append(name)
                columns = result
                continue
            result = reason
        failures[name] = result
    return runs, failures, columns


def run_frame(plot, run: str, runs: list[str]):
    """The partition of one run: the column "run", then the plot's frame with
    its time index made a column."""
    frame = plot.to_frame().reset_index()
    frame.insert(0, "run", pandas.Categorical([run] * len(frame), categories=runs))
    return frame


def read_run(path: str, width: int, runs: list[str]):
    """from_map's function: the partition of the file at `path`."""
    return run_frame(tolvik_arrays.read_plot(path, width), os.path.basename(path), runs)


def build_frame(folder: str, runs: list[str], names: tuple[str, ...], width: int):
    """The lazy frame over the runs (file names in `folder`) whose parameters
    are `names`."""
    empty = tolvik_arrays.Plot(
        names, numpy.empty(0, numpy.float32), numpy.empty((len(names) - 1, 0), numpy.float32)
    )
    return dask.dataframe.from_map(
        read_run,
        [os.path.join(folder, run) for run in runs],
        args=(width, runs),
        meta=run_frame(empty, runs[0], runs),
        label="read-plot",
    )


def summarise(frame, names: tuple[str, ...]) -> tuple[dict[str, tuple], list[str]]:
    """Rows, least and greatest time of each run, and a line for each
    parameter: its mean, minimum and maximum over all runs."""
    time_name, parameters = names[0], list(names[1:])
    per_run = frame.groupby("run", observed=False)[time_name].agg(["count", "min", "max"])
    values = frame[parameters]
    # float32 sums of millions of values would lose digits: the means are
    # taken in double precision.
    per_run, means, lows, highs = dask.compute(
        per_run, values.astype("float64").mean(), values.min(), values.max()
    )
    accounts = {
        str(run): (int(count), low, high) for run, (count, low, high) in per_run.iterrows()
    }
    if not per_run["count"].sum():
        return accounts, []
    width = max(map(len, parameters), default=0)
    # Values are single precision: six significant digits show them as written.
    return accounts, [
        f"{name:<{width}}  mean {means[name]:.6g}, {lows[name]:.6g} .. {highs[name]:.6g}"
        for name in parameters
    ]


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    def width(text):
        value = int(text)
        if value < 1:
            raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
        return value

    width.__name__ = "int"  # argparse names it in "invalid int value: 'x'"
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Every *.plt file of a folder as one lazy Dask DataFrame, and a summary.",
    )
    parser.add_argument("folder", help="the folder whose *.plt files are read")
    parser.add_argument(
        "-w",
        "--width",
        type=width,
        default=12,
        help="field width in bytes: 12 (six digits, the default) or 15 (nine digits)",
    )
    parser.add_argument(
        "--dask", metavar="ADDRESS", help="compute on the Dask scheduler at ADDRESS"
    )
    args = parser.parse_args(argv)
    if not os.path.isdir(args.folder):
        parser.error(f"not a folder: {args.folder}")
    try:
        if missing is not None:
            raise missing
        if args.dask is not None:
            from dask import distributed  # noqa: F401
    except ImportError as error:
        parser.error(f'needs tolvik_arrays and Dask ({error}): pip install "tolvik[arrays,dask]"')
    return args


def connect(address: str):
    """A client of the scheduler at `address`, which Dask then computes on."""
    from dask.distributed import Client

    try:
        return Client(address)
    except (OSError, ValueError) as error:  # refused, no answer in time, a bad address
        print(f"{PROG}: cannot reach the Dask scheduler at {address}: {error}", file=sys.stderr)
        raise SystemExit(2) from None


def main(argv: list[str]) -> int:
    args = parse_arguments(argv)
    # Absolute: the workers at --dask need not share this process's working folder.
    folder = os.path.abspath(args.folder)
    files = sorted(entry.name for entry in os.scandir(folder) if entry.name.endswith(".plt"))
    if not files:
        print(f"0 files: no *.plt files in {args.folder}")
        return 0

    start = time.perf_counter()
    # A client becomes Dask's default scheduler; without one, data frames and
    # delayed calls are computed on threads.
    client = connect(args.dask) if args.dask is not None else None
    try:
        checks = dask.compute(
            *[dask.delayed(check)(os.path.join(folder, name), args.width) for name in files]
        )
        runs, failures, columns = sort_out(files, checks)
        accounts: dict[str, tuple] = {}
        parameter_lines: list[str] = []
        if runs:
            frame = build_frame(folder, runs, columns, args.width)
            accounts, parameter_lines = summarise(frame, columns)
    finally:
        if client is not None:
            client.close()
    seconds = time.perf_counter() - start

    rows = 0
    for name in files:
        if name in failures:
            print(f"{name}: failed: " + failures[name].replace("\n", "\n    "))
            continue
        count, low, high = accounts[name]
        rows += count
        time_range = f", {columns[0]} {low:.6g} .. {high:.6g}" if count else ""
        print(f"{name}: {count} rows{time_range}")
    for line in parameter_lines:
        print(line)
    engine = "threads" if client is None else f"dask at {args.dask}"
    print(
        f"{len(files)} files: {len(runs)} in the frame ({rows} rows), {len(failures)} failed "
        f"({engine}, {seconds:.1f} s)"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
