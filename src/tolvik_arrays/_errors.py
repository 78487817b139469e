"""The exception of a plot file whose content breaks the format.

Kept apart from the package's ``__init__`` so that the native reader can take
it at import without importing the package's other names.
"""

from __future__ import annotations


class PlotFormatError(ValueError):
    """A plot file's content breaks the format.

    ``path`` is the file's path (a str), ``line`` the 1-based number of the
    line where the read failed (for a line that is missing, the number it
    would have had) and ``message`` the reader's description of the failure,
    the same text that ``tolvik.rust_read_tarvelo`` gives for that file.
    """

    __module__ = "tolvik_arrays"

    path: str
    line: int
    message: str

    def __init__(self, path: str, line: int, message: str) -> None:
        super().__init__(path, line, message)
        self.path = path
        self.line = line
        self.message = message

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.message}"
