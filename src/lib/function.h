// The method record of rust_read_tarvelo: name, C entry, calling convention
// and docstring (whose first lines give the interpreter the text signature).
#pragma once

#include <Python.h>

namespace tolvik {

extern PyMethodDef RUST_READ_TARVELO_DEF;

}  // namespace tolvik
