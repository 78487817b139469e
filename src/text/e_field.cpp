#include "text/e_field.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tolvik {

EFieldLayout::EFieldLayout(std::uint64_t width) noexcept
    : width_(width),
      fraction_digits_(width >= 11 && width <= 15 ? static_cast<unsigned>(width - 7) : 0),
      lead_scale_(1),
      windows_{},
      next_offset_{},
      last_offset_(0) {
  if (fraction_digits_ == 0) return;
  for (unsigned i = 0; i < fraction_digits_; ++i) lead_scale_ *= 10;
  // The allowed bytes at each position of a field.
  Window field{};
  for (std::size_t i = 0; i < width_; ++i) {
    const std::size_t exponent = width_ - 4;
    // Where a digit is allowed, the three bytes are a digit too, so that a
    // byte matches exactly when it is allowed, whatever byte it is.
    unsigned char a = '0', b = '0', c = '0', digit = 0;
    if (i == 0) {
      a = ' ', b = '+', c = '-';
    } else if (i == 2) {
      a = b = c = '.';
    } else if (i == exponent) {
      a = c = 'E', b = 'e';
    } else if (i == exponent + 1) {
      a = c = '+', b = '-';
    } else {
      digit = 0xFF;
    }
    field.first[i] = a, field.second[i] = b, field.third[i] = c, field.digit[i] = digit;
  }
  for (std::size_t offset = 0; offset < width_; ++offset) {
    Window& window = windows_[offset];
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t at = (offset + i) % width_;
      window.first[i] = field.first[at];
      window.second[i] = field.second[at];
      window.third[i] = field.third[at];
      window.digit[i] = field.digit[at];
    }
    next_offset_[offset] = static_cast<unsigned char>((offset + 16) % width_);
  }
  // A text of whole fields ends at offset 0, so its last sixteen bytes start
  // at offset -16 mod width.
  last_offset_ = static_cast<unsigned char>((width_ - 16 % width_) % width_);
}

bool EFieldLayout::line_matches(const char* line, std::size_t count) const noexcept {
#if defined(__SSE2__)
  const std::size_t length = count * width_;
  if (fraction_digits_ == 0 || length < 16) return false;
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  auto allowed = [&](std::size_t at, std::size_t offset) {
    const Window& window = windows_[offset];
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at));
    auto load = [](const std::array<unsigned char, 16>& row) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data()));
    };
    const __m128i value = _mm_sub_epi8(bytes, zero);
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(value, nine), value);
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, load(window.first)),
                                     _mm_cmpeq_epi8(bytes, load(window.second))),
                        _mm_or_si128(_mm_cmpeq_epi8(bytes, load(window.third)),
                                     _mm_and_si128(digit, load(window.digit))));
  };
  __m128i all = _mm_set1_epi8(-1);
  std::size_t offset = 0;
  std::size_t at = 0;
  for (; at + 16 < length; at += 16) {
    all = _mm_and_si128(all, allowed(at, offset));
    offset = next_offset_[offset];
  }
  // The last sixteen bytes, overlapping the block before.
  all = _mm_and_si128(all, allowed(length - 16, last_offset_));
  return _mm_movemask_epi8(all) == 0xFFFF;
#else
  (void)line;
  (void)count;
  return false;
#endif
}

}  // namespace tolvik
