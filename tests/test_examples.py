"""The example that turns a read into numpy arrays and a pandas DataFrame."""

import os
import sys

import pytest

import tolvik

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
import to_pandas  # noqa: E402

ROW = " 1.00000E-01-2.50000E+00 1.00000E-01\r\n"


@pytest.mark.parametrize(
    "text, names",
    [
        # CRLF ends, blanks around names, a lone CR inside one, a repeated name.
        (" n 3\r\n TIME  \r\nP\rX \r\nTIME\t\r\n 1\r\n" + ROW + " 2\r\n" + ROW,
         ["TIME", "P\rX", "TIME"]),
        # One parameter: no columns, the frame still has its rows.
        ("3 1\nT\n1\n 0.00000E+00\n2\n 1.00000E+00\n", ["T"]),
    ],
)
def test_to_frame(plot_file, text, names):
    path = plot_file(text)
    assert to_pandas.parameter_names(path) == names
    pytest.importorskip("pandas")
    times, columns = tolvik.rust_read_tarvelo(path, 12)
    frame = to_pandas.read_frame(path, 12)
    assert frame.shape == (len(times), len(columns))
    assert frame.index.name == names[0] and list(frame.columns) == names[1:]
    assert {str(t) for t in frame.dtypes} <= {"float32"}
    assert frame.index.tolist() == times
    assert frame.to_numpy().T.tolist() == columns
