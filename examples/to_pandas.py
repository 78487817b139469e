"""Read a plot file into float32 numpy arrays and a pandas DataFrame.

Usage: python examples/to_pandas.py FILE [FIELD_WIDTH]   (field width defaults to 12)

tolvik returns lists of Python floats; every one of them is a 32-bit float
widened exactly, so narrowing them back to float32 loses nothing. The names of
the parameters are not part of the result: they are the header's name lines,
which parameter_names reads. Needs numpy and pandas: pip install numpy pandas.
"""

import sys

import tolvik


def parameter_names(path):
    """The n names of the header, each its line stripped of surrounding
    whitespace: the count line's last token is n, the next n lines are the
    names. Lines end at "\\n" only (a "\\r" before it is stripped with the
    trailing whitespace), as tolvik reads them: a lone "\\r" inside a name
    line does not start a new line."""
    with open(path, encoding="utf-8", newline="\n") as f:
        count = int(f.readline().split()[-1])
        return [f.readline().strip() for _ in range(count)]


def to_arrays(times, columns):
    """The time as a float32 array of shape (blocks,) and the other
    parameters as one float32 array of shape (n - 1, blocks): row p - 1 is
    parameter p. The reshape keeps the shape 2-D when there are no columns."""
    import numpy

    t = numpy.asarray(times, dtype=numpy.float32)
    values = numpy.array(columns, dtype=numpy.float32).reshape(len(columns), len(times))
    return t, values


def to_frame(times, columns, names):
    """A DataFrame with one row per block, indexed by the time (named after
    the first name line) and one float32 column per other parameter, named
    after its name line. Names may repeat: pandas keeps every column, but
    frame[name] then gives all columns of that name; frame.iloc[:, p - 1] is
    always parameter p."""
    import pandas

    t, values = to_arrays(times, columns)
    # The frame takes the array over as it is (one row per parameter is how
    # pandas lays out a block of columns), without a copy.
    return pandas.DataFrame(
        values.T, index=pandas.Index(t, name=names[0]), columns=names[1:], copy=False
    )


def read_frame(path, n_digits):
    """Read the plot file and return it as a DataFrame (see to_frame)."""
    times, columns = tolvik.rust_read_tarvelo(path, n_digits)
    return to_frame(times, columns, parameter_names(path))


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    frame = read_frame(argv[1], int(argv[2]) if len(argv) == 3 else 12)
    print(frame)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
