// The module `tolvik_arrays._reader` (multi-phase initialisation): its
// execution step creates the FloatBuffer type and looks up PlotFormatError,
// both kept in the module's state; read_plot_file comes from the method table.
#include <Python.h>

#include "binding/py_ref.h"
#include "binding/python_compat.h"
#include "binding_arrays/float_buffer.h"
#include "binding_arrays/module_state.h"
#include "binding_arrays/read_call.h"

namespace tolvik::arrays {
namespace {

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  PyObject* type = PyType_FromModuleAndSpec(module, &FLOAT_BUFFER_SPEC, nullptr);
  if (type == nullptr) return -1;
  state->float_buffer = reinterpret_cast<PyTypeObject*>(type);
  if (PyModule_AddType(module, state->float_buffer) < 0) return -1;

  PyRef errors = PyRef::steal(PyImport_ImportModule("tolvik_arrays._errors"));
  if (!errors) return -1;
  state->format_error = PyObject_GetAttrString(errors.get(), "PlotFormatError");
  return state->format_error == nullptr ? -1 : 0;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  Py_VISIT(state->float_buffer);
  Py_VISIT(state->format_error);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* state = module_state(module);
  Py_CLEAR(state->float_buffer);
  Py_CLEAR(state->format_error);
  return 0;
}

void free_module(void* module) {
  clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "tolvik_arrays._reader",
    "The native reader under tolvik_arrays: plot files into float32 buffers.",
    sizeof(ModuleState),
    READER_METHODS,
    SLOTS,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace tolvik::arrays

PyMODINIT_FUNC PyInit__reader() {
  return PyModuleDef_Init(&tolvik::arrays::MODULE_DEF);
}
