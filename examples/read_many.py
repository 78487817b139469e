"""Read every plot file (*.plt) in a folder in parallel and report on each.

Usage: python examples/read_many.py FOLDER [--width N] [--workers K] [--threads | --dask [ADDRESS]]

The files are read by a pool of K worker processes (the default); with
--threads by K threads of this process, through tolvik_arrays, which gives up
the interpreter lock while it reads, so the threads read K files at once and
nothing is pickled; with --dask by a local Dask cluster of K worker
processes, or by the workers of the Dask scheduler at ADDRESS (they must see
FOLDER under the same path). Every engine prints the same report, but for a
file that cannot be opened or read (tolvik_arrays raises the OSError that
open() would, tolvik describes the error its own way). Standard
output gets one line per file, in order of file name: its name and what it
read, or its name and the failure message; then a summary. A message that
spans lines goes on in lines indented by four blanks. While the files are
read, a progress line is shown on standard error when that is a terminal
(drawn by tqdm when it is installed). The exit status is 1 when any file
failed, 0 otherwise; one file's failure does not stop the others.

tolvik_arrays needs numpy: pip install "tolvik[arrays]". Dask and tqdm come
with: pip install "tolvik[dask]".
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor, as_completed

import tolvik


def account(parameters: int, times) -> tuple:
    """The outcome of a good read: ("read", parameters, blocks, first time,
    last time), the times as Python floats (exact: they are float32 values)."""
    if len(times) == 0:
        return ("read", parameters, 0, None, None)
    return ("read", parameters, len(times), float(times[0]), float(times[-1]))


def read_one(path: str, width: int) -> tuple:
    """Read one file in a worker and return a short account of it:
    ("read", parameters, blocks, first time, last time) or ("failed", message),
    plain builtins that every engine's serialisation carries.

    A failed read comes back as a value, never as an exception: the module's
    PanicException cannot travel from a worker to the caller. The standard
    pickle looks its type up by name, in a module "pyo3_runtime" that does not
    exist, so a process pool hands the caller a PicklingError in its place;
    and it is a BaseException, which Dask's client does not pass back, so the
    caller's future never finishes. Sending the summary rather than the lists
    also keeps the pickling of a million floats per file out of the way.
    """
    try:
        times, columns = tolvik.rust_read_tarvelo(path, width)
    except Exception as error:  # MemoryError, a path the module refuses
        return ("failed", f"{type(error).__name__}: {error}")
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise  # KeyboardInterrupt, SystemExit
        return ("failed", str(error))
    return account(len(columns) + 1, times)


def read_one_unlocked(path: str, width: int) -> tuple:
    """read_one with tolvik_arrays, for the thread engine: the interpreter
    lock is given up during the read. A damaged file's message is the text
    that tolvik gives for it, so the report is the same as the other engines';
    a file that cannot be opened or read gives the OSError that open() would."""
    import tolvik_arrays  # only here: the other engines need no numpy

    try:
        plot = tolvik_arrays.read_plot(path, width)
    except tolvik_arrays.PlotFormatError as error:
        return ("failed", error.message)
    except Exception as error:  # OSError, MemoryError
        return ("failed", f"{type(error).__name__}: {error}")
    return account(len(plot.names), plot.times)


def describe(name: str, outcome: tuple) -> str:
    """The report line(s) of one file."""
    if outcome[0] == "failed":
        return f"{name}: failed: " + outcome[1].replace("\n", "\n    ")
    _, parameters, blocks, first, last = outcome
    text = f"{name}: {parameters} parameters, {blocks} blocks"
    if blocks:
        # Values are single precision: six significant digits show them as written.
        text += f", time {first:.6g} .. {last:.6g}"
    return text


def outcome_of(future) -> tuple:
    """The worker's outcome, or the engine's failure to deliver one (a worker
    process that died, a task the scheduler gave up on) as a failed file."""
    try:
        return future.result()
    except Exception as error:
        return ("failed", f"{type(error).__name__}: {error}")


def stdout_to_stderr() -> None:
    """Point a worker's standard output at its standard error. The module
    writes a line to descriptor 1 for a count line that is not a number; in
    a worker that shares this process's standard output it would land among
    the report lines."""
    os.dup2(2, 1)


class Progress:
    """Counts finished files on standard error when that is a terminal, and
    prints report lines to standard output without tearing the count."""

    def __init__(self, total: int):
        self.total, self.done, self.failed = total, 0, 0
        self.bar = None
        self.plain = False
        if total and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                self.plain = True
                self._draw()
            else:
                self.bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False)

    def _draw(self) -> None:
        sys.stderr.write(f"\r{self.done}/{self.total} files, {self.failed} failed\x1b[K")
        sys.stderr.flush()

    def advance(self, failed: bool) -> None:
        self.done += 1
        self.failed += failed
        if self.bar is not None:
            self.bar.set_postfix(failed=self.failed, refresh=False)
            self.bar.update(1)
        elif self.plain:
            self._draw()

    def print(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=sys.stdout)
            return
        if self.plain:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
        print(text, flush=self.plain)
        if self.plain:
            self._draw()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.plain:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


class Report:
    """Collects outcomes as they arrive and prints them in file order: each
    line as soon as every file before it is done."""

    def __init__(self, names: list[str], progress: Progress):
        self.names = names
        self.outcomes: list[tuple | None] = [None] * len(names)
        self.printed = 0
        self.failed = 0
        self.progress = progress

    def add(self, index: int, outcome: tuple) -> None:
        self.outcomes[index] = outcome
        failed = outcome[0] == "failed"
        self.failed += failed
        self.progress.advance(failed)
        while self.printed < len(self.names) and self.outcomes[self.printed] is not None:
            self.progress.print(describe(self.names[self.printed], self.outcomes[self.printed]))
            self.printed += 1


def read_with_pool(pool: Executor, read, paths: list[str], width: int, report: Report) -> None:
    """Read every file with `read` on a concurrent.futures pool, then shut it down."""
    try:
        futures = {pool.submit(read, path, width): i for i, path in enumerate(paths)}
        for future in as_completed(futures):
            report.add(futures[future], outcome_of(future))
    finally:
        # On an interrupt, files not yet started are dropped rather than read.
        pool.shutdown(wait=True, cancel_futures=True)


def read_with_processes(paths: list[str], width: int, workers: int, report: Report) -> str:
    # Workers start from a clean server process, not as forks of this one,
    # which may run threads by now (the progress bar's); the default on 3.14,
    # and the same on every version.
    pool = ProcessPoolExecutor(
        max_workers=workers,
        mp_context=multiprocessing.get_context("forkserver"),
        initializer=stdout_to_stderr,
    )
    read_with_pool(pool, read_one, paths, width, report)
    return f"{workers} process{'es' if workers > 1 else ''}"


def read_with_threads(paths: list[str], width: int, workers: int, report: Report) -> str:
    # tolvik_arrays writes nothing to standard output: no redirection needed.
    pool = ThreadPoolExecutor(max_workers=workers)
    read_with_pool(pool, read_one_unlocked, paths, width, report)
    return f"{workers} thread{'s' if workers > 1 else ''}"


def read_with_dask(
    paths: list[str], width: int, workers: int, address: str | None, report: Report
) -> str:
    from dask.distributed import Client, LocalCluster, WorkerPlugin, as_completed

    class StdoutToStderr(WorkerPlugin):
        """stdout_to_stderr on every worker of the local cluster, restarted ones too."""

        def setup(self, worker):
            stdout_to_stderr()

    if address is None:
        cluster = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
        client.register_plugin(StdoutToStderr())
        engine = f"dask, {workers} local workers"
    else:
        cluster = None
        try:
            client = Client(address)
        except OSError as error:  # refused, or no answer within Dask's connect timeout
            print(
                f"read_many.py: cannot reach the Dask scheduler at {address}: {error}",
                file=sys.stderr,
            )
            raise SystemExit(2) from None
        engine = f"dask at {address}"
    try:
        futures = {
            client.submit(read_one, path, width, pure=False): i for i, path in enumerate(paths)
        }
        for future in as_completed(futures):
            report.add(futures[future], outcome_of(future))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return engine


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    def count(minimum):
        def convert(text):
            value = int(text)
            if value < minimum:
                raise argparse.ArgumentTypeError(f"must be at least {minimum}: {text}")
            return value

        convert.__name__ = "int"  # argparse names it in "invalid int value: 'x'"
        return convert

    parser = argparse.ArgumentParser(
        description="Read every *.plt file in a folder in parallel and report on each."
    )
    parser.add_argument("folder", help="the folder whose *.plt files are read")
    parser.add_argument(
        "-w",
        "--width",
        type=count(0),
        default=12,
        help="field width in bytes: 12 (six digits, the default) or 15 (nine digits)",
    )
    parser.add_argument(
        "-j",
        "--workers",
        type=count(1),
        help="worker processes of the pool or of the local Dask cluster, or threads "
        "with --threads (default: the number of CPUs)",
    )
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument(
        "--threads",
        action="store_true",
        help="read on threads of this process, with tolvik_arrays (needs numpy)",
    )
    engine.add_argument(
        "--dask",
        nargs="?",
        const="",
        metavar="ADDRESS",
        help="read with Dask: a local cluster, or the scheduler at ADDRESS",
    )
    args = parser.parse_args(argv)
    if not os.path.isdir(args.folder):
        parser.error(f"not a folder: {args.folder}")
    if args.threads:
        try:
            import tolvik_arrays  # noqa: F401
        except ImportError as error:
            parser.error(f"--threads needs tolvik_arrays ({error})")
        if args.width < 1:
            parser.error("--width must be at least 1 with --threads")
    if args.dask is not None:
        try:
            import dask.distributed  # noqa: F401
        except ImportError as error:
            parser.error(f'--dask needs dask.distributed ({error}): pip install "tolvik[dask]"')
        if args.dask and args.workers is not None:
            parser.error(
                "--workers applies to a local pool or cluster, not to a scheduler at ADDRESS"
            )
    if args.workers is None:
        args.workers = os.cpu_count() or 1
    return args


def main(argv: list[str]) -> int:
    args = parse_arguments(argv)
    names = sorted(entry.name for entry in os.scandir(args.folder) if entry.name.endswith(".plt"))
    # Absolute paths: Dask's workers need not share this process's working folder.
    paths = [os.path.abspath(os.path.join(args.folder, name)) for name in names]
    if not names:
        print(f"0 files: no *.plt files in {args.folder}")
        return 0

    start = time.perf_counter()
    progress = Progress(len(names))
    report = Report(names, progress)
    try:
        if args.threads:
            engine = read_with_threads(paths, args.width, args.workers, report)
        elif args.dask is None:
            engine = read_with_processes(paths, args.width, args.workers, report)
        else:
            engine = read_with_dask(paths, args.width, args.workers, args.dask or None, report)
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    print(
        f"{len(names)} files: {len(names) - report.failed} read, {report.failed} failed "
        f"({engine}, {seconds:.1f} s)"
    )
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
