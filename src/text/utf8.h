// UTF-8 well-formedness, decoding of single characters and lossy repair.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvik {

enum class Utf8Check { Invalid, Ascii, Multibyte };

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF, no stray or missing continuation bytes), and if so
// whether they are plain ASCII, where every byte offset is a character boundary.
Utf8Check check_utf8(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept {
  return check_utf8(bytes) != Utf8Check::Invalid;
}

inline bool is_continuation_byte(unsigned char b) noexcept {
  return (b & 0xC0) == 0x80;
}

struct DecodedChar {
  char32_t code;
  std::size_t length;  // bytes
};

// Decodes the character starting at `pos` of well-formed UTF-8 text.
DecodedChar decode_char_at(std::string_view text, std::size_t pos) noexcept;

// Decodes the last character of well-formed, non-empty UTF-8 text.
DecodedChar decode_last_char(std::string_view text) noexcept;

// Appends `c` encoded as UTF-8.
void append_utf8(std::string& out, char32_t c);

// Appends `bytes`, replacing every maximal invalid subsequence with U+FFFD.
void append_utf8_lossy(std::string& out, std::string_view bytes);

}  // namespace tolvik
