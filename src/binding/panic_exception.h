// The exception type of every failure of the module's own logic:
// "pyo3_runtime.PanicException", derived from BaseException (so `except
// Exception` does not catch it), created once per process on first need and
// never made an attribute of the module.
#pragma once

#include <Python.h>

namespace tolvik {

// The type, created on first need; borrowed. Called with the interpreter lock
// held; the first creation gives the lock up while it waits (see OnceCell).
PyObject* panic_exception_type();

}  // namespace tolvik
