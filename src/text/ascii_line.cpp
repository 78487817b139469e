#include "text/ascii_line.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tolvik {

std::size_t ascii_line_length(const char* text, std::size_t size) noexcept {
  std::size_t at = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the first line feed, and any byte from 0x80 on
  // before it.
  const __m128i newline = _mm_set1_epi8('\n');
  for (; at + 16 <= size; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    const auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    if (ends != 0) {
      const auto end = static_cast<unsigned>(__builtin_ctz(ends));
      return (high & ((2u << end) - 1)) == 0 ? at + end : kNoAsciiLine;
    }
    if (high != 0) return kNoAsciiLine;
  }
#endif
  for (; at < size; ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x80) return kNoAsciiLine;
    if (byte == '\n') return at;
  }
  return kNoAsciiLine;
}

}  // namespace tolvik
