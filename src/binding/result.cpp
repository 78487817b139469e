#include "binding/result.h"

#include <bit>
#include <cstdint>

#include "binding/failure.h"

namespace tolvik {
namespace {

[[noreturn, gnu::cold, gnu::noinline]] void constructor_failed() {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  raise_failure("PyObject pointer is null", Location::here());
}

// The new reference from a constructor, or the internal failure when it
// returned null. Inline: it runs once per value.
inline PyObject* checked_new(PyObject* object) {
  if (object == nullptr) [[unlikely]]
    constructor_failed();
  return object;
}

PyRef checked(PyObject* object) {
  return PyRef::steal(checked_new(object));
}

}  // namespace

PyRef owned_sequence_into_pyobject(FloatSequence&& values) {
  const std::size_t count = values.size();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const float* data = values.data();
  // A parameter often keeps its value from one block to the next (zeros,
  // constants, plateaus): such a run shares one float object, which is
  // immutable, instead of allocating an equal one per block. Equality is by
  // bits, so -0.0 and NaN payloads stay exact.
  std::uint32_t previous_bits = 0;
  PyObject* previous = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const auto bits = std::bit_cast<std::uint32_t>(data[i]);
    if (previous == nullptr || bits != previous_bits) {
      previous = checked_new(PyFloat_FromDouble(static_cast<double>(data[i])));
      previous_bits = bits;
    } else {
      Py_INCREF(previous);
    }
    slots[i] = previous;
  }
  values.release();
  return list;
}

PyRef into_pyobject(PlotData&& data) {
  PyRef times = owned_sequence_into_pyobject(std::move(data.times));
  PyRef columns = checked(PyList_New(static_cast<Py_ssize_t>(data.columns.size())));
  for (std::size_t i = 0; i < data.columns.size(); ++i) {
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i),
                    owned_sequence_into_pyobject(std::move(data.columns[i])).release());
  }
  std::vector<FloatSequence>().swap(data.columns);
  PyRef tuple = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, times.release());
  PyTuple_SET_ITEM(tuple.get(), 1, columns.release());
  return tuple;
}

}  // namespace tolvik
