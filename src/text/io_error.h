// Errors of operations on files: opening or reading the plot file, writing to
// standard output. Each has a kind and either an operating-system error number
// or a fixed message, and describes itself on one line.
#pragma once

#include <string>
#include <string_view>

namespace tolvik {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  OutOfMemory,
  InProgress,
  TooManyOpenFiles,
  Uncategorized,
};

std::string_view kind_name(ErrorKind kind) noexcept;

// The kind of a Linux error number; Uncategorized for every unlisted number.
ErrorKind decode_error_kind(int errnum) noexcept;

inline bool is_interrupted(int errnum) noexcept {
  return errnum == 4;
}

// The platform's text for an error number: strerror_r into a zeroed 128-byte
// buffer, cut at its first NUL, invalid UTF-8 replaced with U+FFFD.
std::string system_error_text(int errnum);

class IoError {
 public:
  static IoError os(int errnum) noexcept { return IoError(errnum, ErrorKind::Uncategorized, {}); }
  // `text` must be a static string.
  static IoError fixed(ErrorKind kind, std::string_view text) noexcept {
    return IoError(0, kind, text);
  }

  static IoError invalid_utf8() noexcept {
    return fixed(ErrorKind::InvalidData, "stream did not contain valid UTF-8");
  }
  static IoError nul_in_path() noexcept {
    return fixed(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
  static IoError write_zero() noexcept {
    return fixed(ErrorKind::WriteZero, "failed to write whole buffer");
  }

  ErrorKind kind() const noexcept { return is_os() ? decode_error_kind(errnum_) : fixed_kind_; }
  // The operating system's error number; 0 for an error with a fixed message.
  int os_error() const noexcept { return is_os() ? errnum_ : 0; }

  // Record form: Os { code: 2, kind: NotFound, message: "..." } or
  // Error { kind: InvalidData, message: "..." }.
  std::string describe() const;
  // Short form: "Broken pipe (os error 32)", or the fixed text alone.
  std::string short_form() const;

 private:
  IoError(int errnum, ErrorKind kind, std::string_view text) noexcept
      : errnum_(errnum), fixed_kind_(kind), fixed_text_(text) {}
  bool is_os() const noexcept { return fixed_text_.data() == nullptr; }

  int errnum_;
  ErrorKind fixed_kind_;
  std::string_view fixed_text_;  // null data for an operating-system error
};

}  // namespace tolvik
