#include "text/line_source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tolvik {

LineSource::LineSource(FileDescriptor file) : file_(std::move(file)) {
  buffer_.reserve_exact(kBufferSize);
}

bool LineSource::refill() {
  for (;;) {
    ssize_t n = ::read(file_.get(), buffer_.data(), kBufferSize);
    if (n >= 0) {
      pos_ = 0;
      filled_ = static_cast<std::size_t>(n);
      return true;
    }
    int err = errno;
    if (!is_interrupted(err)) {
      error_ = IoError::os(err);
      return false;
    }
  }
}

bool LineSource::skip_ascii_line() noexcept {
  const char* const start = buffer_.data() + pos_;
  const std::size_t avail = filled_ - pos_;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the first line feed, and any byte from 0x80 on
  // before it.
  const __m128i newline = _mm_set1_epi8('\n');
  for (std::size_t at = 0; at + 16 <= avail; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start + at));
    const auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    if (ends != 0) {
      const unsigned end = static_cast<unsigned>(__builtin_ctz(ends));
      if ((high & ((2u << end) - 1)) != 0) return false;
      pos_ += at + end + 1;
      return true;
    }
    if (high != 0) return false;
  }
  return false;
#else
  for (std::size_t at = 0; at < avail; ++at) {
    const auto byte = static_cast<unsigned char>(start[at]);
    if (byte >= 0x80) return false;
    if (byte == '\n') {
      pos_ += at + 1;
      return true;
    }
  }
  return false;
#endif
}

LineSource::Status LineSource::next_line() {
  spill_.clear();
  bool spilled = false;
  bool ended_by_newline = false;
  std::string_view bytes;  // the collected bytes, terminator included
  for (;;) {
    if (pos_ == filled_) {
      if (!refill()) return Status::Error;  // collected bytes are dropped
      if (filled_ == 0) break;              // end of file
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
  const char* room_end = buffer_.data() + kBufferSize;
  if (spilled) {
    spill_.reserve_exact(kLineSlack);
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
