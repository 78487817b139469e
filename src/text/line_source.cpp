#include "text/line_source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "text/ascii_line.h"
#include "text/utf8.h"

namespace tolvik {

LineSource::LineSource(FileDescriptor file, std::size_t buffer_size, std::size_t stitch_room)
    : file_(std::move(file)),
      buffer_size_(buffer_size),
      stitch_room_(stitch_room),
      pos_(stitch_room),
      filled_(stitch_room) {
  buffer_.reserve_exact(stitch_room_ + buffer_size_);
}

std::optional<IoError> LineSource::read_from(std::size_t at) {
  for (;;) {
    ssize_t n = ::read(file_.get(), buffer_.data() + at, stitch_room_ + buffer_size_ - at);
    if (n >= 0) {
      filled_ = at + static_cast<std::size_t>(n);
      read_total_ += static_cast<std::size_t>(n);
      return std::nullopt;
    }
    int err = errno;
    if (!is_interrupted(err)) return IoError::os(err);
  }
}

bool LineSource::refill() {
  if (pending_error_) {
    error_ = std::exchange(pending_error_, std::nullopt);
    return false;
  }
  if (std::exchange(pending_end_, false)) {
    pos_ = filled_ = stitch_room_;
    return true;
  }
  if (std::optional<IoError> failed = read_from(stitch_room_)) {
    error_ = std::move(failed);
    return false;
  }
  pos_ = stitch_room_;
  return true;
}

bool LineSource::stitch() {
  const std::size_t kept = filled_ - pos_;
  if (pending_error_ || pending_end_ || kept == 0 || kept > stitch_room_) return false;
  // The unread bytes, moved before the buffer, stay unread whatever the read
  // gives; the buffer's own bytes are not needed again.
  std::memmove(buffer_.data() + stitch_room_ - kept, buffer_.data() + pos_, kept);
  pos_ = stitch_room_ - kept;
  filled_ = stitch_room_;
  if (std::optional<IoError> failed = read_from(stitch_room_)) {
    pending_error_ = std::move(failed);
    return false;
  }
  if (filled_ != stitch_room_) return true;
  pending_end_ = true;
  return false;
}

std::optional<std::uint64_t> LineSource::file_size() const noexcept {
  // Where the end is, then back to where the reads are. (By seeking rather
  // than by fstat, which newer C libraries export under a newer version and
  // so would narrow the systems the module runs on.) A pipe cannot seek.
  const int fd = file_.get();
  const off64_t here = ::lseek64(fd, 0, SEEK_CUR);
  if (here < 0) return std::nullopt;
  const off64_t end = ::lseek64(fd, 0, SEEK_END);
  if (::lseek64(fd, here, SEEK_SET) != here) {
    // The reads would go on from elsewhere: the next one fails instead.
    pending_error_ = IoError::os(errno == 0 ? EIO : errno);
    return std::nullopt;
  }
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

bool LineSource::top_up() {
  if (pending_error_ || pending_end_ ||
      (pos_ == stitch_room_ && filled_ == stitch_room_ + buffer_size_)) {
    return false;
  }
  const std::size_t kept = filled_ - pos_;
  std::memmove(buffer_.data() + stitch_room_, buffer_.data() + pos_, kept);
  pos_ = stitch_room_;
  const std::size_t before = stitch_room_ + kept;
  filled_ = before;
  if (std::optional<IoError> failed = read_from(before)) {
    pending_error_ = std::move(failed);
    return false;
  }
  return filled_ != before;
}

bool LineSource::skip_ascii_line() noexcept {
  const std::size_t length = ascii_line_length(buffer_.data() + pos_, filled_ - pos_);
  if (length == kNoAsciiLine) return false;
  pos_ += length + 1;
  return true;
}

LineSource::Status LineSource::next_line() {
  spill_.clear();
  bool spilled = false;
  bool ended_by_newline = false;
  std::string_view bytes;  // the collected bytes, terminator included
  for (;;) {
    if (pos_ == filled_) {
      if (!refill()) return Status::Error;  // collected bytes are dropped
      if (filled_ == pos_) break;           // end of file
    }
    const char* start = buffer_.data() + pos_;
    const std::size_t avail = filled_ - pos_;
    const void* nl = std::memchr(start, '\n', avail);
    if (nl != nullptr) {
      const std::size_t take = static_cast<const char*>(nl) - start + 1;
      pos_ += take;
      ended_by_newline = true;
      if (!spilled) {
        bytes = std::string_view(start, take);  // the whole line lies in the buffer
        break;
      }
      spill_.append(start, take);
      break;
    }
    spill_.append(start, avail);
    spilled = true;
    pos_ = filled_;
  }
  const char* room_end = buffer_.data() + filled_;  // only bytes read from the file
  if (spilled) {
    spill_.reserve_exact(kLineSlack);
    std::memset(spill_.data() + spill_.size(), 0, kLineSlack);  // read, never uninitialised
    bytes = std::string_view(spill_.data(), spill_.size());
    room_end = spill_.data() + spill_.size() + kLineSlack;
  }

  const Utf8Check check = check_utf8(bytes);
  if (check == Utf8Check::Invalid) {
    error_ = IoError::invalid_utf8();
    return Status::Error;
  }
  line_is_ascii_ = check == Utf8Check::Ascii;
  if (bytes.empty()) return Status::End;
  if (ended_by_newline) {
    bytes.remove_suffix(1);
    if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
  }
  line_ = bytes;
  line_room_ = static_cast<std::size_t>(room_end - bytes.data());
  return Status::Line;
}

}  // namespace tolvik
