"""What a competent Python user would write instead of tolvik, and two floors.

Every reader takes (path, width) and returns (times, columns) like
tolvik.rust_read_tarvelo: a list of floats and a list of n - 1 lists of floats,
each value a 32-bit float widened to a Python float.

Of the baselines only polars rounds a decimal straight to a 32-bit float (its
string-to-Float32 cast is correctly rounded, so it is exact at both widths):
Python's float(), numpy's string casts (float32 included) and pandas all parse
to the nearest double first, then narrow it. That double rounding differs from the
correctly rounded value only when the nearest double is exactly halfway
between two 32-bit floats while the decimal is not. For decimals of at most
six significant digits (the width-12 variant) no such decimal exists in the
32-bit range (checked exhaustively), so the baselines are exact there; with
nine digits (width 15) such decimals exist but are rare, and all lie below
about 1e-4 or above about 1e19 (9.67498269E-11 is one: those three baselines
give 9.674983036944695e-11, the correctly rounded value, which polars gives,
is 9.674982343055305e-11). run.py checks every result against tolvik's bit for
bit and reports any difference (allowed: one unit in the last place of a
32-bit float, counted).

One reader returns arrays rather than lists: `read_lists_to_numpy`, tolvik's
own lists made into the float32 arrays that tolvik_arrays returns, which is
how a user of tolvik alone gets there.

The floors are no readers: `floor_tolist` builds the same lists from the values
already held in a float32 array, the least any reader returning lists must do;
`floor_read_bytes` reads the file's bytes and nothing else.
"""

from __future__ import annotations

from array import array

FIELDS_PER_LINE = 10


def parameter_count(first_line: str | bytes) -> int:
    return int(first_line.split()[-1])


def data_lines_per_block(n: int) -> int:
    return (n + FIELDS_PER_LINE - 1) // FIELDS_PER_LINE


def read_pure_python(path: str, width: int):
    """readline, slicing and float(), all values of the file in one flat list;
    the columns are strided slices of it, narrowed to float32 with array('f')."""
    with open(path, encoding="utf-8") as f:
        readline = f.readline
        n = parameter_count(readline())
        for _ in range(n):
            readline()
        # The (start, end) of every field, per data line of a block.
        spans = [
            [(i * width, (i + 1) * width) for i in range(min(FIELDS_PER_LINE, n - first))]
            for first in range(0, n, FIELDS_PER_LINE)
        ]
        values = []
        extend = values.extend
        while readline():  # the lead line; "" at the end of the file
            for line_spans in spans:
                line = readline()
                extend([float(line[a:b]) for a, b in line_spans])
    times = array("f", values[0::n]).tolist()
    columns = [array("f", values[p::n]).tolist() for p in range(1, n)]
    return times, columns


def read_numpy(path: str, width: int):
    """Data lines gathered by position, cut into fixed-width byte fields by a
    numpy view and converted with astype(float32); lists by .tolist()."""
    import numpy as np

    with open(path, "rb") as f:
        n = parameter_count(f.readline())
        for _ in range(n):
            f.readline()
        lines = f.read().split(b"\n")
    if lines and not lines[-1]:
        lines.pop()  # after the final line feed
    per_block = data_lines_per_block(n)
    stride = per_block + 1
    blocks = len(lines) // stride
    values = np.empty((n, blocks), dtype=np.float32)
    for k in range(per_block):
        first = k * FIELDS_PER_LINE
        count = min(FIELDS_PER_LINE, n - first)
        # "S<bytes>" keeps the fields this line must carry and drops the rest
        # (a "\r" of a CRLF line end included).
        rows = np.array(lines[1 + k :: stride][:blocks], dtype=f"S{count * width}")
        fields = rows.view(f"S{width}").reshape(blocks, count)
        values[first : first + count] = fields.astype(np.float32).T
    del lines
    return values[0].tolist(), values[1:].tolist()


def read_pandas(path: str, width: int):
    """pandas.read_fwf with ten fields of `width`, header and lead lines
    skipped; the data lines of a block are joined by a reshape."""
    import numpy as np
    import pandas as pd

    with open(path, "rb") as f:
        n = parameter_count(f.readline())
    per_block = data_lines_per_block(n)
    stride = per_block + 1
    header = n + 1
    frame = pd.read_fwf(
        path,
        widths=[width] * FIELDS_PER_LINE,
        header=None,
        skiprows=lambda i: i < header or (i - header) % stride == 0,
        dtype=np.float64,
    )
    rows = frame.to_numpy()
    del frame
    blocks = rows.shape[0] // per_block
    values = rows.reshape(blocks, per_block * FIELDS_PER_LINE)[:, :n].astype(np.float32).T
    del rows
    return values[0].tolist(), values[1:].tolist()


def read_polars(path: str, width: int):
    """The body read by polars.read_csv as one string column (a separator
    byte that never occurs, no quoting), the data lines of each position in a
    block taken with gather_every, fields cut with str.slice, stripped and
    cast to Float32; lists by to_list(). polars parses on every core."""
    import polars as pl

    with open(path, "rb") as f:
        n = parameter_count(f.readline())
    per_block = data_lines_per_block(n)
    stride = per_block + 1
    body = pl.read_csv(path, has_header=False, separator="\x1f", quote_char=None,
                       skip_lines=n + 1, new_columns=["line"], infer_schema=False)
    columns = []
    for k in range(per_block):
        first = k * FIELDS_PER_LINE
        lines = body.gather_every(stride, offset=1 + k)  # row 0 is the first lead line
        fields = lines.select(
            pl.col("line").str.slice(i * width, width).str.strip_chars().cast(pl.Float32)
            .alias(str(first + i))
            for i in range(min(FIELDS_PER_LINE, n - first))
        )
        columns += fields.get_columns()
    del body
    return columns[0].to_list(), [c.to_list() for c in columns[1:]]


def read_lists_to_numpy(path: str, width: int):
    """tolvik's lists, then numpy.array of the times and of the columns with
    dtype float32: a (blocks,) and an (n - 1, blocks) array. The lists are
    dropped before the call returns, and that is part of its cost."""
    import numpy as np
    import tolvik

    times, columns = tolvik.rust_read_tarvelo(path, width)
    return np.array(times, dtype=np.float32), np.array(columns, dtype=np.float32)


def floor_tolist(values):
    """The lists built from a (n, blocks) float32 array already in memory."""
    return values[0].tolist(), values[1:].tolist()


def floor_read_bytes(path: str, width: int):
    """Every byte of the file read into one reused 1 MiB buffer."""
    del width
    buffer = bytearray(1 << 20)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while count := f.readinto(buffer):
            total += count
    return total
