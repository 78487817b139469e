// The data field as a simulation writes it, read by position: a blank or a
// sign, one digit, a point, width - 7 fraction digits, an exponent letter, the
// exponent's sign and two digits, filling the field exactly (" 1.01325E+05" and
// "-4.38112E+01" at width 12, " 1.01325678E+05" at width 15).
//
// Such a field needs no trimming: its text is the field without a leading
// blank, and its value is what parse_float32 gives for that text. Fields of any
// other shape, and values outside the double shortcut of fast_decimal.h, are
// declined, and the caller reads them the general way.
#pragma once

#include <cstdint>
#include <cstring>

#include "text/digit_word.h"
#include "text/fast_decimal.h"

namespace tolvik {

class EFieldLayout {
 public:
  // Widths 11 to 15 (4 to 8 fraction digits) have the layout; for any other
  // width every field is declined.
  explicit constexpr EFieldLayout(std::uint64_t width) noexcept
      : width_(width),
        fraction_digits_(width >= 11 && width <= 15 ? static_cast<unsigned>(width - 7) : 0) {}

  // Stores the value of the field at `field` (width bytes, all readable) and
  // returns true, or returns false when the field is not in the layout or its
  // value needs the general path.
  [[gnu::always_inline]] bool parse(const char* field, float& value) const noexcept {
    if (fraction_digits_ == 0) return false;
    std::uint32_t head;  // sign or blank, lead digit, point, first fraction digit
    std::uint32_t tail;  // exponent letter, sign, two digits
    std::uint64_t fraction;
    std::memcpy(&head, field, 4);
    std::memcpy(&tail, field + width_ - 4, 4);
    std::memcpy(&fraction, field + 3, 8);  // the fraction digits first (little-endian)

    const unsigned sign = head & 0xFF;
    const unsigned lead = ((head >> 8) & 0xFF) - unsigned{'0'};
    const unsigned point = (head >> 16) & 0xFF;
    const unsigned letter = (tail & 0xFF) | 0x20;
    const unsigned exponent_sign = (tail >> 8) & 0xFF;
    const unsigned tens = ((tail >> 16) & 0xFF) - unsigned{'0'};
    const unsigned ones = (tail >> 24) - unsigned{'0'};

    const unsigned shift = 8 * (8 - fraction_digits_);
    const std::uint64_t t = (fraction ^ 0x3030303030303030u) << shift;

    const bool shaped = (sign == ' ' || sign == '-' || sign == '+') & (lead < 10) & (point == '.') &
                        (letter == 'e') & (exponent_sign == '+' || exponent_sign == '-') &
                        (tens < 10) & (ones < 10) & all_digit_values(t);
    if (!shaped) return false;

    const std::uint64_t w = lead * kPowersOfTen[fraction_digits_] + digit_word_value(t);
    const auto magnitude = static_cast<std::int64_t>(tens * 10 + ones);
    const std::int64_t exponent = exponent_sign == '-' ? -magnitude : magnitude;
    float magnitude_value;
    if (!fast_decimal_to_float(w, exponent - fraction_digits_, magnitude_value)) return false;
    value = sign == '-' ? -magnitude_value : magnitude_value;
    return true;
  }

 private:
  static constexpr std::uint64_t kPowersOfTen[9] = {1,      10,      100,      1000,     10000,
                                                    100000, 1000000, 10000000, 100000000};

  std::uint64_t width_;
  unsigned fraction_digits_;  // 0: the width has no such layout
};

}  // namespace tolvik
