// Detail of run_entry; included by entry.h only.
#pragma once

#include <new>
#include <optional>

#include "binding/attach_guard.h"
#include "binding/failure.h"
#include "text/growable.h"

namespace tolvik {

inline constexpr std::string_view kTrapMessage = "uncaught panic at ffi boundary";

template <class Body>
bool run_entry(Body&& body) {
  const PanicTrap trap(kTrapMessage);
  try {
    AttachGuard guard;
    std::optional<PyErr> error;
    try {
      error = body();
    } catch (ReaderFailure& failure) {
      error = PyErr::from_panic_payload(std::move(failure));
    } catch (const OutOfMemory& oom) {
      error = PyErr::memory_error(oom.bytes);
    } catch (const std::bad_alloc&) {
      error = PyErr::memory_error(0);
    }
    if (!error) return true;
    std::move(*error).restore();
    return false;
  } catch (...) {
    trap.fire();
  }
}

}  // namespace tolvik
