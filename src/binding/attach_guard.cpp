#include "binding/attach_guard.h"

#include <Python.h>

#include <cstdlib>

#include "binding/diagnostic.h"

namespace tolvik {

thread_local long ATTACH_COUNT = 0;

DetachScope::DetachScope() noexcept : saved_count_(ATTACH_COUNT) {
  ATTACH_COUNT = 0;
  thread_state_ = PyEval_SaveThread();
}

void DetachScope::reattach() noexcept {
  if (thread_state_ == nullptr) return;
  PyEval_RestoreThread(static_cast<PyThreadState*>(thread_state_));
  thread_state_ = nullptr;
  ATTACH_COUNT = saved_count_;
}

void PanicTrap::fire() const noexcept {
  write_failure_diagnostic(message_, Location::here(), /*force_backtrace=*/true);
  write_to_stderr_locked("tolvik: fatal error: a failure escaped the module's entry; aborting\n");
  std::abort();
}

}  // namespace tolvik
