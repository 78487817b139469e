#include "binding/py_err.h"

#include <cerrno>
#include <string_view>

#include "binding/diagnostic.h"
#include "binding/panic_exception.h"
#include "binding/python_compat.h"
#include "text/io_error.h"
#include "text/utf8.h"

namespace tolvik {
namespace {

constexpr std::string_view kResumeNotice =
    "--- tolvik is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

[[noreturn]] void raise_null_object() {
  // The interpreter's own error goes to its unraisable hook first.
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  raise_failure("PyObject pointer is null", Location::here());
}

PyRef str_from(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The text of a PanicException coming back from Python, as UTF-8.
std::string panic_text(PyObject* exception) {
  PyRef str = PyRef::steal(PyObject_Str(exception));
  if (!str) {
    PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
    return "Unwrapped panic from Python code";
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
  // Lone surrogates: encode them as they stand, then decode leniently.
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  std::string text;
  if (bytes) {
    append_utf8_lossy(text,
                      std::string_view(PyBytes_AS_STRING(bytes.get()),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  } else {
    dropped = PyRef::steal(PyErr_GetRaisedException());
  }
  return text;
}

// Reports a PanicException fetched from Python and resumes it as a failure of
// this call, without a new diagnostic.
[[noreturn]] void print_panic_and_unwind(PyRef exception) {
  std::string text = panic_text(exception.get());
  if (!write_to_stderr_locked(kResumeNotice)) {
    const int err = errno;
    raise_failure("failed printing to stderr: " + IoError::os(err).short_form(), Location::here());
  }
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  resume_failure(std::move(text));
}

}  // namespace

PyRef str_or_unprintable(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (text) return text;
  PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
  return PyRef::steal(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(object)->tp_name));
}

PyErr PyErr::type_error(std::string message) {
  return PyErr(Lazy{PyExc_TypeError, std::move(message)});
}

PyErr PyErr::type_error(PyRef message) {
  return PyErr(Lazy{PyExc_TypeError, std::move(message)});
}

PyErr PyErr::not_an_instance(PyObject* object, PyTypeObject* expected) {
  return PyErr(NotInstance{PyRef::borrow(object), expected});
}

PyErr PyErr::from_panic_payload(ReaderFailure&& failure) {
  return PyErr(Lazy{nullptr, std::move(failure.message())});
}

PyErr PyErr::memory_error(std::size_t bytes) {
  return PyErr(Memory{bytes});
}

std::optional<PyErr> PyErr::take() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_exception_type()) {
    print_panic_and_unwind(std::move(exception));
  }
  return normalized(std::move(exception));
}

PyErr PyErr::fetch() {
  if (std::optional<PyErr> error = take()) return std::move(*error);
  return PyErr(
      Lazy{PyExc_SystemError, std::string("attempted to fetch exception but none was set")});
}

void PyErr::restore() && {
  if (auto* lazy = std::get_if<Lazy>(&state_)) {
    // The type and the argument tuple are made only now.
    PyRef type = PyRef::borrow(lazy->type != nullptr ? lazy->type : panic_exception_type());
    PyRef message;
    if (auto* text = std::get_if<std::string>(&lazy->message)) {
      message = str_from(*text);
      std::string().swap(*text);
    } else {
      message = std::move(std::get<PyRef>(lazy->message));
    }
    if (!message) raise_null_object();
    PyRef args = PyRef::steal(PyTuple_New(1));
    if (!args) raise_null_object();
    PyTuple_SET_ITEM(args.get(), 0, message.release());
    if (PyExceptionClass_Check(type.get())) {
      PyErr_SetObject(type.get(), args.get());
    } else {
      PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return;
  }
  if (auto* memory = std::get_if<Memory>(&state_)) {
    if (memory->bytes == 0) {
      PyErr_NoMemory();
    } else {
      PyErr_Format(PyExc_MemoryError, "memory allocation of %zu bytes failed", memory->bytes);
    }
    return;
  }
  if (std::holds_alternative<NotInstance>(state_)) {
    PyRef exception = std::move(*this).into_exception();
    PyErr_SetRaisedException(exception.release());
    return;
  }
  PyErr_SetRaisedException(std::get<PyRef>(state_).release());
}

PyRef PyErr::into_exception() && {
  if (auto* normalized = std::get_if<PyRef>(&state_)) return std::move(*normalized);
  if (auto* mismatch = std::get_if<NotInstance>(&state_)) {
    PyObject* object = mismatch->object.get();
    PyRef expected = PyRef::steal(PyType_GetName(mismatch->expected));
    PyRef message;
    if (expected) {
      if (object == Py_None) {
        message =
            PyRef::steal(PyUnicode_FromFormat("'None' is not an instance of '%U'", expected.get()));
      } else {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
        if (!qualname) {
          PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
          qualname = str_from("<failed to extract type name>");
        }
        if (qualname) {
          message = PyRef::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%U'",
                                                      qualname.get(), expected.get()));
        }
      }
    }
    if (message) {
      PyRef exception = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
      if (exception) return exception;
    }
    return PyRef::steal(PyErr_GetRaisedException());
  }
  // Lazy and memory errors: raise them, then fetch the object they became.
  std::move(*this).restore();
  return PyRef::steal(PyErr_GetRaisedException());
}

}  // namespace tolvik
