// Gives up the interpreter lock (where the interpreter has one) for the life
// of the guard: other Python threads run meanwhile. No Python object may be
// touched while it is given up.
#pragma once

#include <Python.h>

namespace tolvik::arrays {

class InterpreterUnlocked {
 public:
  InterpreterUnlocked() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace tolvik::arrays
