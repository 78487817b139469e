#include "binding/panic_exception.h"

#include <string>

#include "binding/once_cell.h"
#include "binding/py_err.h"
#include "binding/py_ref.h"
#include "binding/python_compat.h"

namespace tolvik {
namespace {

constexpr const char* kQualifiedName = "pyo3_runtime.PanicException";

constexpr const char* kDoc =
    "\n"
    "Raised when the module's own code, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell TYPE_OBJECT;

// A readable one-line description of an exception object: type, value and
// traceback.
std::string describe_exception(PyObject* exception) {
  std::string out;
  auto append_str = [&out](PyObject* object) {
    PyRef text = str_or_unprintable(object);
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      out += "<unprintable>";
    } else {
      out.append(utf8, static_cast<std::size_t>(size));
    }
  };
  out += "type: ";
  append_str(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  out += ", value: ";
  append_str(exception);
  out += ", traceback: ";
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
  if (traceback) {
    append_str(traceback.get());
  } else {
    out += "None";
  }
  return out;
}

PyObject* create_type() {
  PyRef base = PyRef::borrow(PyExc_BaseException);
  PyObject* type = PyErr_NewExceptionWithDoc(kQualifiedName, kDoc, base.get(), nullptr);
  if (type != nullptr) return type;
  // Fetched directly: the usual fetch compares with the type being created here.
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error) {
    raise_failure(
        "Failed to initialize new exception type.: type: <class 'SystemError'>, value: "
        "attempted to fetch exception but none was set, traceback: None",
        Location::here());
  }
  raise_failure("Failed to initialize new exception type.: " + describe_exception(error.get()),
                Location::here());
}

}  // namespace

PyObject* panic_exception_type() {
  return TYPE_OBJECT.get_or_init(create_type);
}

}  // namespace tolvik
