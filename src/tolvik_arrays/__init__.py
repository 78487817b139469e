"""Plot files of the TARVELO simulation code straight into numpy.

``read_plot(path, n_digits)`` reads a plot file with the same reader and the
same rules as ``tolvik.rust_read_tarvelo`` and returns a :class:`Plot` of
float32 arrays. The interpreter lock is given up while the file is read, so
other Python threads run meanwhile and several threads read several files in
parallel.
"""

from __future__ import annotations

import operator
import os

try:
    import numpy
except ImportError:
    raise ModuleNotFoundError(
        "tolvik_arrays needs numpy, which is not installed; install it with: "
        'pip install "tolvik[arrays]"',
        name="numpy",
    ) from None

from tolvik_arrays import _reader
from tolvik_arrays._errors import PlotFormatError

__all__ = ["Plot", "PlotFormatError", "read_plot"]

_WIDTH_MAX = 2**64 - 1


class Plot:
    """The contents of a plot file.

    ``names``: the n parameter names, each trimmed of whitespace at both ends.
    ``times``: float32 array of shape (blocks,), parameter 0 of every block.
    ``values``: float32 array of shape (n - 1, blocks), C-contiguous; row
    p - 1 holds parameter p of every block.
    """

    __slots__ = ("names", "times", "values")

    names: tuple[str, ...]
    times: numpy.ndarray
    values: numpy.ndarray

    def __init__(self, names: tuple[str, ...], times: numpy.ndarray, values: numpy.ndarray) -> None:
        self.names = names
        self.times = times
        self.values = values

    def __reduce__(self):
        return (Plot, (self.names, self.times, self.values))

    def __repr__(self) -> str:
        return f"<Plot: {len(self.names)} parameters, {len(self.times)} blocks>"

    def to_frame(self):
        """A pandas DataFrame indexed by the times (named ``names[0]``), with
        one column per other parameter, named by its name. The frame shares
        the arrays' memory: nothing is copied."""
        try:
            import pandas
        except ImportError:
            raise ModuleNotFoundError(
                "Plot.to_frame() needs pandas, which is not installed; install it with: pip install pandas",
                name="pandas",
            ) from None
        index = pandas.Index(self.times, name=self.names[0], copy=False)
        # values.T is (blocks, n - 1) in column order: the layout a frame keeps
        # its float columns in, so the frame takes it as it is.
        return pandas.DataFrame(self.values.T, index=index, columns=list(self.names[1:]), copy=False)


def read_plot(path: str | bytes | os.PathLike, n_digits: int) -> Plot:
    """Read the plot file at ``path`` with data fields ``n_digits`` bytes wide.

    ``path``: a str, bytes or os.PathLike, as ``open()`` takes it.
    ``n_digits``: an int from 1 to 2**64 - 1 (12 or 15 for the simulation's
    files).

    Raises the ``OSError`` subclass that ``open()`` raises for the error
    (``FileNotFoundError``, ``IsADirectoryError``, ``PermissionError``, ...)
    when the file cannot be opened or read; :class:`PlotFormatError` when its
    content breaks the format; ``MemoryError`` when memory cannot be had.
    """
    path = os.fspath(path)
    try:
        width = operator.index(n_digits)
    except TypeError:
        raise TypeError(f"n_digits must be an int, not {type(n_digits).__name__}") from None
    if width < 1:
        raise ValueError(f"n_digits must be at least 1, not {width}")
    if width > _WIDTH_MAX:
        raise OverflowError(f"n_digits must be at most 2**64 - 1, not {width}")
    names, times, values = _reader.read_plot_file(path, width)
    times = numpy.frombuffer(times, dtype=numpy.float32)
    values = numpy.frombuffer(values, dtype=numpy.float32).reshape(len(names) - 1, len(times))
    return Plot(names, times, values)
