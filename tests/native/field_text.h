// The text of a data field in the simulation's layout, for the native checks.
#pragma once

#include <cstdint>
#include <string>

// The field of the given width that writes the significand w (width - 6
// digits) with the written exponent x.
inline std::string field_of(unsigned width, std::uint64_t w, int x, char sign = ' ',
                            char letter = 'E') {
  const unsigned digits = width - 6;
  std::string text(digits, '0');
  for (unsigned i = digits; i-- > 0; w /= 10) text[i] = static_cast<char>('0' + w % 10);
  std::string field(1, sign);
  field += text[0];
  field += '.';
  field += text.substr(1);
  field += letter;
  field += x < 0 ? '-' : '+';
  field += static_cast<char>('0' + (x < 0 ? -x : x) / 10);
  field += static_cast<char>('0' + (x < 0 ? -x : x) % 10);
  return field;
}
