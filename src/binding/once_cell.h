// A process-wide Python object created exactly once, on first need.
//
// The ready state is published with release ordering and tested with an
// acquiring read, so the common path takes no lock. A thread that finds the
// cell not ready gives up the interpreter lock before it waits for the cell
// (never waiting on the cell while holding the lock, which would deadlock with
// the creating thread), and takes the lock back to create the object or to use
// what another thread created. A failed creation leaves the cell empty, so a
// later need tries again.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "binding/attach_guard.h"

namespace tolvik {

class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The object, or null while it has not been created.
  PyObject* get() const noexcept {
    return ready_.load(std::memory_order_acquire) ? object_ : nullptr;
  }

  // The object, created with `create` (which runs with the interpreter lock held
  // and returns a new reference, owned by the cell for the rest of the process,
  // or throws) when no thread has created it yet. Borrowed result.
  template <class Create>
  PyObject* get_or_init(Create&& create) {
    if (PyObject* object = get()) return object;
    DetachScope detached;
    std::unique_lock<std::mutex> creating(mutex_);
    if (PyObject* object = get()) {
      creating.unlock();
      detached.reattach();
      return object;
    }
    // This thread creates the object; the others wait on the mutex, detached.
    detached.reattach();
    PyObject* object = create();
    object_ = object;
    ready_.store(true, std::memory_order_release);
    return object;
  }

 private:
  std::atomic<bool> ready_{false};
  PyObject* object_ = nullptr;
  std::mutex mutex_;
};

}  // namespace tolvik
