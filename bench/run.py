"""Benchmark tolvik against the readers a Python user would otherwise write.

    python bench/run.py [--quick] [--workload NAME ...] [--instructions] [--json OUT.json]
                        [--plot OUT.png] [--clock wall|cpu] [--data-dir DIR]

Needs tolvik importable (installed, or its build folder on PYTHONPATH) and
numpy; pandas and polars (bench/requirements.txt) are peers that may be
missing, as may tolvik_arrays: such a reader is reported as not installed and
skipped. The plot
files are generated on first use into DIR (default: <temp dir>/tolvik-bench),
never into the repository.

For each workload it
1. reads the file with tolvik: the reference values and the size of the
   returned lists (list objects plus float objects, by sys.getsizeof, and as
   allocated: the small-object allocator puts each 24-byte float in a 32-byte
   block; peak memory is compared with the allocated size, which the
   .tolist() floor meets);
2. runs every reader once on the whole file in a fresh interpreter: the first
   call of a process, the allocator cold. It measures the call's time
   ("cold") and peak memory (resident set high-water mark, reset just before
   the call), and checks its result against the reference bit for bit (a
   difference of one unit in the last place of a 32-bit float, from a
   baseline's double rounding, is allowed and counted; none is for the
   readers that return arrays, whose values are tolvik's); tolvik, the
   readers that return arrays and the floors get two more such processes,
   and their best cold time counts;
3. times the readers in this process, the allocator warm, interleaved: each
   round calls every reader, in an order rotated from round to round; a
   reader's first call in a round is not timed, so that every timed call
   follows the reader's own previous call with its result released, whatever
   ran before; the best round counts. Slow readers get fewer rounds (a time
   budget per reader); with --quick, and for the slowest reader on the wide
   workload, a sample (the first blocks of the file) is timed and scaled to
   the whole file: such rows are marked.

The allocator warm: CPython's small-object allocator gives every emptied
1 MiB arena back to the kernel, so each call would take the floats of its
result from fresh pages again, and how many depends on what the process did
before (in a long-running process a few objects that outlive each call keep
most arenas). The run holds them on purpose: while a workload is timed, one
float in every few thousand of tolvik's first result stays alive (see
hold_arenas), so every timed call reuses memory the process already has,
whatever the order of the workloads. The C library's own large blocks (the
lists' item arrays, the readers' buffers) may still come from fresh pages:
the minor page faults per value of the timed calls are shown.

Two readers return float32 arrays rather than lists: tolvik_arrays.read_plot
(a Plot of a (blocks,) and an (n - 1, blocks) array, the same reader as tolvik)
and "tolvik + np.array", tolvik's lists made into the same two arrays by
numpy.array(..., dtype=float32), the lists dropped inside the call. Their peak
memory is compared with the arrays' bytes (4 per value), not with the lists.

The limit is what a reader returning lists cannot go below: the .tolist()
floor plus the read-bytes floor, their best times in the same run. The targets
(TARGETS below), evaluated on every workload they name: tolvik at most 1.2x
the limit; every peer at least 4x tolvik's time at widths 12 and 15; tolvik's
peak memory at most 1.25x the returned lists; with --instructions (needs
valgrind), bench/instructions.py's instruction counts per value, at most 40
at widths 12 and 15 and 60 on the wide file. For tolvik_arrays, at widths 12
and 15: at least 3x faster than tolvik, at least 6x faster than "tolvik +
np.array", at most 2.5x the read-bytes floor, and its peak memory at most 1.25x
the arrays it returns. The time ratios from the cold calls are shown too, with
no target.

Times are wall clock by default; --clock cpu shows this process's CPU time
instead, steadier when other work shares the machine (the JSON has both; polars
parses on every core, so its CPU time can exceed its wall time).
It prints one table per workload (best, median and cold seconds, MB/s, ns per
value, peak MB, peak over the size of the lists or arrays returned, time
relative to tolvik), then the targets of each workload. --plot draws the ns per value of every
reader and floor, one panel per workload, with the limit and tolvik_arrays'
bound (2.5x the read-bytes floor), into a PNG (needs matplotlib). No assertion:
the numbers are for reading.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import baselines  # noqa: E402
import generate  # noqa: E402
import instructions  # noqa: E402

SEED = 1


@dataclass
class Workload:
    name: str
    params: int
    blocks: int
    width: int
    # Readers timed on the first `blocks` blocks only, scaled to the whole file.
    sampled: dict[str, int] = field(default_factory=dict)


@dataclass
class Reader:
    name: str
    kind: str  # "reader" (returns lists), "arrays" (returns float32 arrays) or "floor"
    note: str
    needs: str | None = None  # a module that may be missing: then not run


READERS = [
    Reader("tolvik", "reader", "tolvik.rust_read_tarvelo"),
    Reader("tolvik_arrays", "arrays", "tolvik_arrays.read_plot", "tolvik_arrays"),
    Reader("tolvik + np.array", "arrays", "tolvik.rust_read_tarvelo, then numpy.array(times),"
           " numpy.array(columns), dtype float32"),
    Reader("numpy", "reader", "byte fields, astype(float32), .tolist()"),
    Reader("pure-python", "reader", "readline, slicing, float(), array('f')"),
    Reader("pandas.read_fwf", "reader", "read_fwf, reshape, astype(float32), .tolist()",
           "pandas"),
    Reader("polars", "reader", "read_csv as one string column, str.slice, cast(Float32),"
           " to_list()", "polars"),
    Reader("floor: .tolist()", "floor", "lists from a float32 array in memory"),
    Reader("floor: read bytes", "floor", "readinto a reused 1 MiB buffer"),
]
(TOLVIK, ARRAYS, LISTS_TO_NUMPY, NUMPY, PURE, PANDAS, POLARS, FLOOR_TOLIST,
 FLOOR_READ) = (r.name for r in READERS)
PEERS = [r.name for r in READERS if r.kind == "reader" and r.name != TOLVIK]

# 25 parameters x 100,000 blocks is the shape the figures were taken on.
FULL = [
    Workload("w12", 25, 100_000, 12),
    Workload("w15", 25, 100_000, 15),
    Workload("wide", 120, 20_000, 12, {PANDAS: 5_000}),
    Workload("small", 25, 1_000, 12),
]
QUICK = [
    Workload("w12", 25, 20_000, 12, {PANDAS: 5_000}),
    Workload("w15", 25, 20_000, 15, {PANDAS: 5_000}),
    Workload("wide", 120, 2_000, 12, {PANDAS: 500}),
    Workload("small", 25, 1_000, 12),
]

# Targets: (what is compared, op, bound, the workloads it applies to). "limit"
# is tolvik's best time over the limit's; "peer" stands for each peer, its
# best time over tolvik's; "memory" is tolvik's peak over the lists' size;
# "instructions" the per-value count of bench/instructions.py, whose
# workloads carry their own bounds (the widths 12 and 15: 40, wide: 60).
# tolvik_arrays': "arrays vs lists" is tolvik's best time over its own,
# "arrays vs conversion" that of "tolvik + np.array" over its own, "arrays vs
# read" its own over the read-bytes floor's, "arrays memory" its peak over the
# arrays' bytes.
ALL = ("w12", "w15", "wide", "small")
TARGETS = [
    ("limit", "<=", 1.2, ALL),
    ("peer", ">=", 4.0, ("w12", "w15")),
    ("memory", "<=", 1.25, ALL),
    ("arrays vs lists", ">=", 3.0, ("w12", "w15")),
    ("arrays vs conversion", ">=", 6.0, ("w12", "w15")),
    ("arrays vs read", "<=", 2.5, ("w12", "w15")),
    ("arrays memory", "<=", 1.25, ("w12", "w15")),
]
# Fresh processes whose one call gives the cold time of these readers (the
# best of them; the first also gives the peak memory and the check).
COLD_RUNS = 3
COLD_BEST_OF = (TOLVIK, ARRAYS, LISTS_TO_NUMPY, FLOOR_TOLIST, FLOOR_READ)
NO_DUMP = "-"  # the child's result is not kept for the check
# Peak memory of a call whose lists are smaller than this is mostly memory the
# allocator already held.
MEMORY_MEANINGFUL = 8e6
# The same for arrays smaller than this: the C library's allocator gives blocks
# below its mapping threshold (128 KiB in a fresh process) from its heap, whose
# pages may already be resident; larger ones are pages mapped for the call.
ARRAYS_MEMORY_MEANINGFUL = 1e6


def installed(reader: Reader) -> bool:
    return reader.needs is None or importlib.util.find_spec(reader.needs) is not None


# --------------------------------------------------------------------------
# Readers by name, as called in the timing loop and in the child process.


def make_call(reader: str, path: str, width: int, values_npy: str | None):
    """A no-argument callable that runs `reader` on the file once."""
    if reader == TOLVIK:
        import tolvik

        return lambda: tolvik.rust_read_tarvelo(path, width)
    if reader == ARRAYS:
        import tolvik_arrays

        return lambda: tolvik_arrays.read_plot(path, width)
    if reader == LISTS_TO_NUMPY:
        return lambda: baselines.read_lists_to_numpy(path, width)
    if reader == NUMPY:
        return lambda: baselines.read_numpy(path, width)
    if reader == PURE:
        return lambda: baselines.read_pure_python(path, width)
    if reader == PANDAS:
        return lambda: baselines.read_pandas(path, width)
    if reader == POLARS:
        return lambda: baselines.read_polars(path, width)
    if reader == FLOOR_TOLIST:
        import numpy as np

        values = np.load(values_npy)
        return lambda: baselines.floor_tolist(values)
    if reader == FLOOR_READ:
        return lambda: baselines.floor_read_bytes(path, width)
    raise ValueError(f"unknown reader {reader!r}")


def preload(reader: str) -> None:
    """Import what the reader imports lazily, so no call pays for it."""
    if reader in (NUMPY, FLOOR_TOLIST, LISTS_TO_NUMPY):
        import numpy  # noqa: F401
    if reader == ARRAYS:
        import tolvik_arrays  # noqa: F401
    if reader == PANDAS:
        import pandas  # noqa: F401
    if reader == POLARS:
        import polars  # noqa: F401


def arrays_of(reader: str, result):
    """(times, values) of the result of a reader that returns arrays."""
    return (result.times, result.values) if reader == ARRAYS else result


# --------------------------------------------------------------------------
# Child process: one call, its peak memory, its result dumped for the check.


def memory_status() -> dict[str, int]:
    status = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                status[key] = int(rest.split()[0]) * 1024
    return status


def reset_peak() -> bool:
    """Reset the resident high-water mark to the current size (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child_main(reader: str, path: str, width: int, values_npy: str, dump: str) -> None:
    import resource

    preload(reader)
    call = make_call(reader, path, width, values_npy if reader == FLOOR_TOLIST else None)
    gc.collect()
    exact_peak = reset_peak()
    before = memory_status()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    start, start_cpu = time.perf_counter(), time.process_time()
    result = call()
    cpu = time.process_time() - start_cpu
    seconds = time.perf_counter() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - usage.ru_minflt
    after = memory_status()
    if exact_peak:
        peak = after["VmHWM"] - before["VmRSS"]
    else:  # the high-water mark of the whole process: setup included
        peak = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - usage.ru_maxrss) * 1024
    report = {"seconds": seconds, "cpu_seconds": cpu, "faults": faults, "peak_bytes": peak,
              "exact_peak": exact_peak, "rss_before": before["VmRSS"]}
    if reader in (ARRAYS, LISTS_TO_NUMPY):
        import numpy as np

        times, values = arrays_of(reader, result)
        report["shape_ok"] = (
            isinstance(times, np.ndarray) and isinstance(values, np.ndarray)
            and times.ndim == 1 and values.ndim == 2 and values.shape[1] == len(times)
            and values.flags.c_contiguous
            and (reader != ARRAYS or (len(result.names) == len(values) + 1
                                      and all(type(n) is str for n in result.names))))
        report["types_ok"] = times.dtype == np.float32 and values.dtype == np.float32
        if report["shape_ok"] and dump != NO_DUMP:
            np.save(dump, np.vstack([times[np.newaxis], values]).astype(np.float64))
    elif isinstance(result, tuple) and reader not in (FLOOR_TOLIST, FLOOR_READ):
        import numpy as np

        times, columns = result
        report["shape_ok"] = isinstance(times, list) and isinstance(columns, list) and all(
            isinstance(c, list) and len(c) == len(times) for c in columns
        )
        report["types_ok"] = all(type(x) is float for x in times) and all(
            type(x) is float for c in columns for x in c
        )
        if report["shape_ok"] and dump != NO_DUMP:
            np.save(dump, np.array([times, *columns], dtype=np.float64))
    print(json.dumps(report))


# --------------------------------------------------------------------------
# Parent: files, reference, checks, timing, table.


def file_for(data_dir: str, w: Workload, blocks: int | None = None) -> str:
    blocks = w.blocks if blocks is None else blocks
    name = f"plot-p{w.params}-b{blocks}-w{w.width}-s{SEED}-g{generate.GENERATOR_VERSION}.plt"
    return os.path.join(data_dir, name)


def ensure_file(data_dir: str, w: Workload) -> str:
    path = file_for(data_dir, w)
    if not os.path.exists(path):
        start = time.perf_counter()
        print(f"  generating {os.path.basename(path)} ...", end="", flush=True)
        generate.generate(path, w.params, w.blocks, w.width, SEED)
        print(f" {os.path.getsize(path) / 1e6:.1f} MB in {time.perf_counter() - start:.1f} s")
    return path


def ensure_sample(data_dir: str, w: Workload, full_path: str, blocks: int) -> str:
    """The header and first `blocks` blocks of the workload's file."""
    path = file_for(data_dir, w, blocks).replace(".plt", f"-of{w.blocks}.plt")
    if not os.path.exists(path):
        lines = 1 + w.params + blocks * (1 + baselines.data_lines_per_block(w.params))
        tmp = f"{path}.tmp{os.getpid()}"
        with open(full_path, "rb") as src, open(tmp, "wb") as out:
            for _ in range(lines):
                out.write(src.readline())
        os.replace(tmp, path)
    return path


def block_size(nbytes: int) -> int:
    """Memory the interpreter's small-object allocator takes for an object of
    `nbytes`: blocks are multiples of 16 bytes up to 512 bytes."""
    return -(-nbytes // 16) * 16 if nbytes <= 512 else nbytes


def hold_arenas(result, params: int) -> list[float]:
    """Floats of a result to keep alive while the readers are timed: an arena
    of the small-object allocator (about 32,000 floats) goes back to the
    kernel only when all of it is free, so with one of these in each, the
    arenas of the released result stay for the next call. Every
    (8192 // params)-th value of each column: at most about 8,000 floats apart
    in the order of creation, whether a reader creates them column by column or
    block by block."""
    times, columns = result
    step = max(1, 8192 // params)
    return [column[i] for column in (times, *columns) for i in range(0, len(column), step)]


def lists_bytes(result) -> tuple[int, int]:
    """Bytes of the returned objects, the tuple, the lists and every float:
    by sys.getsizeof, and as allocated (a 24-byte float takes a 32-byte
    block, so 40 rather than 32 bytes per value with its list slot)."""
    times, columns = result
    containers = [result, times, columns, *columns]
    count = len(times) + sum(len(c) for c in columns)
    size = sum(sys.getsizeof(c) for c in containers)
    allocated = sum(block_size(sys.getsizeof(c)) for c in containers)
    return (size + count * sys.getsizeof(0.0),
            allocated + count * block_size(sys.getsizeof(0.0)))


def compare(reference, got, allowed_ulp: int = 1) -> dict:
    """Bit-for-bit comparison of (n, blocks) float64 arrays; differences are
    measured in units in the last place of a 32-bit float, and up to
    `allowed_ulp` of them pass."""
    import numpy as np

    if got.shape != reference.shape:
        return {"ok": False, "why": f"shape {got.shape} != {reference.shape}"}
    differ = reference.view(np.uint64) != got.view(np.uint64)
    count = int(differ.sum())
    out = {"ok": True, "mismatches": count, "max_ulp": 0}
    if count:
        a, b = reference[differ], got[differ]
        narrow = b.astype(np.float32)
        if not np.array_equal(narrow.astype(np.float64), b, equal_nan=True):
            return {"ok": False, "why": "values that are not 32-bit floats", **out}
        ia = a.astype(np.float32).view(np.int32).astype(np.int64)
        ib = narrow.view(np.int32).astype(np.int64)
        same_sign = (ia < 0) == (ib < 0)
        ulp = np.where(same_sign, np.abs(ia - ib), 1 << 31)
        out["max_ulp"] = int(ulp.max())
        out["ok"] = out["max_ulp"] <= allowed_ulp
        if not out["ok"]:
            out["why"] = f"{count} values differ, up to {out['max_ulp']} ulp"
    return out


def run_child(reader: str, path: str, width: int, values_npy: str, dump: str) -> dict:
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", reader, path, str(width),
         values_npy, dump],
        capture_output=True, text=True,
    )
    if done.returncode != 0:
        raise RuntimeError(f"{reader} failed in its own process:\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def time_calls(call, loops: int) -> tuple[float, float, float]:
    """Wall-clock and CPU seconds and minor page faults per call over `loops`
    calls, after one untimed call: each timed call follows a call of the same
    reader whose result was released (the allocator warm). Freeing a result
    is not timed."""
    import resource

    call()
    gc.collect()
    wall = cpu = 0.0
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(loops):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = call()
        cpu += time.process_time() - start_cpu
        wall += time.perf_counter() - start
        del result
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return wall / loops, cpu / loops, faults / loops


def fmt_mb(n: float | None) -> str:
    return "-" if n is None else f"{n / 1e6:.1f}"


def run_workload(w: Workload, data_dir: str, work_dir: str, quick: bool, clock: str) -> dict:
    import numpy as np
    import tolvik

    path = ensure_file(data_dir, w)
    size = os.path.getsize(path)
    values = w.params * w.blocks

    reference_result = tolvik.rust_read_tarvelo(path, w.width)
    list_size, list_allocated = lists_bytes(reference_result)
    reference = np.array([reference_result[0], *reference_result[1]], dtype=np.float64)
    held = hold_arenas(reference_result, w.params)
    del reference_result
    values_npy = os.path.join(work_dir, f"{w.name}.f32.npy")
    np.save(values_npy, reference.astype(np.float32))
    arrays_bytes = reference.size * np.dtype(np.float32).itemsize

    # Per reader: the file it reads, the share of the values that file holds.
    plans = {}
    for r in READERS:
        sample = w.sampled.get(r.name)
        if sample and sample < w.blocks:
            plans[r.name] = (ensure_sample(data_dir, w, path, sample), sample)
        else:
            plans[r.name] = (path, w.blocks)

    # Fresh process per reader, on the whole file: the cold call, its peak
    # memory and the check.
    results = {}
    for r in READERS:
        if not installed(r):
            results[r.name] = {"skipped": "not installed"}
            continue
        rpath, rblocks = plans[r.name]
        dump = os.path.join(work_dir, f"{w.name}-result.npy")
        child = run_child(r.name, path, w.width, values_npy, dump)
        entry = {"file": rpath, "blocks": rblocks, "child_seconds": child["seconds"],
                 "cold": child[{"wall": "seconds", "cpu": "cpu_seconds"}[clock]],
                 "cold_faults": child["faults"], "cold_runs": 1,
                 "peak_bytes": child["peak_bytes"], "exact_peak": child["exact_peak"]}
        if r.name in COLD_BEST_OF:
            for _ in range(COLD_RUNS - 1):
                again = run_child(r.name, path, w.width, values_npy, NO_DUMP)
                again_cold = again[{"wall": "seconds", "cpu": "cpu_seconds"}[clock]]
                if again_cold < entry["cold"]:
                    entry["cold"], entry["cold_faults"] = again_cold, again["faults"]
                entry["cold_runs"] += 1
        if r.kind in ("reader", "arrays"):
            if not (child.get("shape_ok") and child.get("types_ok")):
                entry["check"] = {"ok": False, "why": "not a list of floats and lists of floats"
                                  if r.kind == "reader" else "not float32 arrays of the shapes"
                                  " (blocks,) and (n - 1, blocks)"}
            else:
                # The arrays hold tolvik's own values: no difference passes.
                entry["check"] = compare(reference, np.load(dump),
                                         allowed_ulp=0 if r.kind == "arrays" else 1)
                os.remove(dump)
        results[r.name] = entry
        check = entry.get("check")
        if check is not None and not check["ok"]:
            print(f"  CHECK FAILED {r.name}: {check['why']}: not timed")

    # Interleaved timing.
    budget = 1.5 if quick else 20.0
    max_reps = 3 if quick else 5
    calls = {}
    for r in READERS:
        entry = results[r.name]
        if "skipped" in entry or ("check" in entry and not entry["check"]["ok"]):
            continue
        preload(r.name)
        rpath, _ = plans[r.name]
        estimate = max(entry["child_seconds"] * entry["blocks"] / w.blocks, 1e-6)
        entry["loops"] = max(1, min(1000, int(0.2 / estimate)))
        # A round costs loops + 1 calls (the first is not timed). At least two
        # rounds, unless one is already most of the budget.
        round_cost = estimate * (entry["loops"] + 1)
        least = 1 if round_cost > 0.75 * budget else 2
        entry["reps"] = max(least, min(max_reps, int(budget / round_cost)))
        entry["wall_seconds"], entry["cpu_seconds"], entry["faults"] = [], [], []
        calls[r.name] = make_call(r.name, rpath, w.width, values_npy)
    names = list(calls)
    for round_no in range(max(results[n]["reps"] for n in names)):
        shift = round_no % len(names)
        for name in names[shift:] + names[:shift]:
            entry = results[name]
            if len(entry["wall_seconds"]) < entry["reps"]:
                gc.collect()
                wall, cpu, faults = time_calls(calls[name], entry["loops"])
                entry["wall_seconds"].append(wall)
                entry["cpu_seconds"].append(cpu)
                entry["faults"].append(faults)
    calls.clear()
    del held
    gc.collect()

    for name, entry in results.items():
        if not entry.get("wall_seconds"):
            continue
        entry["seconds"] = entry[f"{clock}_seconds"]
        scale = w.blocks / entry["blocks"]
        entry["scaled"] = scale != 1
        entry["best"] = min(entry["seconds"]) * scale
        entry["median"] = statistics.median(entry["seconds"]) * scale
        entry["faults_per_value"] = min(entry["faults"]) / (w.params * entry["blocks"])
    wl = {"name": w.name, "clock": clock, "params": w.params, "blocks": w.blocks,
          "width": w.width, "path": path, "bytes": size, "values": values,
          "lists_bytes": list_size,
          "lists_allocated_bytes": list_allocated, "arrays_bytes": arrays_bytes,
          "readers": results}
    wl["limit"] = limit_of(wl, "best")
    wl["limit_cold"] = limit_of(wl, "cold")
    return wl


def limit_of(wl: dict, key: str) -> float | None:
    """The limit: the .tolist() floor plus the read-bytes floor, from their
    `key` times ("best": warm, "cold": first call in a fresh process)."""
    parts = [wl["readers"][name].get(key) for name in (FLOOR_TOLIST, FLOOR_READ)]
    return None if None in parts else sum(parts)


def ns_per_value(seconds: float | None, values: int) -> str:
    return "-" if seconds is None else f"{seconds / values * 1e9:.1f}"


def returned_bytes(wl: dict, reader: Reader) -> int:
    """What a reader's peak memory is compared with: the arrays' bytes for a
    reader that returns arrays, the lists as allocated for the others."""
    return wl["arrays_bytes"] if reader.kind == "arrays" else wl["lists_allocated_bytes"]


def print_table(wl: dict) -> None:
    res = wl["readers"]
    base = res[TOLVIK].get("best")
    print(f"\n{wl['name']} ({wl['clock']} clock): {wl['params']} parameters x "
          f"{wl['blocks']:,} blocks, width {wl['width']}: {wl['bytes'] / 1e6:.1f} MB, "
          f"{wl['values']:,} values; returned "
          f"lists {wl['lists_allocated_bytes'] / 1e6:.1f} MB as allocated, "
          f"{wl['lists_allocated_bytes'] / wl['values']:.1f} B/value (by sys.getsizeof "
          f"{wl['lists_bytes'] / wl['values']:.1f}); arrays {wl['arrays_bytes'] / 1e6:.1f} MB")
    other = "wall" if wl["clock"] == "cpu" else "cpu"
    head = (f"  {'reader':<19}{'best s':>10}{'median s':>10}{other + ' s':>9}{'cold s':>9}"
            f"{'reps':>8}{'MB/s':>8}{'ns/value':>10}{'peak MB':>9}{'peak/result':>12}"
            f"{'vs tolvik':>10}  check")
    print(head)
    print("  " + "-" * (len(head) - 2))
    for r in READERS:
        e = res[r.name]
        if "skipped" in e:
            print(f"  {r.name:<19}{e['skipped']:>19}  ({r.needs} missing: skipped)")
            continue
        check = e.get("check")
        if check is None:
            ctext = "-"
        elif not check["ok"]:
            ctext = "FAILED: " + check["why"]
        elif check["mismatches"]:
            ctext = f"{check['mismatches']} within 1 ulp"
        else:
            ctext = "exact"
        if "best" not in e:
            print(f"  {r.name:<19}{'not timed':>10}  {ctext}")
            continue
        mark = "~" if e["scaled"] else " "
        reps = f"{len(e['seconds'])}" + (f"x{e['loops']}" if e["loops"] > 1 else "")
        peak = e["peak_bytes"]
        ratio = f"{peak / returned_bytes(wl, r):.2f}" if peak is not None else "-"
        vs = f"{e['best'] / base:.2f}" if base else "-"
        other_best = min(e[f"{other}_seconds"]) * wl["blocks"] / e["blocks"]
        print(f"  {r.name:<19}{e['best']:>9.4f}{mark}{e['median']:>10.4f}{other_best:>9.4f}"
              f"{e['cold']:>9.4f}{reps:>8}{wl['bytes'] / e['best'] / 1e6:>8.0f}"
              f"{e['best'] / wl['values'] * 1e9:>10.1f}"
              f"{fmt_mb(peak):>9}{ratio:>12}{vs:>10}  {ctext}")
    sampled = [f"{r.name} on the first {res[r.name]['blocks']:,} blocks"
               for r in READERS if res[r.name].get("scaled")]
    if sampled:
        print("  ~ timed on a sample, scaled to the whole file: " + "; ".join(sampled)
              + " (checked, cold time and peak memory measured on the whole file)")
    print("  peak/result: peak memory over the lists as allocated, or over the arrays'"
          " bytes for the readers that return arrays")
    if wl["lists_allocated_bytes"] < MEMORY_MEANINGFUL:
        print("  peak memory of a call returning lists this small is mostly memory the"
              " allocator already held: not meaningful")
    if wl["arrays_bytes"] < ARRAYS_MEMORY_MEANINGFUL:
        print("  peak memory of a call returning arrays this small may be memory the C"
              " library's allocator already held: not meaningful")
    limit, cold = wl["limit"], wl["limit_cold"]
    if limit:
        line = f"  limit (.tolist() floor + read-bytes floor): {ns_per_value(limit, wl['values'])}" \
               f" ns/value warm, {ns_per_value(cold, wl['values'])} cold"
        if base:
            line += f"; tolvik / limit {base / limit:.2f} warm"
        if cold and res[TOLVIK].get("cold"):
            line += f", {res[TOLVIK]['cold'] / cold:.2f} cold"
        print(line)
    faults = [f"{name} {res[name]['faults_per_value'] * 1000:.1f}"
              for name in (TOLVIK, ARRAYS, FLOOR_TOLIST) if "faults_per_value" in res[name]]
    if faults:
        print("  minor page faults per 1,000 values in a timed call: " + ", ".join(faults))


def target_rows(wl: dict, counts: dict | None) -> list[dict]:
    """Every target that applies to the workload, and the time ratios from the
    cold calls (no bound); `counts` is the workload's row of
    bench/instructions.py, if it was measured."""
    res = wl["readers"]
    tolvik = res[TOLVIK]
    arrays = res[ARRAYS]

    def unmeasured(*entries: dict) -> str | None:
        for e in entries:
            if "skipped" in e or "best" not in e:
                return e.get("skipped") or "not timed"
        return None

    def ratio(a: float | None, b: float | None) -> float | None:
        return a / b if a and b else None

    rows = []
    for kind, op, bound, where in TARGETS:
        applies = wl["name"] in where
        if kind == "limit":
            rows.append(("tolvik / limit", ratio(tolvik.get("best"), wl["limit"]), op, bound,
                         None))
            rows.append(("tolvik / limit, cold", ratio(tolvik.get("cold"), wl["limit_cold"]),
                         op, None, None))
        elif kind == "peer":
            for name in PEERS:
                note = res[name].get("skipped") or (
                    "not timed" if "best" not in res[name] else None)
                rows.append((f"{name} / tolvik", ratio(res[name].get("best"), tolvik.get("best")),
                             op, bound if applies else None, note))
        elif kind == "memory":
            peak = tolvik.get("peak_bytes")
            small = wl["lists_allocated_bytes"] < MEMORY_MEANINGFUL
            rows.append(("tolvik peak memory / lists",
                         None if peak is None else peak / wl["lists_allocated_bytes"], op,
                         bound, "too small to measure" if small else None))
        elif kind == "arrays memory":
            peak = arrays.get("peak_bytes")
            rows.append((f"{ARRAYS} peak memory / arrays",
                         None if peak is None else peak / wl["arrays_bytes"], op,
                         bound if applies else None, unmeasured(arrays) or (
                             "too small to measure"
                             if wl["arrays_bytes"] < ARRAYS_MEMORY_MEANINGFUL else None)))
        elif kind.startswith("arrays"):
            # The readers whose times are divided, warm and cold.
            slower, faster = {
                "arrays vs lists": (TOLVIK, ARRAYS),
                "arrays vs conversion": (LISTS_TO_NUMPY, ARRAYS),
                "arrays vs read": (ARRAYS, FLOOR_READ),
            }[kind]
            a, b = res[slower], res[faster]
            what = f"{slower} / {faster}".replace(FLOOR_READ, "read-bytes floor")
            rows.append((what, ratio(a.get("best"), b.get("best")), op,
                         bound if applies else None, unmeasured(a, b)))
            rows.append((f"{what}, cold", ratio(a.get("cold"), b.get("cold")), op, None,
                         unmeasured(a, b)))
    if counts is not None:
        rows.append(("instructions per value", counts["total"], "<=", counts["target"], None))
    out = []
    for what, value, op, bound, note in rows:
        met = None
        if value is not None and bound is not None and note is None:
            met = value <= bound if op == "<=" else value >= bound
        out.append({"what": what, "value": value, "op": op, "bound": bound, "met": met,
                    "note": note})
    return out


def print_targets(name: str, rows: list[dict]) -> None:
    print(f"  {name}")
    width = max(30, *(len(t["what"]) + 2 for t in rows))
    for t in rows:
        value = "-" if t["value"] is None else f"{t['value']:.2f}"
        target = "(no target)" if t["bound"] is None else f"(target {t['op']} {t['bound']:g})"
        if t["met"] is not None:
            verdict = "met" if t["met"] else "MISSED"
        else:
            verdict = t["note"] or ""
        print(f"    {t['what']:<{width}}{value:>8}  {target:<17} {verdict}")


def measure_instructions(data_dir: str, names: list[str]) -> dict[str, dict]:
    """bench/instructions.py's counts of the named workloads, by name."""
    return {row["name"]: row for row in instructions.measure(data_dir, names=names)}


def draw_plot(workloads: list[dict], env: dict, clock: str, out: str) -> None:
    """A horizontal bar chart per workload: ns per value of every timed reader
    and floor on a log scale, each bar labelled with its value and its time
    relative to tolvik; a dashed line marks the limit, a band the target
    (tolvik within 1.2x the limit), a dotted line tolvik_arrays' bound (2.5x the
    read-bytes floor) where that target applies."""
    import math

    import matplotlib

    matplotlib.use("Agg")  # into a file; no display needed
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    colour = {TOLVIK: "#c0392b", ARRAYS: "#e08e0b", "reader": "#5d7fa3", "arrays": "#b7950b",
              "floor": "#a6a6a6"}
    figure, axes = plt.subplots(len(workloads), 1, figsize=(9.5, 0.9 + 3.0 * len(workloads)),
                                squeeze=False)
    limit_bound = next(bound for kind, _, bound, _ in TARGETS if kind == "limit")
    read_bound, read_where = next((bound, where) for kind, _, bound, where in TARGETS
                                  if kind == "arrays vs read")
    sampled, untimed, missing = False, [], []
    for ax, wl in zip(axes[:, 0], workloads):
        res = wl["readers"]
        rows = [r for r in READERS if "best" in res[r.name]]
        untimed += [f"{r.name} on {wl['name']}" for r in READERS
                    if "best" not in res[r.name] and "skipped" not in res[r.name]]
        missing += [r.name for r in READERS if "skipped" in res[r.name] and r.name not in missing]
        ns = [res[r.name]["best"] / wl["values"] * 1e9 for r in rows]
        base = res[TOLVIK].get("best")
        ax.barh(range(len(rows)), ns, height=0.65,
                color=[colour.get(r.name, colour[r.kind]) for r in rows])
        ax.set_xscale("log")
        low = 10 ** math.floor(math.log10(min(ns) * 0.8))
        ax.set_xlim(low, max(ns) * 25)  # room for the labels right of the longest bar
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        if wl["limit"]:
            limit = wl["limit"] / wl["values"] * 1e9
            ax.axvspan(limit, limit * limit_bound, color="#c0392b", alpha=0.12, linewidth=0)
            ax.axvline(limit, color="#555555", linestyle="--", linewidth=0.9)
            right = f"- - limit {limit:.1f} ns"
            if "best" in res[ARRAYS] and wl["name"] in read_where:
                bound = read_bound * res[FLOOR_READ]["best"] / wl["values"] * 1e9
                ax.axvline(bound, color=colour[ARRAYS], linestyle=":", linewidth=1.2)
                right += f"   \u00b7\u00b7\u00b7 {ARRAYS} bound {bound:.1f} ns"
            ax.set_title(right, fontsize=8, loc="right", color="#555555")
        ax.set_yticks(range(len(rows)),
                      [r.name + (" ~" if res[r.name]["scaled"] else "") for r in rows])
        ax.invert_yaxis()
        for y, (r, value) in enumerate(zip(rows, ns)):
            label = f" {value:.1f} ns"
            if base and r.name != TOLVIK:
                label += f"   {res[r.name]['best'] / base:.2f}x tolvik"
            ax.text(value, y, label, va="center", fontsize=8)
        sampled = sampled or any(res[r.name]["scaled"] for r in rows)
        ax.set_title(f"{wl['name']}: {wl['params']} parameters x {wl['blocks']:,} blocks, width "
                     f"{wl['width']} ({wl['bytes'] / 1e6:.3g} MB, {wl['values']:,} values)",
                     fontsize=9.5, loc="left")
        ax.grid(axis="x", which="major", linewidth=0.5, alpha=0.5)
        ax.tick_params(labelsize=8.5)
        ax.set_axisbelow(True)
    note = (f"ns per value: best {clock}-clock time of a call / values in the file, log scale\n"
            f"limit: .tolist() floor + read-bytes floor; band: up to {limit_bound:g}x the limit\n"
            f"{ARRAYS} bound: {read_bound:g}x the read-bytes floor (on {', '.join(read_where)})\n"
            f"CPython {env['python']}, numpy {env['numpy']}, pandas {env['pandas']}, "
            f"polars {env['polars']}; {env['cpu']} ({env.get('vector', 'vector unknown')}), "
            f"{env['cpus']} CPUs")
    if sampled:
        note += "\n~ timed on the first blocks of the file, scaled to the whole file"
    if untimed:
        note += "\nnot timed, its result differed: " + ", ".join(untimed)
    if missing:
        note += "\nnot installed: " + ", ".join(missing)
    axes[-1, 0].set_xlabel(note, fontsize=7.5, loc="left")
    figure.tight_layout()
    figure.savefig(out, dpi=100)
    plt.close(figure)


def version(module: str) -> str:
    if importlib.util.find_spec(module) is None:
        return "not installed"
    return importlib.import_module(module).__version__


def environment() -> dict:
    import numpy
    import tolvik

    arrays_found = importlib.util.find_spec("tolvik_arrays")
    arrays_file = arrays_found.origin if arrays_found is not None else "not installed"
    cpu = platform.processor()
    flags: set[str] = set()
    try:
        with open("/proc/cpuinfo") as f:
            info = f.read().splitlines()
        cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
        flags = set(next(line.split(":", 1)[1] for line in info if line.startswith("flags")).split())
    except (OSError, StopIteration):
        pass
    # The widest vector instructions the processor offers, of those the
    # module's kernels use (which kernel it runs follows from them).
    if {"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512vbmi"} <= flags:
        vector = "AVX-512 with VBMI"
    elif "avx512f" in flags:
        vector = "AVX-512 without VBMI, AVX2"
    elif "avx2" in flags:
        vector = "AVX2"
    else:
        vector = "no AVX2" if flags else "unknown"
    return {
        "python": sys.version.split()[0], "executable": sys.executable,
        "numpy": numpy.__version__, "pandas": version("pandas"), "polars": version("polars"),
        # CPython's own small-object allocator unless PYTHONMALLOC says otherwise.
        "allocator": os.environ.get("PYTHONMALLOC", "pymalloc"),
        "tolvik": tolvik.__file__, "tolvik_arrays": arrays_file, "cpu": cpu, "vector": vector,
        "cpus": os.cpu_count(),
        "load_average": os.getloadavg(),
        "openblas_env": {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")},
    }


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        reader, path, width, values_npy, dump = argv[1:]
        child_main(reader, path, int(width), values_npy, dump)
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller files, fewer rounds")
    parser.add_argument("--workload", action="append", choices=[w.name for w in FULL],
                        help="run this workload only (repeatable; default: all, in the order"
                        " w12, w15, wide, small)")
    parser.add_argument("--instructions", action="store_true",
                        help="also count instructions per value with bench/instructions.py"
                        " (needs valgrind)")
    parser.add_argument("--json", metavar="OUT", help="write all measurements to OUT")
    parser.add_argument("--plot", metavar="OUT.png",
                        help="draw ns per value of every reader and floor into OUT.png"
                        " (needs matplotlib)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time shown and compared: wall clock, or this process's CPU"
                        " time (steadier on a loaded machine); both go to the JSON")
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "tolvik-bench"),
                        help="where the generated plot files are kept (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.plot:  # before the run, which takes minutes
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.exit(2, "run.py: --plot needs matplotlib: pip install matplotlib\n")
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
            parser.exit(2, f"run.py: --plot: no folder for {args.plot}\n")
    counting = args.instructions and instructions.available()
    if args.instructions and not counting:
        print("note: --instructions needs valgrind (apt-get install valgrind): not found, the"
              " instruction counts are skipped")

    started = time.perf_counter()
    env = environment()
    print(f"tolvik benchmark{' (quick)' if args.quick else ''}: Python {env['python']}, "
          f"numpy {env['numpy']}, pandas {env['pandas']}, polars {env['polars']}; allocator "
          f"{env['allocator']}")
    print(f"tolvik from {env['tolvik']}; tolvik_arrays from {env['tolvik_arrays']}")
    print(f"{env['cpu']} ({env['vector']}), {env['cpus']} CPUs, load average {env['load_average'][0]:.2f}")
    if env["load_average"][0] > 0.5 * (env["cpus"] or 1) and args.clock == "wall":
        print("note: the machine is busy; wall-clock times are inflated (--clock cpu is"
              " steadier)")
    os.makedirs(args.data_dir, exist_ok=True)
    work_dir = tempfile.mkdtemp(prefix="run-", dir=args.data_dir)
    workloads = []
    try:
        for w in QUICK if args.quick else FULL:
            if args.workload and w.name not in args.workload:
                continue
            wl = run_workload(w, args.data_dir, work_dir, args.quick, args.clock)
            print_table(wl)
            workloads.append(wl)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)

    counts = None
    if counting:
        print("\nInstructions per value of one call, under callgrind (bench/instructions.py;"
              " fewer blocks, the count does not depend on the length):")
        print("  " + instructions.HEADER)
        counts = {}
        for row in instructions.measure(args.data_dir, names=[wl["name"] for wl in workloads]):
            print("  " + instructions.row_text(row))
            counts[row["name"]] = row

    print(f"\nTargets (best {args.clock}-clock times, allocator warm; ratios from this run):")
    targets = {}
    for wl in workloads:
        targets[wl["name"]] = target_rows(wl, None if counts is None else counts.get(wl["name"]))
        print_targets(wl["name"], targets[wl["name"]])
    verdicts = [t["met"] for rows in targets.values() for t in rows if t["bound"] is not None]
    print(f"  {verdicts.count(True)} met, {verdicts.count(False)} missed"
          + (f", {verdicts.count(None)} not evaluated" if None in verdicts else "")
          + ("" if counting else "; instructions per value: " + (
              "not counted, no valgrind" if args.instructions else "run with --instructions")))
    elapsed = time.perf_counter() - started
    env["load_average_end"] = os.getloadavg()
    print(f"\n{elapsed:.0f} s; load average at the end {env['load_average_end'][0]:.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"quick": args.quick, "environment": env, "seconds": elapsed,
                       "workloads": workloads, "instructions": counts, "targets": targets},
                      f, indent=1)
        print(f"wrote {args.json}")
    if args.plot:
        draw_plot(workloads, env, args.clock, args.plot)
        print(f"wrote {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
