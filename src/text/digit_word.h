// Up to eight ASCII digits read as one 64-bit word. The word is loaded
// little-endian (the first digit in the low byte), every byte has '0' taken
// off by XOR with 0x30, and it is shifted left so that the digits fill the top
// bytes; the vacated low bytes read as leading zeros.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tolvik {

// Words read from text with memcpy hold its first byte in their low bits here
// (and in the field readers that build on these helpers).
static_assert(std::endian::native == std::endian::little, "text words are read little-endian");

// The prepared word of the `count` (1 to 8) digits at the start of `text`,
// which must have eight readable bytes.
inline std::uint64_t digit_word(const char* text, unsigned count) noexcept {
  std::uint64_t bytes;
  std::memcpy(&bytes, text, 8);
  return (bytes ^ 0x3030303030303030u) << (8 * (8 - count));
}

// Whether every byte of the prepared word is a digit value (0 to 9): its high
// nibble is 0 and its low nibble plus 6 does not carry into bit 4.
inline bool all_digit_values(std::uint64_t t) noexcept {
  return ((t & 0xF0F0F0F0F0F0F0F0u) |
          (((t & 0x0F0F0F0F0F0F0F0Fu) + 0x0606060606060606u) & 0x1010101010101010u)) == 0;
}

// The number the digit values spell, first byte most significant: pairs, then
// quads, then the two halves are combined.
inline std::uint64_t digit_word_value(std::uint64_t t) noexcept {
  t = t * 10 + (t >> 8);
  return (((t & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32))) +
          (((t >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32)))) >>
         32;
}

}  // namespace tolvik
