"""Instructions per value of one call, counted by callgrind.

    python bench/instructions.py [--data-dir DIR] [--keep]

Needs valgrind and tolvik importable. callgrind counts instructions, not
seconds, so the figures are the same on a busy machine or an idle one.
valgrind has no AVX-512: the module runs its AVX2 path under it.

For each workload (the shapes of bench/run.py with fewer blocks, since the
count does not depend on the length of the file) it runs, under callgrind,

1. a process that imports tolvik and calls rust_read_tarvelo once, and
2. the same process without the call (the control);

and reports per value: the instructions executed inside the module's shared
library, and the C library's extra work during the call (the C library's
count in process 1 minus that in process 2: memchr, memcpy, malloc, read
wrappers). The interpreter's own work (creating the float objects and the
lists) is not counted in either.

glibc clears large blocks (the storage of each new list, which calloc gives
the interpreter from memory it already held) with `rep stosb`, a single
instruction that callgrind counts once per byte it stores: 8 counts per
value, nearly all of the C library's figure, for what the processor does in
one instruction per list. The counts are therefore taken with glibc told to
clear with its vector loop instead (GLIBC_TUNABLES, in both processes), which
callgrind counts as the processor runs it; the C library's figure as counted
with the default is printed beside it ("libc as rep").
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402

SEED = 1
# name, parameters, blocks, width; the targets are per value.
WORKLOADS = [
    ("w12", 25, 20_000, 12, 40),
    ("w15", 25, 20_000, 15, 40),
    ("wide", 120, 4_000, 12, 60),
    ("small", 25, 1_000, 12, None),
]

CALL = "import tolvik\ntolvik.rust_read_tarvelo({path!r}, {width})\n"
CONTROL = "import tolvik\n"


def per_object(out_file: str) -> dict[str, int]:
    """Instructions executed in each shared object (self cost, all functions),
    read from callgrind's output: "ob=" names the object of the cost lines
    that follow; the cost line after a "calls=" line is the callee's
    inclusive cost and is not counted."""
    names: dict[str, str] = {}
    totals: dict[str, int] = {}
    positions = 1
    current = "?"
    after_call = False
    with open(out_file) as f:
        for line in f:
            if line.startswith("positions:"):
                positions = len(line.split()) - 1
            elif line.startswith(("ob=", "cob=")):
                # An object is named at its first mention, in either form.
                key, _, rest = line.partition("=")
                ref, _, name = rest.strip().partition(" ")
                if name:
                    names[ref] = os.path.basename(name)
                if key == "ob":
                    current = ref
            elif line.startswith("calls="):
                after_call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if after_call:
                    after_call = False
                    continue
                fields = line.split()
                if len(fields) > positions:
                    totals[current] = totals.get(current, 0) + int(fields[positions])
    return {names.get(ref, ref): cost for ref, cost in totals.items()}


# memset by its vector loop at every size: a threshold for `rep stosb` above
# any block the interpreter clears.
VECTOR_MEMSET = "glibc.cpu.x86_rep_stosb_threshold=1099511627776"


def count(code: str, work: str, tag: str, vector_memset: bool = True) -> dict[str, int]:
    out_file = os.path.join(work, f"callgrind.{tag}")
    env = dict(os.environ)
    if vector_memset:
        env["GLIBC_TUNABLES"] = ":".join(filter(None, [env.get("GLIBC_TUNABLES"), VECTOR_MEMSET]))
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out_file}",
         sys.executable, "-c", code],
        check=True, env=env,
    )
    return per_object(out_file)


def module_object(totals: dict[str, int]) -> str:
    import tolvik

    name = os.path.basename(tolvik.__file__)
    if name not in totals:
        raise SystemExit(f"callgrind saw no instruction in {name}")
    return name


def libc(totals: dict[str, int]) -> int:
    return sum(v for k, v in totals.items() if k.startswith("libc.so") or k.startswith("libc-"))


def available() -> bool:
    return shutil.which("valgrind") is not None and shutil.which("callgrind_annotate") is not None


def measure(data_dir: str, keep: bool = False, names=None):
    """Count every workload (or those named) under callgrind; yields one row
    per workload as it is counted: name, values, module and libc extra per
    value, their total, the target (None: none) and whether it is met, and
    the C library's extra as counted with glibc's default memset."""
    os.makedirs(data_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="callgrind-", dir=data_dir)
    try:
        control = count(CONTROL, work, "control")
        control_rep = count(CONTROL, work, "control-rep", vector_memset=False)
        for name, params, blocks, width, target in WORKLOADS:
            if names is not None and name not in names:
                continue
            path = os.path.join(data_dir, f"plot-p{params}-b{blocks}-w{width}-s{SEED}"
                                f"-g{generate.GENERATOR_VERSION}.plt")
            if not os.path.exists(path):
                generate.generate(path, params, blocks, width, SEED)
            code = CALL.format(path=path, width=width)
            totals = count(code, work, name)
            totals_rep = count(code, work, f"{name}-rep", vector_memset=False)
            values = params * blocks
            module = totals[module_object(totals)] / values
            extra = (libc(totals) - libc(control)) / values
            extra_rep = (libc(totals_rep) - libc(control_rep)) / values
            yield {"name": name, "params": params, "blocks": blocks, "width": width,
                   "values": values, "module": module, "libc_extra": extra,
                   "libc_extra_rep": extra_rep,
                   "total": module + extra, "target": target,
                   "met": None if target is None else module + extra <= target}
    finally:
        if keep:
            print(f"callgrind output kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


HEADER = (f"{'workload':<8}{'values':>10}{'module':>10}{'libc extra':>12}{'total':>9}"
          f"{'target':>8}{'':8}{'libc as rep':>12}  instructions per value")


def row_text(row: dict) -> str:
    target = row["target"]
    verdict = {True: "met", False: "MISSED", None: ""}[row["met"]]
    return (f"{row['name']:<8}{row['values']:>10,}{row['module']:>10.1f}{row['libc_extra']:>12.1f}"
            f"{row['total']:>9.1f}{'<= ' + str(target) if target else '-':>8}  {verdict:<6}"
            f"{row['libc_extra_rep']:>12.1f}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "tolvik-bench"),
                        help="where the generated plot files are kept (default: %(default)s)")
    parser.add_argument("--keep", action="store_true", help="keep the callgrind output files")
    args = parser.parse_args(argv)
    if not available():
        print("bench/instructions.py needs valgrind (apt-get install valgrind)", file=sys.stderr)
        return 2
    print(HEADER)
    for row in measure(args.data_dir, args.keep):
        print(row_text(row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
