// A pending Python error: built lazily (exception type and message, made into
// an exception object only when it is raised) or an exception object fetched
// from the interpreter. Consumed when it is raised.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <variant>

#include "binding/failure.h"
#include "binding/py_ref.h"

namespace tolvik {

class PyErr {
 public:
  // TypeError with the given message (UTF-8, or an owned str object).
  static PyErr type_error(std::string message);
  static PyErr type_error(PyRef message);
  // TypeError "'{type}' object is not an instance of '{expected}'" (or
  // "'None' is not an instance of '{expected}'"), worded when it is raised.
  static PyErr not_an_instance(PyObject* object, PyTypeObject* expected);
  // The PanicException that a caught failure becomes.
  static PyErr from_panic_payload(ReaderFailure&& failure);
  // An exception object (new reference taken over).
  static PyErr normalized(PyRef exception) noexcept { return PyErr(State(std::move(exception))); }
  // MemoryError for memory the module could not obtain (0: size unknown).
  static PyErr memory_error(std::size_t bytes);

  // Fetches and clears the interpreter's pending exception; nothing when none
  // is pending. A PanicException (exactly that type) is not returned: it is
  // resumed as a failure of this call, with its Python traceback printed.
  static std::optional<PyErr> take();
  // take(), with SystemError "attempted to fetch exception but none was set"
  // standing in for a missing exception.
  static PyErr fetch();

  // Sets the error as the interpreter's current exception.
  void restore() &&;
  // The error as an exception object (new reference).
  PyRef into_exception() &&;

 private:
  struct Lazy {
    PyObject* type;  // a static exception type, or null for PanicException
    std::variant<std::string, PyRef> message;
  };
  struct NotInstance {
    PyRef object;
    PyTypeObject* expected;
  };
  struct Memory {
    std::size_t bytes;
  };
  using State = std::variant<Lazy, NotInstance, Memory, PyRef>;

  explicit PyErr(State state) noexcept : state_(std::move(state)) {}

  State state_;
};

// str() of an object, or "<unprintable T object>" when str() fails.
PyRef str_or_unprintable(PyObject* object);

}  // namespace tolvik
