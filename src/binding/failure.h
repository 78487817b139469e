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

// Whether a failure writes its diagnostic when it is raised (the module
// `tolvik`), or only travels to the caller, which reports it its own way.
enum class Reporting { Diagnostic, Silent };

class ReaderFailure {
 public:
  ReaderFailure(std::string message, Location location, std::uint64_t line = 0, int os_error = 0)
      : message_(std::move(message)), location_(location), line_(line), os_error_(os_error) {}
  const std::string& message() const noexcept { return message_; }
  std::string& message() noexcept { return message_; }
  const Location& location() const noexcept { return location_; }
  // The 1-based number of the file's line where the read failed (for a line
  // that is missing, the number it would have had); 0 when the failure is not
  // about a line of the file.
  std::uint64_t line() const noexcept { return line_; }
  // The operating system's error number when opening or reading the file
  // failed; 0 for every other failure.
  int os_error() const noexcept { return os_error_; }

 private:
  std::string message_;
  Location location_;
  std::uint64_t line_;
  int os_error_;
};

// Writes the failure diagnostic, then throws the failure.
[[noreturn]] void raise_failure(std::string message, Location location);

// Writes the failure diagnostic when asked to, then throws the failure.
[[noreturn]] void raise_failure(ReaderFailure failure, Reporting reporting);

// Throws a failure without writing a diagnostic: for a failure that comes back
// from Python, where one has already been reported.
[[noreturn]] void resume_failure(std::string message);

// The failure of a request for a sequence whose byte size would pass 2^63 - 1,
// found at line `line` of the file.
[[noreturn]] void raise_capacity_overflow(Reporting reporting, std::uint64_t line);

}  // namespace tolvik
