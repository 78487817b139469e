// Failures of the module's own logic. A failure is raised at its point with a
// message and a location: the failure diagnostic goes to standard error at
// once, then the failure unwinds as a C++ exception (releasing everything the
// read holds on the way) to the entry, which turns it into a PanicException.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

namespace tolvik {

struct Location {
  const char* file;
  std::uint32_t line;
  std::uint32_t column;

  // The position of the caller in this project's sources (path from "src/").
  static Location here(std::source_location where = std::source_location::current()) noexcept;
};

// Where the reader's own failures are reported: "src/lib" with the line and
// column of the failing step.
constexpr Location reader_location(std::uint32_t line, std::uint32_t column) noexcept {
  return {"src/lib", line, column};
}

class ReaderFailure {
 public:
  ReaderFailure(std::string message, Location location)
      : message_(std::move(message)), location_(location) {}
  const std::string& message() const noexcept { return message_; }
  std::string& message() noexcept { return message_; }
  const Location& location() const noexcept { return location_; }

 private:
  std::string message_;
  Location location_;
};

// Writes the failure diagnostic, then throws the failure.
[[noreturn]] void raise_failure(std::string message, Location location);

// Throws a failure without writing a diagnostic: for a failure that comes back
// from Python, where one has already been reported.
[[noreturn]] void resume_failure(std::string message);

// The failure of a request for a sequence whose byte size would pass 2^63 - 1.
[[noreturn]] void raise_capacity_overflow();

}  // namespace tolvik
