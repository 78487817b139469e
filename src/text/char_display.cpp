#include "text/char_display.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace tolvik {
namespace {

struct CodeRange {
  char32_t first;
  char32_t last;
};

// Sorted, disjoint ranges of code points that are shown escaped.
constexpr CodeRange kEscaped[] = {
#include "text/unicode_tables.inc"
};

constexpr bool is_sorted_and_disjoint() {
  for (std::size_t i = 0; i < std::size(kEscaped); ++i) {
    if (kEscaped[i].first > kEscaped[i].last) return false;
    if (i > 0 && kEscaped[i - 1].last >= kEscaped[i].first) return false;
  }
  return true;
}
static_assert(is_sorted_and_disjoint(), "unicode_tables.inc must be sorted and disjoint");

bool is_escaped(char32_t c) {
  if (c > 0x10FFFF) return true;
  // First range that starts after c; the one before it is the only candidate.
  const auto* next = std::upper_bound(std::begin(kEscaped), std::end(kEscaped), c,
                                      [](char32_t v, const CodeRange& r) { return v < r.first; });
  return next != std::begin(kEscaped) && c <= std::prev(next)->last;
}

// c must be a Unicode scalar value (no surrogate, at most U+10FFFF).
void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_hex_escape(std::string& out, char32_t c) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += digits[--n];
  out += '}';
}

}  // namespace

void append_char_display(std::string& out, char32_t c) {
  out += '\'';
  if (is_escaped(c)) {
    append_hex_escape(out, c);
  } else {
    append_utf8(out, c);
  }
  out += '\'';
}

}  // namespace tolvik
