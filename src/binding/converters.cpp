#include "binding/converters.h"

#include <string>

namespace tolvik {

std::variant<std::string_view, PyErr> extract_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return PyErr::not_an_instance(object, &PyUnicode_Type);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return PyErr::fetch();  // a lone surrogate
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::variant<std::uint64_t, PyErr> extract_u64(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return PyErr::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is both a valid value and the failure signal.
  if (value == static_cast<unsigned long long>(-1)) {
    if (std::optional<PyErr> error = PyErr::take()) return std::move(*error);
  }
  return static_cast<std::uint64_t>(value);
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
  PyRef exception = std::move(error).into_exception();
  if (!exception || Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return exception ? PyErr::normalized(std::move(exception)) : PyErr::fetch();
  }
  PyRef original = str_or_unprintable(exception.get());
  if (!original) return PyErr::fetch();
  const std::string quoted(name);
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", quoted.c_str(), original.get()));
  if (!message) return PyErr::fetch();
  PyRef rewrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!rewrapped) return PyErr::fetch();
  // The new error keeps the original's cause, not the original itself.
  PyException_SetCause(rewrapped.get(), PyException_GetCause(exception.get()));
  return PyErr::normalized(std::move(rewrapped));
}

}  // namespace tolvik
