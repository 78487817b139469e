// Taking a byte range of a line, with the text that says why it cannot be taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/utf8.h"

namespace tolvik {

inline bool is_char_boundary(std::string_view text, std::uint64_t offset) noexcept {
  return offset == 0 || offset == text.size() ||
         !is_continuation_byte(static_cast<unsigned char>(text[offset]));
}

// Stores bytes begin..end (end excluded) of `line` and returns true when
// begin <= end <= length and both offsets lie on character boundaries.
inline bool slice_bytes(std::string_view line, std::uint64_t begin, std::uint64_t end,
                        std::string_view& out) noexcept {
  if (begin > end || end > line.size() || !is_char_boundary(line, begin) ||
      !is_char_boundary(line, end)) {
    return false;
  }
  out = std::string_view(line.data() + begin, end - begin);  // in range: checked above
  return true;
}

// Why slice_bytes refused the range, e.g. "end byte index 60 is out of bounds
// for string of length 50" or "start byte index 11 is not a char boundary; it is
// inside 'é' (bytes 10..12 of string)". The line itself is never shown.
std::string slice_failure_text(std::string_view line, std::uint64_t begin, std::uint64_t end);

}  // namespace tolvik
