#include "binding/result.h"

#include "binding/failure.h"

namespace tolvik {
namespace {

PyRef checked(PyObject* object) {
  if (object == nullptr) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    raise_failure("PyObject pointer is null", Location::here());
  }
  return PyRef::steal(object);
}

}  // namespace

PyRef owned_sequence_into_pyobject(FloatSequence&& values) {
  const std::size_t count = values.size();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const float* data = values.data();
  for (std::size_t i = 0; i < count; ++i) {
    slots[i] = checked(PyFloat_FromDouble(static_cast<double>(data[i]))).release();
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
