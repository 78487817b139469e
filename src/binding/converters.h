// Turning the bound argument objects into the reader's native values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <variant>

#include "binding/py_err.h"

namespace tolvik {

// A str (subclasses too) as its UTF-8 bytes, borrowed from the object for the
// rest of the call.
std::variant<std::string_view, PyErr> extract_text(PyObject* object);

// An int (subclasses too, bool included) or an object with __index__, in the
// range of an unsigned 64-bit integer.
std::variant<std::uint64_t, PyErr> extract_u64(PyObject* object);

// The error to raise for a parameter whose conversion failed: a plain
// TypeError is re-worded as "argument '<name>': <message>"; others stand.
PyErr argument_extraction_error(std::string_view name, PyErr error);

}  // namespace tolvik
