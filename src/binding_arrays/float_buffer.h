// FloatBuffer: a Python object that owns a FloatArray and lends it out through
// the buffer protocol as a one-dimensional, writable array of C floats
// (format "f"). numpy.frombuffer makes an array over it without a copy; the
// array keeps the buffer alive, and the memory goes when the last user does.
#pragma once

#include <Python.h>

#include "binding/py_ref.h"
#include "text/float_array.h"

namespace tolvik::arrays {

// The type's name, size, flags and slots, for PyType_FromModuleAndSpec.
extern PyType_Spec FLOAT_BUFFER_SPEC;

// A new FloatBuffer of type `type` holding the first `count` floats of
// `array` (count <= array.size()); null with an exception set on failure,
// the array then freed.
PyRef new_float_buffer(PyTypeObject* type, FloatArray&& array, std::size_t count);

}  // namespace tolvik::arrays
