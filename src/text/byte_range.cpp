#include "text/byte_range.h"

#include "text/char_display.h"

namespace tolvik {
namespace {

std::string inside_char_text(std::string_view line, const char* which, std::uint64_t offset) {
  std::size_t from = offset;
  while (!is_char_boundary(line, from)) --from;
  const DecodedChar ch = decode_char_at(line, from);
  std::string out = which;
  out += " byte index ";
  out += std::to_string(offset);
  out += " is not a char boundary; it is inside ";
  append_char_display(out, ch.code);
  out += " (bytes ";
  out += std::to_string(from);
  out += "..";
  out += std::to_string(from + ch.length);
  out += " of string)";
  return out;
}

}  // namespace

std::string slice_failure_text(std::string_view line, std::uint64_t begin, std::uint64_t end) {
  const std::string len = std::to_string(line.size());
  if (begin > line.size()) {
    return "start byte index " + std::to_string(begin) + " is out of bounds for string of length " +
           len;
  }
  if (end > line.size()) {
    return "end byte index " + std::to_string(end) + " is out of bounds for string of length " +
           len;
  }
  if (begin > end) {
    return "byte range starts at " + std::to_string(begin) + " but ends at " + std::to_string(end);
  }
  if (!is_char_boundary(line, begin)) return inside_char_text(line, "start", begin);
  return inside_char_text(line, "end", end);
}

}  // namespace tolvik
