// read_plot_file(path, n_digits, /), the module's one function: reads a plot
// file into float32 buffers with the interpreter lock given up from the open
// to the last value, and taken again only to build the result.
//
// path: a str, bytes or os.PathLike, encoded as open() encodes it; n_digits:
// an int from 1 to 2**64 - 1. Returns (names, times, values): a tuple of the
// trimmed name lines, a FloatBuffer of the times and one of the values of
// parameters 1 to n - 1, row by row (one row per parameter, one value per
// block). Raises the OSError subclass of the error number, with the path as
// its filename, when the file cannot be opened or read; PlotFormatError(path,
// line, message) when its content breaks the format; MemoryError.
#pragma once

#include <Python.h>

namespace tolvik::arrays {

// The module's method table: read_plot_file, then the end marker.
extern PyMethodDef READER_METHODS[];

}  // namespace tolvik::arrays
