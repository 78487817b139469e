// What the module `tolvik_arrays._reader` keeps per module object: the type of
// the buffers it returns and the exception it raises for a file that breaks
// the format (tolvik_arrays.PlotFormatError, defined in Python).
#pragma once

#include <Python.h>

namespace tolvik::arrays {

struct ModuleState {
  PyTypeObject* float_buffer;
  PyObject* format_error;
};

inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace tolvik::arrays
