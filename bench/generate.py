"""Deterministic generator of realistic plot files for the benchmark.

A file looks like what a simulation writes: a count line, one name line per
parameter, then one block per time step, each a lead line and the values in
fixed-width E fields, ten to a line. Field width w gives w - 7 digits after the
point (12 -> " 1.01325E+05", 15 -> " 1.01325678E+05"); negative values fill
their field and so run into the previous one.

The values come from a mix of signals a thermal-hydraulic run produces:
pressures and temperatures drifting around an operating point, signed
velocities and flows oscillating through zero, void fractions clipped at 0
and 1, heat sources switched on part-way through, small residuals, and
parameters that stay at zero. Only +, -, *, / and Python's Mersenne Twister
are used, so a seed gives the same bytes on every machine and Python version.

Usage: python bench/generate.py OUT.plt N_PARAMS N_BLOCKS WIDTH [--seed S]
"""

from __future__ import annotations

import argparse
import os
import random
import sys

# Part of the cache key of generated files: bump it when the output changes.
GENERATOR_VERSION = 1

FIELDS_PER_LINE = 10
TIME_STEP = 2.5e-3

# name, base range, amplitude range, random-walk step (relative to the
# amplitude), clip range (None: unclipped)
KINDS = {
    "PRESSURE": ((1.0e5, 1.55e7), (1.0e3, 2.0e5), 0.02, (0.0, None)),
    "TEMPERATURE": ((290.0, 900.0), (0.5, 40.0), 0.02, (0.0, None)),
    "VELOCITY": ((-0.5, 0.5), (0.1, 25.0), 0.05, None),
    "FLOW": ((-50.0, 50.0), (1.0, 400.0), 0.05, None),
    "VOID FRACTION": ((-0.3, 0.4), (0.1, 0.6), 0.05, (0.0, 1.0)),
    "HEAT FLUX": ((1.0e4, 2.0e6), (1.0e2, 5.0e4), 0.02, (0.0, None)),
    "RESIDUAL": ((-1.0e-7, 1.0e-7), (1.0e-9, 1.0e-6), 0.2, None),
    "OFF": ((0.0, 0.0), (0.0, 0.0), 0.0, None),
}
KIND_WEIGHTS = {
    "PRESSURE": 4,
    "TEMPERATURE": 4,
    "VELOCITY": 4,
    "FLOW": 3,
    "VOID FRACTION": 3,
    "HEAT FLUX": 2,
    "RESIDUAL": 2,
    "OFF": 1,
}


class Signal:
    """One parameter over time: base + amplitude * oscillation + random walk,
    optionally clipped, optionally zero until a switch-on block."""

    def __init__(self, rng: random.Random, kind: str, n_blocks: int):
        (b0, b1), (a0, a1), step, clip = KINDS[kind]
        self.rng = rng
        self.base = b0 + (b1 - b0) * rng.random()
        self.amp = a0 + (a1 - a0) * rng.random()
        self.step = step * self.amp
        self.low, self.high = clip if clip else (None, None)
        # Rotation by an angle whose cosine and sine are rational in u: the
        # oscillator needs no transcendental function, so it is exact
        # everywhere. Periods from about 60 to 6000 blocks.
        u = 0.0005 + 0.05 * rng.random()
        self.cr, self.sr = (1 - u * u) / (1 + u * u), 2 * u / (1 + u * u)
        self.c, self.s = 1.0, 0.0
        self.walk = 0.0
        # Heat sources start part-way through the run.
        self.start = int(n_blocks * 0.3 * rng.random()) if kind == "HEAT FLUX" else 0

    def value(self, block: int) -> float:
        if self.amp == 0.0 or block < self.start:
            return 0.0
        c, s = self.c, self.s
        self.c, self.s = c * self.cr - s * self.sr, s * self.cr + c * self.sr
        self.walk = 0.999 * self.walk + (self.rng.random() - 0.5) * self.step
        v = self.base + self.amp * self.s + self.walk
        if self.low is not None and v < self.low:
            v = self.low
        if self.high is not None and v > self.high:
            v = self.high
        return v


def field_format(width: int) -> str:
    """printf format of one field: a sign or blank, d.ddd, E and a two-digit
    exponent, exactly `width` characters."""
    if width < 8:
        raise ValueError(f"field width {width} is too small for the E form (at least 8)")
    return f"% .{width - 7}E"


def generate(path: str, n_params: int, n_blocks: int, width: int, seed: int = 1) -> int:
    """Write the plot file to `path` (atomically: a temporary file then a
    rename). Returns its size in bytes."""
    if n_params < 1 or n_blocks < 0:
        raise ValueError("need at least one parameter and no negative block count")
    rng = random.Random(f"tolvik-bench/{seed}/{n_params}/{width}")
    fmt = field_format(width)
    kinds = list(KIND_WEIGHTS)
    weights = list(KIND_WEIGHTS.values())
    chosen = rng.choices(kinds, weights, k=n_params - 1)
    signals = [Signal(rng, kind, n_blocks) for kind in chosen]

    header = [f" PLOT FILE    RUN {seed:04d}   TRANSIENT CASE {n_params:4d}-{width}"
              f"{n_params:10d}", "TIME (S)"]
    header += [f"{kind} {p:03d}" for p, kind in enumerate(chosen, 1)]

    line_formats = [fmt * min(FIELDS_PER_LINE, n_params - first)
                    for first in range(0, n_params, FIELDS_PER_LINE)]
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="ascii", newline="\n") as out:
        out.write("\n".join(header) + "\n")
        chunk = []
        for block in range(n_blocks):
            values = [block * TIME_STEP]
            values += [signal.value(block) for signal in signals]
            # Values below the two-digit exponent range are written as zero,
            # as a simulation's output routine does.
            values = [v if abs(v) >= 1e-99 else 0.0 for v in values]
            chunk.append(f"{block + 1:8d}{block * TIME_STEP:14.6f}")
            for i, line_format in enumerate(line_formats):
                first = i * FIELDS_PER_LINE
                chunk.append(line_format % tuple(values[first:first + FIELDS_PER_LINE]))
            if len(chunk) > 20000:
                out.write("\n".join(chunk) + "\n")
                chunk.clear()
        if chunk:
            out.write("\n".join(chunk) + "\n")
    os.replace(tmp, path)
    return os.path.getsize(path)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out")
    parser.add_argument("n_params", type=int)
    parser.add_argument("n_blocks", type=int)
    parser.add_argument("width", type=int)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    size = generate(args.out, args.n_params, args.n_blocks, args.width, args.seed)
    print(f"{args.out}: {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
