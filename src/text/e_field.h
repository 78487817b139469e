// The data field as a simulation writes it, read by position: a blank or a
// sign, one digit, a point, width - 7 fraction digits, an exponent letter, the
// exponent's sign and two digits, filling the field exactly (" 1.01325E+05" and
// "-4.38112E+01" at width 12, " 1.01325678E+05" at width 15).
//
// Such a field needs no trimming: its text is the field without a leading
// blank, and its value is what parse_float32 gives for that text. Fields of any
// other shape, and the rare values that need the digits' text, are declined,
// and the caller reads them the general way.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/digit_word.h"
#include "text/parse_float.h"

namespace tolvik {

class EFieldLayout {
 public:
  // Widths 11 to 15 (4 to 8 fraction digits) have the layout; for any other
  // width every field is declined.
  explicit EFieldLayout(std::uint64_t width) noexcept;

  // Widths 11 to 15 have the layout; at any other width no field has it.
  bool has_layout() const noexcept { return fraction_digits_ != 0; }

  // Whether each of the first `count` fields of the text at `line` (count *
  // width bytes, all readable, any bytes) has the layout. Checks sixteen bytes
  // at a time; false whenever that cannot be done (fewer than sixteen bytes,
  // no layout, no SSE2), so that the caller checks field by field instead.
  bool line_matches(const char* line, std::size_t count) const noexcept;

  // Whether the field at `field` (width bytes, all readable, any bytes) has
  // the layout.
  [[gnu::always_inline]] bool matches(const char* field) const noexcept {
    if (fraction_digits_ == 0) return false;
    std::uint32_t head;  // sign or blank, lead digit, point, first fraction digit
    std::uint32_t tail;  // exponent letter, sign, two digits
    std::memcpy(&head, field, 4);
    std::memcpy(&tail, field + width_ - 4, 4);
    // The two words side by side, '0' taken off every byte: digits are
    // expected in bytes 1, 3, 6 and 7.
    const std::uint64_t t = ((std::uint64_t{tail} << 32) | head) ^ 0x3030303030303030u;
    const unsigned sign = head & 0xFF;
    const unsigned exponent_sign = (tail >> 8) & 0xFF;
    return all_digit_values(t & 0xFFFF0000FF00FF00u) &&
           all_digit_values(digit_word(field + 3, fraction_digits_)) &&
           (head & 0xFF0000) == ('.' << 16) && ((tail & 0xFF) | 0x20) == 'e' &&
           (sign == ' ' || is_sign(sign)) && is_sign(exponent_sign);
  }

  // Stores the value of the field at `field` (width bytes, all readable) and
  // returns true, or returns false when the field is not in the layout or its
  // value needs the general path.
  [[gnu::always_inline]] bool parse(const char* field, float& value) const noexcept {
    return matches(field) && shaped_value(field, value);
  }

  // parse() for a field already known to have the layout.
  [[gnu::always_inline]] bool shaped_value(const char* field, float& value) const noexcept {
    const Parts parts = shaped_parts(field);
    float magnitude;
    if (!scaled_decimal_to_float(parts.w, parts.e, magnitude)) [[unlikely]]
      return false;
    value = with_sign(magnitude, parts.sign_bit);
    return true;
  }

  // shaped_value() limited to the one-operation double shortcut: false for
  // every value beyond it.
  [[gnu::always_inline]] bool shaped_fast_value(const char* field, float& value) const noexcept {
    const Parts parts = shaped_parts(field);
    float magnitude;
    if (!fast_decimal_to_float(parts.w, parts.e, magnitude)) return false;
    value = with_sign(magnitude, parts.sign_bit);
    return true;
  }

 private:
  // A field in the layout as w * 10^e with its sign.
  struct Parts {
    std::uint64_t w;
    std::int64_t e;
    std::uint32_t sign_bit;
  };

  [[gnu::always_inline]] Parts shaped_parts(const char* field) const noexcept {
    const std::uint64_t digits = digit_word(field + 3, fraction_digits_);
    const char* const exponent = field + width_ - 3;  // its sign and two digits
    const unsigned magnitude = (static_cast<unsigned char>(exponent[1]) - unsigned{'0'}) * 10 +
                               (static_cast<unsigned char>(exponent[2]) - unsigned{'0'});
    const std::uint64_t w = (static_cast<unsigned char>(field[1]) - unsigned{'0'}) * lead_scale_ +
                            digit_word_value(digits);
    const std::int64_t e =
        (exponent[0] == '-' ? -std::int64_t{magnitude} : std::int64_t{magnitude}) -
        fraction_digits_;
    return {w, e, std::uint32_t{field[0] == '-'} << 31};
  }

  // The sign bit set without a branch: signs vary from value to value.
  static float with_sign(float magnitude, std::uint32_t sign_bit) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | sign_bit);
  }

  static bool is_sign(unsigned byte) noexcept {
    return ((byte - unsigned{'+'}) & ~2u) == 0;  // '+' or '-' (two apart)
  }

  // What sixteen bytes starting at a given offset into a field may hold: at
  // each position one of three bytes, or (where digit is 0xFF) a digit.
  struct Window {
    std::array<unsigned char, 16> first, second, third, digit;
  };

  std::uint64_t width_;
  unsigned fraction_digits_;  // 0: the width has no such layout
  std::uint64_t lead_scale_;  // 10^fraction_digits_
  std::array<Window, 15> windows_;
  std::array<unsigned char, 15> next_offset_;  // the offset sixteen bytes on
  unsigned char last_offset_;                  // where a text's last 16 bytes start
};

}  // namespace tolvik
