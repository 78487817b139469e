// The interpreter's C interface as the module uses it, on every CPython from
// 3.11 on. The code is written against the newest interface; on an older
// interpreter each call it lacks is defined here in terms of what that
// interpreter has, with the same contract, so that behaviour is the same on
// every version.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// PyErr_GetRaisedException (3.12): fetches and clears the pending exception as
// one normalised object carrying its traceback, or null when none is pending.
// Before 3.12 the interpreter keeps the exception as a (type, value,
// traceback) triple whose value may not be an instance yet.
inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
  return value;
}

// PyErr_SetRaisedException (3.12): makes an exception object the pending
// exception, taking over the reference; null clears the pending exception.
inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// PyObject_GetOptionalAttr (3.13): 1 with a new reference in *result when the
// attribute exists, 0 with *result null when the lookup fails with an
// AttributeError (which is dropped), -1 with the exception pending otherwise.
inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
  *result = PyObject_GetAttr(object, name);
  if (*result != nullptr) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}
#endif

#ifndef Py_mod_gil
// Py_mod_gil (3.13): the module definition's slot that declares that the
// module does not need the global interpreter lock. Older interpreters have no
// lock to opt out of and refuse slot ids they do not know, so there the entry
// {Py_mod_gil, Py_MOD_GIL_NOT_USED} becomes {0, nullptr}, an early end of the
// slot table.
#define Py_mod_gil 0
#define Py_MOD_GIL_NOT_USED nullptr
#endif
