// The entries from the interpreter. Each arms a trap, raises the attach guard,
// runs its body and catches every failure that leaves it: a failure becomes a
// PanicException, lack of memory for the module's own data a MemoryError, an
// error value is raised as it is. Nothing escapes into the interpreter.
#pragma once

#include <Python.h>

#include <variant>

#include "binding/py_err.h"
#include "binding/py_ref.h"

namespace tolvik {

using CallOutcome = std::variant<PyRef, PyErr>;

// The C entry of rust_read_tarvelo (fast call with keywords). `self` is unused.
PyObject* fastcall_cfunction_with_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

// Runs `body` as an entry; returns true on success, false with an exception set.
template <class Body>
bool run_entry(Body&& body);

}  // namespace tolvik

#include "binding/entry_impl.h"
