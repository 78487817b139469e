"""Reading many files at once: a serial loop against threads, processes and
Dask, with tolvik and with tolvik_arrays, and the cost of sending results
back from a worker process.

    python bench/many_files.py [--files 16] [--params 25] [--blocks 50000]
        [--width 12] [--workers 2] [--rounds 5] [--no-dask] [--data-dir DIR]

Needs tolvik importable; Dask (pip install "tolvik[dask]") for its rows, which
are left out when it is missing or with --no-dask; tolvik_arrays (with numpy,
pip install "tolvik[arrays]") for its rows, left out when it cannot be
imported. The plot files are
generated on first use into DIR (default: <temp dir>/tolvik-bench), one
seed per file, never into the repository.

1. Engines. Every way reads all the files once per round; the rounds
   interleave the ways, in an order rotated from round to round. Pools and
   the cluster are started once, before the rounds, and warmed up with one
   pass (their start-up time is shown on its own). What a worker sends back:
   - "summary": parameter and block counts and the first and last time, as
     examples/read_many.py does;
   - "lists": the result as it is, pickled back whole;
   - "float32": the values as array('f'), exact since every value is a
     32-bit float; "+ tolist" makes lists of them again in the caller.
   "workers keep memory": a pool whose workers keep the memory of freed
   results (glibc malloc told not to give it back; see KEEP_MEMORY).
   - "tolvik_arrays": the Plot of tolvik_arrays.read_plot, kept; a process
     pool pickles it back whole.
   Ratios are the best round of a way over the best round of the serial loop
   in the same run (below 1: faster). The ways with tolvik_arrays are also
   given over its own serial loop; the target: ThreadPoolExecutor(2) at most
   0.65x that loop (the reads give up the interpreter lock, so two threads
   read two files at once on two cores).
   A calibration follows: a pure-Python loop as long as the serial reads, on
   the same process pool, shows how much of a second core the machine gave.
2. Inside one read: wall, user and system seconds of each call on its own
   thread, serially and in the pools.
3. Sending back, in this process, one file: pickle.dumps and pickle.loads of
   each form, against the read of that file that made it (tolvik's lists, or
   tolvik_arrays' Plot).
No assertion: the numbers are for reading.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import pickle
import platform
import resource
import statistics
import sys
import tempfile
import time
from array import array
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import generate  # noqa: E402
import tolvik  # noqa: E402

try:
    import tolvik_arrays
except ImportError as error:  # numpy missing, or a tolvik built without it
    tolvik_arrays = None
    ARRAYS_MISSING = str(error)

# tolvik_arrays on ThreadPoolExecutor(2) against its serial loop: at most this.
THREADS_TARGET = 0.65


# Environment of the workers that keep their memory: every object from
# glibc's malloc, which neither trims its heap nor maps blocks of their own
# below 1 GiB.
KEEP_MEMORY = {
    "PYTHONMALLOC": "malloc",
    "MALLOC_TRIM_THRESHOLD_": str(1 << 30),
    "MALLOC_MMAP_THRESHOLD_": str(1 << 30),
    "MALLOC_TOP_PAD_": str(64 << 20),
}

# --------------------------------------------------------------------------
# What a worker runs: one read, and one form of its result to send back.


def read_summary(path: str, width: int) -> tuple:
    times, columns = tolvik.rust_read_tarvelo(path, width)
    return (len(columns) + 1, len(times), times[0] if times else None, times[-1] if times else None)


def read_lists(path: str, width: int):
    return tolvik.rust_read_tarvelo(path, width)


def read_arrays(path: str, width: int):
    return tolvik_arrays.read_plot(path, width)


def to_float32(result):
    times, columns = result
    return array("f", times), [array("f", column) for column in columns]


def read_float32(path: str, width: int):
    return to_float32(tolvik.rust_read_tarvelo(path, width))


def to_lists(packed):
    times, columns = packed
    return times.tolist(), [column.tolist() for column in columns]


def read_timed(path: str, width: int) -> tuple[float, float, float]:
    """Wall, user and system seconds of one read with tolvik, on the calling
    thread."""
    return timed(tolvik.rust_read_tarvelo, path, width)


def read_timed_arrays(path: str, width: int) -> tuple[float, float, float]:
    """The same with tolvik_arrays."""
    return timed(tolvik_arrays.read_plot, path, width)


def timed(read, path: str, width: int) -> tuple[float, float, float]:
    before = resource.getrusage(resource.RUSAGE_THREAD)
    start = time.perf_counter()
    result = read(path, width)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_THREAD)
    del result
    return wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime


def spin(n: int) -> int:
    """Pure-Python work without system calls or fresh memory: what a second
    core can take over when one is free."""
    total = 0
    for i in range(n):
        total += i
    return total


# --------------------------------------------------------------------------


def ensure_files(
    data_dir: str, count: int, params: int, blocks: int, width: int, workers: int
) -> list[str]:
    paths = [
        os.path.join(
            data_dir, f"many-p{params}-b{blocks}-w{width}-s{seed}-g{generate.GENERATOR_VERSION}.plt"
        )
        for seed in range(1, count + 1)
    ]
    missing = [(p, seed) for seed, p in enumerate(paths, 1) if not os.path.exists(p)]
    if missing:
        print(f"generating {len(missing)} files ...", end="", flush=True)
        start = time.perf_counter()
        with ProcessPoolExecutor(workers) as pool:
            for future in [
                pool.submit(generate.generate, p, params, blocks, width, seed)
                for p, seed in missing
            ]:
                future.result()
        print(f" {time.perf_counter() - start:.0f} s")
    return paths


def best_and_median(times: list[float]) -> tuple[float, float]:
    return min(times), statistics.median(times)


def round_trip(value) -> tuple[float, float, int]:
    """Seconds to pickle and to unpickle `value`, and the pickle's size."""
    start = time.perf_counter()
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    middle = time.perf_counter()
    pickle.loads(data)
    return middle - start, time.perf_counter() - middle, len(data)


READ_LISTS = "read the file (lists)"
READ_PLOT = "read the file (tolvik_arrays: Plot)"


def sending_back(path: str, width: int, rounds: int) -> list[tuple[str, float, float, float]]:
    """Rows (what, best seconds, ratio to the read that made the value, MB)
    for one file."""
    samples: dict[str, list[float]] = {}
    sizes: dict[str, int] = {}
    made_by: dict[str, str] = {}

    def note(name, seconds, size=0, read=READ_LISTS):
        samples.setdefault(name, []).append(seconds)
        sizes[name] = size
        made_by[name] = read

    for _ in range(rounds):
        start = time.perf_counter()
        result = tolvik.rust_read_tarvelo(path, width)
        note(READ_LISTS, time.perf_counter() - start)
        summary = read_summary(path, width)
        dumps, loads, size = round_trip(result)
        note("lists: pickle.dumps", dumps, size)
        note("lists: pickle.loads", loads, size)
        start = time.perf_counter()
        packed = to_float32(result)
        note("float32: array('f', list) for each list", time.perf_counter() - start)
        dumps, loads, size = round_trip(packed)
        note("float32: pickle.dumps", dumps, size)
        note("float32: pickle.loads", loads, size)
        start = time.perf_counter()
        to_lists(packed)
        note("float32: .tolist() of each array", time.perf_counter() - start)
        dumps, loads, size = round_trip(summary)
        note("summary: pickle.dumps + loads", dumps + loads, size)
        del result, packed
        if tolvik_arrays is not None:
            start = time.perf_counter()
            plot = tolvik_arrays.read_plot(path, width)
            note(READ_PLOT, time.perf_counter() - start, read=READ_PLOT)
            dumps, loads, size = round_trip(plot)
            note("Plot: pickle.dumps", dumps, size, READ_PLOT)
            note("Plot: pickle.loads", loads, size, READ_PLOT)
            note("Plot: pickle.dumps + loads", dumps + loads, size, READ_PLOT)
            del plot
    return [(name, min(s), min(s) / min(samples[made_by[name]]), sizes[name] / 1e6)
            for name, s in samples.items()]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--params", type=int, default=25)
    parser.add_argument("--blocks", type=int, default=50_000)
    parser.add_argument("--width", type=int, default=12)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-dask", action="store_true", help="leave the Dask rows out")
    parser.add_argument(
        "--data-dir",
        default=os.path.join(tempfile.gettempdir(), "tolvik-bench"),
        help="where the generated plot files are kept (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    k, width = args.workers, args.width

    dask_version = None
    if not args.no_dask:
        try:
            import dask
            from dask.distributed import Client, LocalCluster

            dask_version = dask.__version__
        except ImportError:
            print("no dask.distributed: the Dask rows are left out")

    print(
        f"Python {platform.python_version()}, dask {dask_version or '-'}, "
        f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}"
    )
    os.makedirs(args.data_dir, exist_ok=True)
    paths = ensure_files(args.data_dir, args.files, args.params, args.blocks, width, k)
    megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
    print(
        f"{args.files} files of {args.params} parameters x {args.blocks} blocks, width "
        f"{width}: {megabytes:.0f} MB, {args.files * args.params * args.blocks / 1e6:.1f} "
        f"million values; {k} workers, {args.rounds} rounds"
    )

    startup = {}
    start = time.perf_counter()
    threads = ThreadPoolExecutor(k)
    list(threads.map(read_summary, paths, [width] * len(paths)))
    startup["threads"] = time.perf_counter() - start
    start = time.perf_counter()
    processes = ProcessPoolExecutor(k, mp_context=multiprocessing.get_context("forkserver"))
    list(processes.map(read_summary, paths, [width] * len(paths)))
    startup["processes"] = time.perf_counter() - start
    # The same pool with workers that keep the memory a freed result leaves:
    # objects from the C allocator, which is told to give nothing back. A
    # fresh worker otherwise returns the memory of each result to the system
    # and takes new pages from it for the next read (the system time below).
    saved = dict(os.environ)
    os.environ.update(KEEP_MEMORY)
    try:
        keeping = ProcessPoolExecutor(k, mp_context=multiprocessing.get_context("spawn"))
        list(keeping.map(read_summary, paths, [width] * len(paths)))
    finally:
        os.environ.clear()
        os.environ.update(saved)
    client = cluster = None
    if dask_version:
        start = time.perf_counter()
        cluster = LocalCluster(
            n_workers=k, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
        client.gather(client.map(read_summary, paths, [width] * len(paths), pure=False))
        startup["dask"] = time.perf_counter() - start

    widths = [width] * len(paths)

    def on_pool(pool, fn, after=None):
        def run():
            results = list(pool.map(fn, paths, widths))
            if after:
                results = [after(r) for r in results]
            return results

        return run

    def on_dask(fn, after=None):
        def run():
            results = client.gather(client.map(fn, paths, widths, pure=False))
            if after:
                results = [after(r) for r in results]
            return results

        return run

    ways = [
        ("serial loop, summary", lambda: [read_summary(p, width) for p in paths]),
        ("serial loop, lists kept", lambda: [read_lists(p, width) for p in paths]),
        (f"ThreadPoolExecutor({k}), summary", on_pool(threads, read_summary)),
        (f"ProcessPoolExecutor({k}), summary", on_pool(processes, read_summary)),
        (f"ProcessPoolExecutor({k}), lists", on_pool(processes, read_lists)),
        (f"ProcessPoolExecutor({k}), float32", on_pool(processes, read_float32)),
        (f"ProcessPoolExecutor({k}), float32 + tolist", on_pool(processes, read_float32, to_lists)),
        (f"ProcessPoolExecutor({k}), summary, workers keep memory", on_pool(keeping, read_summary)),
    ]
    if tolvik_arrays is not None:
        ways += [
            ("serial loop, tolvik_arrays", lambda: [read_arrays(p, width) for p in paths]),
            (f"ThreadPoolExecutor({k}), tolvik_arrays", on_pool(threads, read_arrays)),
            (f"ProcessPoolExecutor({k}), tolvik_arrays", on_pool(processes, read_arrays)),
        ]
    if client is not None:
        ways += [
            (f"Dask LocalCluster({k} processes), summary", on_dask(read_summary)),
            (f"Dask LocalCluster({k} processes), lists", on_dask(read_lists)),
            (f"Dask LocalCluster({k} processes), float32", on_dask(read_float32)),
        ]

    samples: dict[str, list[float]] = {name: [] for name, _ in ways}
    inside: dict[str, list[tuple[float, float, float]]] = {}
    try:
        for r in range(args.rounds):
            turn = ways[r % len(ways) :] + ways[: r % len(ways)]
            for name, run in turn:
                start = time.perf_counter()
                results = run()
                samples[name].append(time.perf_counter() - start)
                del results
        # Where a call's time goes, serially and with the pools.
        timings = [
            ("serial loop", lambda: [read_timed(p, width) for p in paths]),
            (f"ThreadPoolExecutor({k})", on_pool(threads, read_timed)),
            (f"ProcessPoolExecutor({k})", on_pool(processes, read_timed)),
            (f"ProcessPoolExecutor({k}), workers keep memory", on_pool(keeping, read_timed)),
        ]
        if tolvik_arrays is not None:
            timings += [
                (
                    "serial loop, tolvik_arrays",
                    lambda: [read_timed_arrays(p, width) for p in paths],
                ),
                (f"ThreadPoolExecutor({k}), tolvik_arrays", on_pool(threads, read_timed_arrays)),
            ]
        for _ in range(args.rounds):
            for name, run in timings:
                inside.setdefault(name, []).extend(run())
        # The same pool on work that needs only a free core: how much of a
        # second core the machine had to give during this run.
        start = time.perf_counter()
        spin(1_000_000)
        loops = int(
            1_000_000 * min(samples[ways[0][0]]) / len(paths) / (time.perf_counter() - start)
        )
        spun = {"serial": [], "processes": []}
        for _ in range(args.rounds):
            start = time.perf_counter()
            [spin(loops) for _ in paths]
            spun["serial"].append(time.perf_counter() - start)
            start = time.perf_counter()
            list(processes.map(spin, [loops] * len(paths)))
            spun["processes"].append(time.perf_counter() - start)
    finally:
        threads.shutdown()
        processes.shutdown()
        keeping.shutdown()
        if client is not None:
            client.close()
            cluster.close()

    base = min(samples[ways[0][0]])
    print(f"\n| way ({args.files} files) | best s | median s | time vs serial loop |")
    print("|---|---|---|---|")
    for name, _ in ways:
        best, median = best_and_median(samples[name])
        print(f"| {name} | {best:.3f} | {median:.3f} | {best / base:.2f} |")
    if tolvik_arrays is not None:
        arrays_base = min(samples["serial loop, tolvik_arrays"])
        print(f"\n| tolvik_arrays ({args.files} files) | best s | median s | time vs its serial"
              " loop | target |")
        print("|---|---|---|---|---|")
        for name, _ in ways:
            if not name.endswith("tolvik_arrays"):
                continue
            best, median = best_and_median(samples[name])
            ratio = best / arrays_base
            target = ""
            if name.startswith("ThreadPoolExecutor"):
                verdict = "met" if ratio <= THREADS_TARGET else "MISSED"
                target = f"<= {THREADS_TARGET:g}" + (f": {verdict}" if k == 2 else
                                                     " (for 2 workers)")
            print(f"| {name} | {best:.3f} | {median:.3f} | {ratio:.2f} | {target} |")
    else:
        print(f"\nno tolvik_arrays ({ARRAYS_MISSING}): its rows are left out")
    print(
        "\nstart-up, with a first pass over the files: "
        + ", ".join(f"{name} {seconds:.2f} s" for name, seconds in startup.items())
    )

    print(
        f"pure-Python loop of the same serial time (calibration): serial "
        f"{min(spun['serial']):.3f} s, ProcessPoolExecutor({k}) {min(spun['processes']):.3f} s,"
        f" {min(spun['processes']) / min(spun['serial']):.2f} of serial"
    )

    print(f"\nInside one read, mean over {len(inside['serial loop'])} calls:\n")
    print("| where | wall s | user s | system s | wall / (user + system) |")
    print("|---|---|---|---|---|")
    for name, calls in inside.items():
        wall, user, system = (statistics.fmean(c[i] for c in calls) for i in range(3))
        # CPU time is counted in clock ticks: a tiny file can show none.
        share = f"{wall / (user + system):.2f}" if user + system else "-"
        print(f"| {name} | {wall:.4f} | {user:.4f} | {system:.4f} | {share} |")

    print(
        f"\nSending one file's result back ({os.path.basename(paths[0])}), best of {args.rounds};"
        " / read: over the read that made what is sent:\n"
    )
    print("| step | best s | / read | MB |")
    print("|---|---|---|---|")
    for name, seconds, ratio, size in sending_back(paths[0], width, args.rounds):
        print(
            f"| {name} | {seconds:.4f} | {ratio:.2f} | {size:.2f} |"
            if size
            else f"| {name} | {seconds:.4f} | {ratio:.2f} | |"
        )
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
