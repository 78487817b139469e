#include "text/whitespace.h"

#include "text/utf8.h"

namespace tolvik {
namespace {

// Byte length of the whitespace character at `pos`, or 0 when there is none.
std::size_t whitespace_at(std::string_view text, std::size_t pos) noexcept {
  const auto b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80) return is_ascii_whitespace(b) ? 1 : 0;
  DecodedChar d = decode_char_at(text, pos);
  return is_whitespace(d.code) ? d.length : 0;
}

}  // namespace

bool is_whitespace(char32_t c) noexcept {
  switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool SplitWhitespace::next(std::string_view& token) noexcept {
  std::size_t pos = 0;
  while (pos < rest_.size()) {
    std::size_t w = whitespace_at(rest_, pos);
    if (w == 0) break;
    pos += w;
  }
  if (pos == rest_.size()) {
    rest_ = {};
    return false;
  }
  std::size_t end = pos;
  while (end < rest_.size() && whitespace_at(rest_, end) == 0) {
    end += decode_char_at(rest_, end).length;
  }
  token = rest_.substr(pos, end - pos);
  rest_.remove_prefix(end);
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t w = whitespace_at(text, begin);
    if (w == 0) break;
    begin += w;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const auto b = static_cast<unsigned char>(text[end - 1]);
    if (b < 0x80) {
      if (!is_ascii_whitespace(b)) break;
      --end;
      continue;
    }
    DecodedChar d = decode_last_char(text.substr(0, end));
    if (!is_whitespace(d.code)) break;
    end -= d.length;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tolvik
