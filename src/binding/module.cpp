// The module definition of `tolvik` (multi-phase initialisation) and its
// execution step, which puts rust_read_tarvelo into every new module object
// and lists it in __all__.
#include <optional>

#include "binding/entry.h"
#include "binding/interned.h"
#include "binding/py_err.h"
#include "binding/python_compat.h"
#include "lib/function.h"

namespace tolvik {
namespace {

// The module's __all__ list: the existing one, or a new empty one stored on the
// module when it has none.
std::variant<PyRef, PyErr> index(PyObject* module) {
  PyObject* found = nullptr;
  int status = PyObject_GetOptionalAttr(module, interned_all(), &found);
  PyRef all = PyRef::steal(found);
  if (status < 0) return PyErr::fetch();
  if (status > 0) {
    if (!PyList_Check(all.get())) return PyErr::not_an_instance(all.get(), &PyList_Type);
    return all;
  }
  all = PyRef::steal(PyList_New(0));
  if (!all) return PyErr::fetch();
  if (PyObject_SetAttr(module, interned_all(), all.get()) < 0) return PyErr::fetch();
  return all;
}

std::optional<PyErr> add(PyObject* module, PyObject* name, PyObject* value) {
  auto all = index(module);
  if (auto* error = std::get_if<PyErr>(&all)) return std::move(*error);
  if (PyList_Append(std::get<PyRef>(all).get(), name) < 0) {
    PyRef error = PyErr::fetch().into_exception();
    PyRef text = str_or_unprintable(error.get());
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    std::string message = "could not append __name__ to __all__: ";
    message += Py_TYPE(error.get())->tp_name;
    if (utf8 != nullptr) {
      message += ": ";
      message.append(utf8, static_cast<std::size_t>(size));
    } else {
      PyErr_Clear();
    }
    raise_failure(std::move(message), Location::here());
  }
  std::get<PyRef>(all) = PyRef();
  if (PyObject_SetAttr(module, name, value) < 0) return PyErr::fetch();
  return std::nullopt;
}

std::optional<PyErr> add_function(PyObject* module, PyRef function) {
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned_name()));
  if (!name) return PyErr::fetch();
  if (!PyUnicode_Check(name.get())) return PyErr::not_an_instance(name.get(), &PyUnicode_Type);
  return add(module, name.get(), function.get());
}

std::optional<PyErr> exec_module(PyObject* module) {
  if (!PyModule_Check(module)) return PyErr::not_an_instance(module, &PyModule_Type);
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return PyErr::fetch();
  PyRef function =
      PyRef::steal(PyCMethod_New(&RUST_READ_TARVELO_DEF, module, module_name.get(), nullptr));
  module_name = PyRef();
  if (!function) return PyErr::fetch();
  return add_function(module, std::move(function));
}

int tolvik_module_exec(PyObject* module) {
  return run_entry([module] { return exec_module(module); }) ? 0 : -1;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tolvik_module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "tolvik", "", 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tolvik

PyMODINIT_FUNC PyInit_tolvik() {
  return PyModuleDef_Init(&tolvik::MODULE_DEF);
}
