#include "binding/result.h"

#include <algorithm>
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

PyRef owned_sequence_into_pyobject(FloatSequence&& values, std::size_t count) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  // A parameter often keeps its value from one block to the next (zeros,
  // constants, plateaus): such a run shares one float object, which is
  // immutable, instead of allocating an equal one per block. Equality is by
  // bits, so -0.0 and NaN payloads stay exact; the first value's comparison
  // is with a pattern no 32-bit value has.
  std::uint64_t previous_bits = ~std::uint64_t{0};
  PyObject* previous = nullptr;
  auto convert = [&](const float* data, PyObject** out) {
    const std::uint64_t bits = std::bit_cast<std::uint32_t>(*data);
    if (bits != previous_bits) [[likely]] {
      previous = checked_new(PyFloat_FromDouble(static_cast<double>(*data)));
      previous_bits = bits;
    } else {
      Py_INCREF(previous);
    }
    *out = previous;
  };
  std::size_t done = 0;
  for (std::size_t k = 0; done < count; ++k) {
    const float* data = values.chunk(k);
    const std::size_t n = std::min(FloatSequence::chunk_capacity(k), count - done);
    PyObject** out = slots + done;
    // Two values a step: half the loop's own work.
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
      convert(data + i, out + i);
      convert(data + i + 1, out + i + 1);
    }
    if (i < n) convert(data + i, out + i);
    done += n;
    values.release_chunk(k);
  }
  values.release();
  return list;
}

PyRef into_pyobject(PlotData&& data) {
  PyRef times = owned_sequence_into_pyobject(std::move(data.times), data.blocks);
  PyRef columns = checked(PyList_New(static_cast<Py_ssize_t>(data.columns.size())));
  for (std::size_t i = 0; i < data.columns.size(); ++i) {
    PyList_SET_ITEM(
        columns.get(), static_cast<Py_ssize_t>(i),
        owned_sequence_into_pyobject(std::move(data.columns[i]), data.blocks).release());
  }
  std::vector<FloatSequence>().swap(data.columns);
  PyRef tuple = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, times.release());
  PyTuple_SET_ITEM(tuple.get(), 1, columns.release());
  return tuple;
}

}  // namespace tolvik
