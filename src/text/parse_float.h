// Reading a data field as a 32-bit float.
//
// Grammar (the field is already trimmed; nothing inside it is trimmed again):
//   [+|-] ( digits [ "." digits ] | "." digits ) [ (e|E) [+|-] digits ]
//   [+|-] ( INF | INFINITY | NAN )          -- ASCII case-insensitive
// with at least one digit in the mantissa. Nothing else is a number.
//
// The value is the exact decimal value rounded once to the nearest float,
// ties to even, subnormals included; a negative value that rounds to zero is
// -0.0. NAN gives the quiet NaN 0x7FC00000 (0xFFC00000 with a "-").
// An exponent digit is taken into the exponent's value only while that value
// is below 65536; later exponent digits must still be digits but are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/fast_decimal.h"

namespace tolvik {

enum class FloatErrorKind { Empty, Invalid };

struct ParseFloatError {
  FloatErrorKind kind;
};

// "ParseFloatError { kind: Empty }" or "ParseFloatError { kind: Invalid }".
std::string_view describe(ParseFloatError error) noexcept;

// Stores the number's value and returns true, or stores the kind of error and
// returns false: Empty for empty text, Invalid for anything else that is not a
// number. Any length of text is accepted; nothing is allocated. (Results go
// through references rather than a returned struct so that the float travels
// in memory as a float on the path of every data field.)
bool parse_float32(std::string_view text, float& value, ParseFloatError& error) noexcept;

// scaled_decimal_to_float's cases beyond the double shortcut: the 128-bit
// power-of-five product.
bool scaled_decimal_by_product(std::uint64_t w, std::int64_t e, float& value) noexcept;

// w * 10^e rounded as parse_float32 rounds, for a w of at most 19 digits:
// stores it and returns true, or returns false in the rare cases that need
// the text's digits (the caller then parses the text).
[[gnu::always_inline]] inline bool scaled_decimal_to_float(std::uint64_t w, std::int64_t e,
                                                           float& value) noexcept {
  return fast_decimal_to_float(w, e, value) || scaled_decimal_by_product(w, e, value);
}

}  // namespace tolvik
