#include "text/io_error.h"

#include <cstddef>

#include "text/utf8.h"

// The XSI-conformant strerror_r, exported by the GNU C library under this name
// (the plain name is the GNU variant when _GNU_SOURCE is set, as it is for C++).
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace tolvik {

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
      // clang-format off
    case ErrorKind::NotFound: return "NotFound";
    case ErrorKind::PermissionDenied: return "PermissionDenied";
    case ErrorKind::ConnectionRefused: return "ConnectionRefused";
    case ErrorKind::ConnectionReset: return "ConnectionReset";
    case ErrorKind::HostUnreachable: return "HostUnreachable";
    case ErrorKind::NetworkUnreachable: return "NetworkUnreachable";
    case ErrorKind::ConnectionAborted: return "ConnectionAborted";
    case ErrorKind::NotConnected: return "NotConnected";
    case ErrorKind::AddrInUse: return "AddrInUse";
    case ErrorKind::AddrNotAvailable: return "AddrNotAvailable";
    case ErrorKind::NetworkDown: return "NetworkDown";
    case ErrorKind::BrokenPipe: return "BrokenPipe";
    case ErrorKind::AlreadyExists: return "AlreadyExists";
    case ErrorKind::WouldBlock: return "WouldBlock";
    case ErrorKind::NotADirectory: return "NotADirectory";
    case ErrorKind::IsADirectory: return "IsADirectory";
    case ErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case ErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
    case ErrorKind::FilesystemLoop: return "FilesystemLoop";
    case ErrorKind::StaleNetworkFileHandle: return "StaleNetworkFileHandle";
    case ErrorKind::InvalidInput: return "InvalidInput";
    case ErrorKind::InvalidData: return "InvalidData";
    case ErrorKind::TimedOut: return "TimedOut";
    case ErrorKind::WriteZero: return "WriteZero";
    case ErrorKind::StorageFull: return "StorageFull";
    case ErrorKind::NotSeekable: return "NotSeekable";
    case ErrorKind::QuotaExceeded: return "QuotaExceeded";
    case ErrorKind::FileTooLarge: return "FileTooLarge";
    case ErrorKind::ResourceBusy: return "ResourceBusy";
    case ErrorKind::ExecutableFileBusy: return "ExecutableFileBusy";
    case ErrorKind::Deadlock: return "Deadlock";
    case ErrorKind::CrossesDevices: return "CrossesDevices";
    case ErrorKind::TooManyLinks: return "TooManyLinks";
    case ErrorKind::InvalidFilename: return "InvalidFilename";
    case ErrorKind::ArgumentListTooLong: return "ArgumentListTooLong";
    case ErrorKind::Interrupted: return "Interrupted";
    case ErrorKind::Unsupported: return "Unsupported";
    case ErrorKind::OutOfMemory: return "OutOfMemory";
    case ErrorKind::InProgress: return "InProgress";
    case ErrorKind::TooManyOpenFiles: return "TooManyOpenFiles";
    case ErrorKind::Uncategorized: return "Uncategorized";
      // clang-format on
  }
  return "Uncategorized";
}

ErrorKind decode_error_kind(int errnum) noexcept {
  switch (errnum) {
      // clang-format off
    case 1: return ErrorKind::PermissionDenied;         // EPERM
    case 2: return ErrorKind::NotFound;                 // ENOENT
    case 4: return ErrorKind::Interrupted;              // EINTR
    case 7: return ErrorKind::ArgumentListTooLong;      // E2BIG
    case 11: return ErrorKind::WouldBlock;              // EAGAIN
    case 12: return ErrorKind::OutOfMemory;             // ENOMEM
    case 13: return ErrorKind::PermissionDenied;        // EACCES
    case 16: return ErrorKind::ResourceBusy;            // EBUSY
    case 17: return ErrorKind::AlreadyExists;           // EEXIST
    case 18: return ErrorKind::CrossesDevices;          // EXDEV
    case 20: return ErrorKind::NotADirectory;           // ENOTDIR
    case 21: return ErrorKind::IsADirectory;            // EISDIR
    case 22: return ErrorKind::InvalidInput;            // EINVAL
    case 23: return ErrorKind::TooManyOpenFiles;        // ENFILE
    case 24: return ErrorKind::TooManyOpenFiles;        // EMFILE
    case 26: return ErrorKind::ExecutableFileBusy;      // ETXTBSY
    case 27: return ErrorKind::FileTooLarge;            // EFBIG
    case 28: return ErrorKind::StorageFull;             // ENOSPC
    case 29: return ErrorKind::NotSeekable;             // ESPIPE
    case 30: return ErrorKind::ReadOnlyFilesystem;      // EROFS
    case 31: return ErrorKind::TooManyLinks;            // EMLINK
    case 32: return ErrorKind::BrokenPipe;              // EPIPE
    case 35: return ErrorKind::Deadlock;                // EDEADLK
    case 36: return ErrorKind::InvalidFilename;         // ENAMETOOLONG
    case 38: return ErrorKind::Unsupported;             // ENOSYS
    case 39: return ErrorKind::DirectoryNotEmpty;       // ENOTEMPTY
    case 40: return ErrorKind::FilesystemLoop;          // ELOOP
    case 95: return ErrorKind::Unsupported;             // EOPNOTSUPP
    case 98: return ErrorKind::AddrInUse;               // EADDRINUSE
    case 99: return ErrorKind::AddrNotAvailable;        // EADDRNOTAVAIL
    case 100: return ErrorKind::NetworkDown;            // ENETDOWN
    case 101: return ErrorKind::NetworkUnreachable;     // ENETUNREACH
    case 103: return ErrorKind::ConnectionAborted;      // ECONNABORTED
    case 104: return ErrorKind::ConnectionReset;        // ECONNRESET
    case 107: return ErrorKind::NotConnected;           // ENOTCONN
    case 110: return ErrorKind::TimedOut;               // ETIMEDOUT
    case 111: return ErrorKind::ConnectionRefused;      // ECONNREFUSED
    case 113: return ErrorKind::HostUnreachable;        // EHOSTUNREACH
    case 115: return ErrorKind::InProgress;             // EINPROGRESS
    case 116: return ErrorKind::StaleNetworkFileHandle; // ESTALE
    case 122: return ErrorKind::QuotaExceeded;          // EDQUOT
    default: return ErrorKind::Uncategorized;
      // clang-format on
  }
}

std::string system_error_text(int errnum) {
  char buf[128] = {};
  // On failure the buffer may hold a partial text or nothing; either is shown.
  (void)__xpg_strerror_r(errnum, buf, sizeof buf);
  buf[sizeof buf - 1] = '\0';
  std::string text;
  append_utf8_lossy(text, std::string_view(buf));
  return text;
}

std::string IoError::describe() const {
  std::string out;
  if (is_os()) {
    out = "Os { code: ";
    out += std::to_string(errnum_);
    out += ", kind: ";
    out += kind_name(kind());
    out += ", message: \"";
    out += system_error_text(errnum_);
    out += "\" }";
  } else {
    out = "Error { kind: ";
    out += kind_name(fixed_kind_);
    out += ", message: \"";
    out += fixed_text_;
    out += "\" }";
  }
  return out;
}

std::string IoError::short_form() const {
  if (!is_os()) return std::string(fixed_text_);
  std::string out = system_error_text(errnum_);
  out += " (os error ";
  out += std::to_string(errnum_);
  out += ')';
  return out;
}

}  // namespace tolvik
