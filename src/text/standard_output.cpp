#include "text/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>

#include "binding/failure.h"
#include "text/io_error.h"

namespace tolvik {
namespace {

std::optional<IoError> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      int err = errno;
      if (is_interrupted(err)) continue;
      return IoError::os(err);
    }
    if (n == 0) return IoError::write_zero();
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

}  // namespace

void print_stdout(std::string_view line) {
  static std::mutex lock;
  std::optional<IoError> error;
  {
    std::lock_guard<std::mutex> guard(lock);
    error = write_all(1, line);
  }
  if (error) raise_failure("failed printing to stdout: " + error->short_form(), Location::here());
}

}  // namespace tolvik
