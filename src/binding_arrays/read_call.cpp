#include "binding_arrays/read_call.h"

#include <cerrno>
#include <new>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/failure.h"
#include "binding/py_ref.h"
#include "binding_arrays/float_buffer.h"
#include "binding_arrays/module_state.h"
#include "binding_arrays/unlocked.h"
#include "lib/plot_reader.h"

namespace tolvik::arrays {
namespace {

using ReadOutcome = std::variant<PlotArrays, ReaderFailure, OutOfMemory>;

// The whole read, with the interpreter lock given up: touches no Python
// object, and every failure comes back as a value.
ReadOutcome read_unlocked(std::string_view path, std::uint64_t n_digits) noexcept {
  const InterpreterUnlocked unlocked;
  try {
    return read_plot_arrays(path, n_digits);
  } catch (ReaderFailure& failure) {
    return std::move(failure);
  } catch (const OutOfMemory& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return OutOfMemory{0};
  }
}

// The field width: an int from 1 to 2**64 - 1.
bool field_width(PyObject* value, std::uint64_t& width) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "n_digits must be an int, not %.200s", Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && small < 1)) {
    PyErr_SetString(PyExc_ValueError, "n_digits must be at least 1");
    return false;
  }
  if (overflow == 0) {
    width = static_cast<std::uint64_t>(small);
    return true;
  }
  width = PyLong_AsUnsignedLongLong(value);
  if (width == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
    PyErr_SetString(PyExc_OverflowError, "n_digits must be at most 2**64 - 1");
    return false;
  }
  return true;
}

PyObject* names_tuple(const std::vector<std::string>& names) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name =
        PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "strict");
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple.release();
}

PyObject* result(const ModuleState& state, PlotArrays&& arrays) {
  const std::size_t rows = arrays.names.size() - 1;
  PyRef names = PyRef::steal(names_tuple(arrays.names));
  if (!names) return nullptr;
  std::vector<std::string>().swap(arrays.names);
  PyRef times = new_float_buffer(state.float_buffer, std::move(arrays.times), arrays.blocks);
  if (!times) return nullptr;
  PyRef values =
      new_float_buffer(state.float_buffer, std::move(arrays.values), rows * arrays.blocks);
  if (!values) return nullptr;
  return PyTuple_Pack(3, names.get(), times.get(), values.get());
}

// Raises the exception for a failed read of the file at `path` (str or bytes).
void raise_read_failure(const ModuleState& state, PyObject* path, const ReaderFailure& failure) {
  if (failure.os_error() != 0) {
    errno = failure.os_error();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return;
  }
  PyRef text = PyBytes_Check(path) ? PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                                         PyBytes_AS_STRING(path), PyBytes_GET_SIZE(path)))
                                   : PyRef::borrow(path);
  if (!text) return;
  PyRef line = PyRef::steal(PyLong_FromUnsignedLongLong(failure.line()));
  if (!line) return;
  const std::string& message = failure.message();
  PyRef message_text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!message_text) return;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(state.format_error, text.get(),
                                                          line.get(), message_text.get(), nullptr));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

PyObject* read_plot_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "read_plot_file() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  // As open() takes a path: os.fspath first, then the file system encoding.
  PyRef path = PyRef::steal(PyOS_FSPath(args[0]));
  if (!path) return nullptr;
  PyObject* encoded_object = nullptr;
  if (!PyUnicode_FSConverter(path.get(), &encoded_object)) return nullptr;
  PyRef encoded = PyRef::steal(encoded_object);
  std::uint64_t n_digits;
  if (!field_width(args[1], n_digits)) return nullptr;

  ReadOutcome outcome =
      read_unlocked(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))),
                    n_digits);
  const ModuleState& state = *module_state(module);
  if (auto* arrays = std::get_if<PlotArrays>(&outcome)) return result(state, std::move(*arrays));
  if (auto* failure = std::get_if<ReaderFailure>(&outcome)) {
    raise_read_failure(state, path.get(), *failure);
    return nullptr;
  }
  return PyErr_NoMemory();
}

}  // namespace

PyMethodDef READER_METHODS[] = {
    {
        "read_plot_file",
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_plot_file)),
        METH_FASTCALL,
        "read_plot_file(path, n_digits, /)\n--\n\n"
        "Read a plot file into float32 buffers: (names, times, values).\n\n"
        "The interpreter lock is given up while the file is read. Raises the\n"
        "OSError of the error number when the file cannot be opened or read,\n"
        "PlotFormatError(path, line, message) when its content breaks the format,\n"
        "MemoryError when memory cannot be had.",
    },
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tolvik::arrays
