// Attribute names made once per process as interned strings.
#pragma once

#include <Python.h>

namespace tolvik {

PyObject* interned_all();   // "__all__", borrowed
PyObject* interned_name();  // "__name__", borrowed

}  // namespace tolvik
