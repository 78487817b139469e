// Turning the reader's numbers into the call's result: a tuple of the list of
// times and the list of columns, each a list of floats. Every value is the
// exact widening of the 32-bit float; nothing passes through decimal text.
#pragma once

#include <cstddef>

#include "binding/py_ref.h"
#include "lib/plot_data.h"

namespace tolvik {

// The first `count` values of a sequence into a new list of floats; its
// storage is released chunk by chunk as the list is built.
PyRef owned_sequence_into_pyobject(FloatSequence&& values, std::size_t count);

// The result tuple (times, columns). When the interpreter cannot create an
// object, its pending error is reported as unraisable and the failure
// "PyObject pointer is null" is raised; everything built is released.
PyRef into_pyobject(PlotData&& data);

}  // namespace tolvik
