#include "text/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tolvik {
namespace {

// Length of the well-formed sequence starting at p[0] (1 to 4), or 0 when the
// bytes there do not start one. `avail` is how many bytes follow p, p[0] included.
// Also the largest prefix of a bad sequence is reported through `valid_prefix`
// so that lossy repair replaces exactly the maximal subpart.
std::size_t sequence_length(const unsigned char* p, std::size_t avail,
                            std::size_t& valid_prefix) noexcept {
  const unsigned char b0 = p[0];
  valid_prefix = 0;
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  valid_prefix = 1;
  if (avail < 2 || p[1] < lo || p[1] > hi) return 0;
  valid_prefix = 2;
  for (std::size_t i = 2; i < need; ++i) {
    if (avail <= i || !is_continuation_byte(p[i])) return 0;
    valid_prefix = i + 1;
  }
  return need;
}

}  // namespace

Utf8Check check_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
#if defined(__SSE2__)
  // Most lines are plain ASCII: OR every sixteen bytes together (the last
  // block overlapping the one before) and test the top bits once.
  if (n >= 16) {
    __m128i any = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
    for (std::size_t at = 0; at + 16 < n; at += 16) {
      any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)));
    }
    if (_mm_movemask_epi8(any) == 0) return Utf8Check::Ascii;
  }
#endif
  std::size_t i = 0;
  bool ascii = true;
  while (i < n) {
    // ASCII fast path: sixteen, then eight bytes at a time while none has its
    // top bit set.
#if defined(__SSE2__)
    while (i + 16 <= n) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      if (_mm_movemask_epi8(block) != 0) break;
      i += 16;
    }
#endif
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t prefix;
    std::size_t len = sequence_length(p + i, n - i, prefix);
    if (len == 0) return Utf8Check::Invalid;
    ascii = false;
    i += len;
  }
  return ascii ? Utf8Check::Ascii : Utf8Check::Multibyte;
}

DecodedChar decode_char_at(std::string_view text, std::size_t pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {b0, 1};
  if (b0 < 0xE0) return {static_cast<char32_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F)), 2};
  if (b0 < 0xF0) {
    return {static_cast<char32_t>(((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)), 3};
  }
  return {static_cast<char32_t>(((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                (p[3] & 0x3F)),
          4};
}

DecodedChar decode_last_char(std::string_view text) noexcept {
  std::size_t start = text.size() - 1;
  while (start > 0 && is_continuation_byte(static_cast<unsigned char>(text[start]))) --start;
  return decode_char_at(text, start);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t prefix;
    std::size_t len = sequence_length(p + i, n - i, prefix);
    if (len != 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      append_utf8(out, 0xFFFD);
      i += prefix == 0 ? 1 : prefix;
    }
  }
}

}  // namespace tolvik
