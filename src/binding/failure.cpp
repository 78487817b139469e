#include "binding/failure.h"

#include <cstring>

#include "binding/diagnostic.h"

namespace tolvik {
namespace {

// Where a refused sequence request is reported: the sequence allocation
// routine, outside the reader's own steps. Kept fixed, so that the diagnostic
// does not move with edits to this file.
constexpr Location kCapacityOverflow{"src/binding/failure.cpp", 26, 52};

}  // namespace

Location Location::here(std::source_location where) noexcept {
  // The compiler may see the file under an absolute path; show it from "src/".
  const char* file = where.file_name();
  if (const char* src = std::strstr(file, "src/")) file = src;
  return {file, where.line(), where.column()};
}

void raise_failure(std::string message, Location location) {
  write_failure_diagnostic(message, location);
  throw ReaderFailure(std::move(message), location);
}

void raise_failure(ReaderFailure failure, Reporting reporting) {
  if (reporting == Reporting::Diagnostic) {
    write_failure_diagnostic(failure.message(), failure.location());
  }
  throw std::move(failure);
}

void resume_failure(std::string message) {
  throw ReaderFailure(std::move(message), Location{"", 0, 0});
}

void raise_capacity_overflow(Reporting reporting, std::uint64_t line) {
  raise_failure(ReaderFailure("capacity overflow", kCapacityOverflow, line), reporting);
}

}  // namespace tolvik
