// The body of one call of rust_read_tarvelo(file_path, n_digits): bind and
// convert the arguments, read the plot file, build the result.
#pragma once

#include <Python.h>

#include "binding/entry.h"

namespace tolvik {

CallOutcome pyfunction_rust_read_tarvelo(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace tolvik
