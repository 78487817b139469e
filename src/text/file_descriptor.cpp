#include "text/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tolvik {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::variant<FileDescriptor, IoError> open_read_only(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string c_path(path);
  for (;;) {
    int fd = ::open64(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return FileDescriptor(fd);
    int err = errno;
    if (!is_interrupted(err)) return IoError::os(err);
  }
}

}  // namespace tolvik
