# Type information for tolvik_arrays: the names a user calls, with their
# argument and result types.

import os
from typing import SupportsIndex

import numpy
import numpy.typing
import pandas

__all__ = ["Plot", "PlotFormatError", "read_plot"]

class Plot:
    names: tuple[str, ...]
    times: numpy.typing.NDArray[numpy.float32]
    values: numpy.typing.NDArray[numpy.float32]
    def __init__(
        self,
        names: tuple[str, ...],
        times: numpy.typing.NDArray[numpy.float32],
        values: numpy.typing.NDArray[numpy.float32],
    ) -> None: ...
    def to_frame(self) -> pandas.DataFrame: ...

class PlotFormatError(ValueError):
    path: str
    line: int
    message: str
    def __init__(self, path: str, line: int, message: str) -> None: ...

def read_plot(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], n_digits: SupportsIndex
) -> Plot: ...
