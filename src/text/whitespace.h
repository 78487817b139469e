// The whitespace set (the 25 code points of the Unicode White_Space property),
// tokenising on it and trimming with it.
#pragma once

#include <string_view>

namespace tolvik {

bool is_whitespace(char32_t c) noexcept;

// Yields the non-empty, whitespace-free pieces of a well-formed UTF-8 text in
// order; runs of whitespace separate, leading and trailing whitespace yield nothing.
class SplitWhitespace {
 public:
  explicit SplitWhitespace(std::string_view text) noexcept : rest_(text) {}
  // Stores the next token and returns true, or returns false when none is left.
  bool next(std::string_view& token) noexcept;

 private:
  std::string_view rest_;
};

inline SplitWhitespace split_whitespace(std::string_view text) noexcept {
  return SplitWhitespace(text);
}

// Trims any whitespace, ASCII or not; trim_whitespace's general case.
std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

inline bool is_ascii_whitespace(unsigned char b) noexcept {
  return b == ' ' || static_cast<unsigned char>(b - 0x09) < 5;  // TAB, LF, VT, FF, CR
}

// The ASCII text without ASCII whitespace at its start and end.
inline std::string_view trim_ascii_whitespace(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_ascii_whitespace(bytes[begin])) ++begin;
  while (end > begin && is_ascii_whitespace(bytes[end - 1])) --end;
  return std::string_view(text.data() + begin, end - begin);
}

// The text without whitespace at its start and end (well-formed UTF-8 in and
// out). Data fields are padded with ASCII blanks, so those are taken off here
// and only a field that then starts or ends with a non-ASCII byte goes on to
// the general case.
inline std::string_view trim_whitespace(std::string_view text) noexcept {
  text = trim_ascii_whitespace(text);
  if (!text.empty() && (static_cast<unsigned char>(text.front()) >= 0x80 ||
                        static_cast<unsigned char>(text.back()) >= 0x80)) {
    return trim_unicode_whitespace(text);
  }
  return text;
}

}  // namespace tolvik
