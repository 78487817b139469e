// Each field is read as a sixteen-byte lane, two lanes to a register: its
// bytes are classified by a table shuffle and checked against the layout,
// and its digits and signs gathered by a shuffle and combined by two
// multiply-adds (text/data_line_avx2.h). Four fields at a time then become
// doubles, are scaled by the one-operation double shortcut, rounded to float
// and stored, before the line's layout is known to hold: a line that turns
// out not to be in the layout is then done again field by field, which
// stores every value anew. The code is generated for each width and field
// count, so that all of it is straight-line with fixed offsets.
#include "text/data_line_kernels.h"

#if defined(__x86_64__)

#include <cstring>

#include "text/data_line_avx2.h"
#include "text/fast_decimal.h"

namespace tolvik {
namespace {

using namespace avx2;

// The lanes of `result` (w * multiplier / divisor) that `midpoint` marks are
// exactly halfway between two floats: each moves one double step towards the
// exact value, the side the sign of the exact residual tells (see
// fast_decimal.h).
[[gnu::cold, gnu::noinline]] TOLVIK_AVX2 __m256d off_midpoints(__m256d w, __m256d multiplier,
                                                               __m256d divisor, __m256d result,
                                                               __m256i midpoint) {
  const __m256d one = _mm256_set1_pd(1);
  const __m256d residual =
      _mm256_blendv_pd(_mm256_fnmadd_pd(result, divisor, w), _mm256_fmsub_pd(w, multiplier, result),
                       _mm256_cmp_pd(divisor, one, _CMP_EQ_OQ));
  const __m256d zero = _mm256_setzero_pd();
  const __m256i above = _mm256_castpd_si256(_mm256_cmp_pd(residual, zero, _CMP_GT_OQ));
  const __m256i below = _mm256_castpd_si256(_mm256_cmp_pd(residual, zero, _CMP_LT_OQ));
  const __m256i step = _mm256_and_si256(_mm256_sub_epi64(below, above), midpoint);
  return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(result), step));
}

// Stores lane K of `values` as a float at `slot`.
template <int K>
TOLVIK_AVX2 inline void store_lane(__m128 values, float* slot) {
  const int bits = _mm_extract_ps(values, K);
  std::memcpy(slot, &bits, sizeof bits);
}

// Converts the Fields fields (1 to 4) of the pairs p0 and p1 and stores them
// at slots[0 .. Fields - 1][index]. Returns which of the four the shortcut
// covers.
template <unsigned Fields, unsigned Width>
TOLVIK_AVX2 inline unsigned convert_four(const Tables& t, __m256i p0, __m256i p1,
                                         float* const* slots, std::size_t index) {
  namespace fd = fast_decimal_detail;
  // The words of the four fields in order: digits 0 to 3, digits 4 to 7; the
  // exponents' digits, the codes.
  const __m256i order = load32(t.order.data());
  const __m256i digits = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi32(p0, p1), order);
  const __m256i rest = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi32(p0, p1), order);
  const __m128i code = _mm256_extracti128_si256(rest, 1);
  // The significand, exact in double arithmetic (below 10^9).
  __m256d w = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(digits)),
                              _mm256_load_pd(t.ten_thousand.data()),
                              _mm256_cvtepi32_pd(_mm256_extracti128_si256(digits, 1)));
  if constexpr (Width == 15) {  // the ninth digit from the end is in the code
    const __m128i ninth = _mm_and_si128(code, load16(t.low_four.data()));
    w = _mm256_fmadd_pd(_mm256_cvtepi32_pd(ninth), _mm256_load_pd(t.hundred_million.data()), w);
  }
  // The exponent signed ((x ^ s) - s negates x where s is all ones; the
  // exponent's sign is bit 14 of the code) as the table index e + 22; any
  // index outside the table becomes the entry past it, and the shortcut does
  // not apply there.
  const __m128i negative = _mm_srai_epi32(_mm_slli_epi32(code, 17), 31);
  const __m128i exponent =
      _mm_sub_epi32(_mm_xor_si128(_mm256_castsi256_si128(rest), negative), negative);
  constexpr int kBias = 22 - static_cast<int>(Width - 7);
  const __m128i table_index = _mm_add_epi32(exponent, _mm_set1_epi32(kBias));
  const __m128i entry = _mm_min_epu32(table_index, load16(t.outside_index.data()));
  const __m256d multiplier = _mm256_i32gather_pd(fd::kMultipliers.data(), entry, 8);
  const __m256d divisor = _mm256_i32gather_pd(fd::kDivisors.data(), entry, 8);
  __m256d result = _mm256_div_pd(_mm256_mul_pd(w, multiplier), divisor);
  const __m256i midpoint =
      _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(result), load32(t.low_bits.data())),
                         load32(t.midpoint.data()));
  if (!_mm256_testz_si256(midpoint, midpoint)) [[unlikely]] {
    result = off_midpoints(w, multiplier, divisor, result, midpoint);
  }
  const __m128 magnitude = _mm256_cvtpd_ps(result);
  // The value's sign, bit 6 of the code, into the sign bit.
  const __m128 value = _mm_or_ps(
      magnitude,
      _mm_castsi128_ps(_mm_and_si128(_mm_slli_epi32(code, 25), load16(t.sign_bit.data()))));
  store_lane<0>(value, slots[0] + index);
  if constexpr (Fields > 1) store_lane<1>(value, slots[1] + index);
  if constexpr (Fields > 2) store_lane<2>(value, slots[2] + index);
  if constexpr (Fields > 3) store_lane<3>(value, slots[3] + index);
  // Entries other than the one past the table are where the shortcut applies.
  const __m128i outside = _mm_cmpeq_epi32(entry, load16(t.outside_index.data()));
  return ~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(outside))) & 15;
}

// Fields G to G + 3 of a line of Count fields (past the last field a lane
// repeats it) decoded, converted and stored; then the fields after them.
// Returns which of them the shortcut covers.
template <unsigned Width, unsigned Count, unsigned G>
TOLVIK_AVX2 inline unsigned decode_from(const Tables& t, const Layout::Lanes& lanes,
                                        const char* line, float* const* slots, std::size_t index,
                                        __m256i& allowed) {
  constexpr auto at = [](unsigned f) { return (f < Count ? f : Count - 1) * Width; };
  const __m256i p0 = decode_pair(t, class_table(t), line + at(G), line + at(G + 1), lanes, allowed);
  __m256i p1 = p0;
  if constexpr (G + 2 < Count)
    p1 = decode_pair(t, class_table(t), line + at(G + 2), line + at(G + 3), lanes, allowed);
  constexpr unsigned kFields = Count - G < 4 ? Count - G : 4;
  unsigned done = convert_four<kFields, Width>(t, p0, p1, slots + G, index) << G;
  if constexpr (G + 4 < Count) {
    done |= decode_from<Width, Count, G + 4>(t, lanes, line, slots, index, allowed);
  }
  return done;
}

template <unsigned Width, unsigned Count>
TOLVIK_AVX2 LineDecode decode_count(const Layout& layout, const char* line, float* const* slots,
                                    std::size_t index) noexcept {
  __m256i allowed = _mm256_set1_epi8(-1);
  const unsigned done =
      decode_from<Width, Count, 0>(opaque_tables(), layout.lanes(), line, slots, index, allowed);
  if (!all_allowed(allowed, layout.lanes())) {
    return decode_line_portable(layout, line, Count, slots, index);
  }
  return whole_line<Count>(done);
}

template <unsigned Width, unsigned Count>
struct Decoder {
  static constexpr auto line = &decode_count<Width, Count>;
};
constexpr auto kDecoders = decoder_table<Decoder>();

}  // namespace

const DecoderTable& avx2_decoders() noexcept {
  return kDecoders;
}

TOLVIK_AVX2 LineDecode decode_line_avx2(const DataLineLayout& layout, const char* line,
                                        unsigned count, float* const* slots,
                                        std::size_t index) noexcept {
  return decode_with_table(kDecoders, layout, line, count, slots, index);
}

}  // namespace tolvik

#endif
