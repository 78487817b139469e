// Bookkeeping around every entry from the interpreter.
#pragma once

#include <string_view>

namespace tolvik {

// How deeply the current thread is inside the module's entries; held at 0
// while the thread has given up the interpreter lock.
extern thread_local long ATTACH_COUNT;

// Raised on entry, lowered on every way out. The interpreter calls the entries
// with its lock held, so the guard never acquires it.
class AttachGuard {
 public:
  AttachGuard() noexcept { ++ATTACH_COUNT; }
  AttachGuard(const AttachGuard&) = delete;
  AttachGuard& operator=(const AttachGuard&) = delete;
  ~AttachGuard() { --ATTACH_COUNT; }
};

// Gives the interpreter lock up for the lifetime of the object, with the
// attach count held at 0 meanwhile; reattach() takes it back early.
class DetachScope {
 public:
  DetachScope() noexcept;
  DetachScope(const DetachScope&) = delete;
  DetachScope& operator=(const DetachScope&) = delete;
  ~DetachScope() { reattach(); }
  void reattach() noexcept;

 private:
  void* thread_state_;
  long saved_count_;
};

// Armed for the whole of an entry. A failure that escapes everything the entry
// catches cannot be reported to Python: fire() writes its diagnostic and ends
// the process with an abort.
class PanicTrap {
 public:
  explicit PanicTrap(std::string_view message) noexcept : message_(message) {}
  [[noreturn]] void fire() const noexcept;

 private:
  std::string_view message_;
};

}  // namespace tolvik
