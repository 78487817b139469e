#include "binding/failure.h"

#include <cstring>

#include "binding/diagnostic.h"

namespace tolvik {

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

void resume_failure(std::string message) {
  throw ReaderFailure(std::move(message), Location{"", 0, 0});
}

void raise_capacity_overflow() {
  raise_failure("capacity overflow", Location::here());
}

}  // namespace tolvik
