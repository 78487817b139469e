#include "binding/diagnostic.h"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tolvik {
namespace {

// Set at load; the first diagnostic that writes the backtrace hint clears it.
std::atomic<bool> FIRST_PANIC{true};

std::mutex& diagnostic_lock() {
  static std::mutex lock;
  return lock;
}

bool backtrace_requested() noexcept {
  const char* value = std::getenv(kBacktraceVariable);
  return value != nullptr && std::strcmp(value, "0") != 0;
}

// Writes all of `text` to descriptor 2, repeating interrupted and partial writes.
bool write_all(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Appends to a fixed buffer; remembers when the text did not fit.
class StackText {
 public:
  void add(std::string_view s) noexcept {
    if (s.size() > sizeof buf_ - len_) {
      overflow_ = true;
      return;
    }
    std::memcpy(buf_ + len_, s.data(), s.size());
    len_ += s.size();
  }
  bool overflow() const noexcept { return overflow_; }
  std::string_view text() const noexcept { return {buf_, len_}; }

 private:
  char buf_[512];
  std::size_t len_ = 0;
  bool overflow_ = false;
};

// Composes the diagnostic's parts in order; `sink` receives each piece.
template <class Sink>
void compose(Sink&& sink, std::string_view message, const Location& location, long tid) {
  char num[24];
  auto number = [&](unsigned long long v) {
    auto r = std::to_chars(num, num + sizeof num, v);
    sink(std::string_view(num, static_cast<std::size_t>(r.ptr - num)));
  };
  sink("\nthread '<unnamed>' (");
  number(static_cast<unsigned long long>(tid));
  sink(") panicked at ");
  sink(location.file);
  sink(":");
  number(location.line);
  sink(":");
  number(location.column);
  sink(":\n");
  sink(message);
  sink("\n");
}

void write_backtrace() noexcept {
  write_all("stack backtrace:\n");
  void* frames[64];
  int count = ::backtrace(frames, 64);
  ::backtrace_symbols_fd(frames, count, 2);
}

}  // namespace

bool write_to_stderr_locked(std::string_view text) noexcept {
  std::lock_guard<std::mutex> guard(diagnostic_lock());
  return write_all(text);
}

void write_failure_diagnostic(std::string_view message, const Location& location,
                              bool force_backtrace) noexcept {
  const bool backtrace = force_backtrace || backtrace_requested();
  const long tid = ::syscall(SYS_gettid);
  std::lock_guard<std::mutex> guard(diagnostic_lock());

  StackText text;
  compose([&](std::string_view piece) { text.add(piece); }, message, location, tid);
  // Errors while writing are ignored: the failure is raised all the same.
  if (!text.overflow()) {
    write_all(text.text());
  } else {
    compose([](std::string_view piece) { write_all(piece); }, message, location, tid);
  }

  if (backtrace) {
    write_backtrace();
  } else if (FIRST_PANIC.exchange(false)) {
    write_all("note: run with `TOLVIK_BACKTRACE=1` environment variable to display a backtrace\n");
  }
}

}  // namespace tolvik
