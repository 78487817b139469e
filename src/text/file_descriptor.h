// An open file descriptor, closed when its owner goes away.
#pragma once

#include <string_view>
#include <utility>
#include <variant>

#include "text/io_error.h"

namespace tolvik {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Opens `path` read-only and close-on-exec, repeating an interrupted open. A
// path holding a NUL character is refused before any system call.
std::variant<FileDescriptor, IoError> open_read_only(std::string_view path);

}  // namespace tolvik
