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

// The text without whitespace at its start and end (well-formed UTF-8 in and out).
std::string_view trim_whitespace(std::string_view text) noexcept;

}  // namespace tolvik
