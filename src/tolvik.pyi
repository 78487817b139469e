# Type information for the tolvik extension module, so that type checkers and
# editors see the function's signature, result and docstring. Installed twice:
# beside the extension (pyright, editors) and as the stub-only package
# tolvik-stubs (mypy looks for single-module stubs in site-packages only there).
# The docstring repeats the one the module itself carries; tests/test_typing.py
# checks that the two agree.

from typing import SupportsIndex

__all__ = ["rust_read_tarvelo"]

def rust_read_tarvelo(
    file_path: str, n_digits: SupportsIndex
) -> tuple[list[float], list[list[float]]]:
    """# Reads in the tarvelo file.

    1. First opens the
    1. Gets the number of parameters
    1. Gets the parameter names
    1. Loops over the rest of the file

    ## TARVELO plot file shape
    The TARVELO data is stored in blocks per timestep with a max width of 10 columns.
    There are 2 versions of the TARVELO plot file:
    1. 6 digits of percision, n_digits=12
    1. 9 digits of precision, n_digits=15

    Parameters
    ----------
    file_path: &str
        the file path
    n_digits: usize
        the width of a datafield

    Returns
    -------
    all_data: Vec<Vec<f32>>
        the data stored in a vector of columns/vectors.
    """
