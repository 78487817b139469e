// As the AVX2 kernel, four fields to a 512-bit register: a masked load takes
// the bytes of four fields, one byte permutation (VBMI) spreads them into four
// sixteen-byte lanes, eight fields at a time are converted (the powers of ten
// looked up by register permutations), and each value is stored into its
// slot.
#include "text/data_line_kernels.h"

#if defined(__x86_64__)

#include <array>

#include "text/data_line_avx512.h"
#include "text/fast_decimal.h"

namespace tolvik {
namespace {

using namespace avx512;

// As in the AVX2 kernel: the lanes of `result` that are exactly float
// midpoints move one double step towards the exact value.
[[gnu::cold, gnu::noinline]] TOLVIK_AVX512 __m512d off_midpoints(__m512d w, __m512d multiplier,
                                                                 __m512d divisor, __m512d result,
                                                                 __mmask8 midpoint) {
  const __mmask8 product = _mm512_cmp_pd_mask(divisor, _mm512_set1_pd(1), _CMP_EQ_OQ);
  const __m512d residual = _mm512_mask_blend_pd(product, _mm512_fnmadd_pd(result, divisor, w),
                                                _mm512_fmsub_pd(w, multiplier, result));
  const __m512d zero = _mm512_setzero_pd();
  const __mmask8 above = _mm512_cmp_pd_mask(residual, zero, _CMP_GT_OQ) & midpoint;
  const __mmask8 below = _mm512_cmp_pd_mask(residual, zero, _CMP_LT_OQ) & midpoint;
  __m512i bits = _mm512_castpd_si512(result);
  bits = _mm512_mask_add_epi64(bits, above, bits, _mm512_set1_epi64(1));
  bits = _mm512_mask_sub_epi64(bits, below, bits, _mm512_set1_epi64(1));
  return _mm512_castsi512_pd(bits);
}

// 10^k for k = 0 to 23, as fast_decimal's tables have them (k up to 22).
alignas(64) constexpr std::array<double, 24> kPowers = [] {
  std::array<double, 24> powers{};
  for (int k = 0; k < 24; ++k) powers[k] = fast_decimal_detail::power_of_ten(k);
  return powers;
}();

// Word k of each lane of a, then of b: one 32-bit word for each of eight fields.
TOLVIK_AVX512 inline __m256i word(__m512i a, __m512i b, int k) {
  const __m512i pick = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 0, 0, 0, 0, 0, 0, 0);
  return _mm512_castsi512_si256(
      _mm512_permutex2var_epi32(a, _mm512_add_epi32(pick, _mm512_set1_epi32(k)), b));
}

// Converts the `fields` fields (1 to 8) of the lanes of p0 and p1 and
// scatters them to slots[0 .. fields - 1][index]. Returns which of the eight
// the shortcut covers.
TOLVIK_AVX512 inline unsigned convert_eight(const Constants& c, unsigned fields, bool nine,
                                            __m512i p0, __m512i p1, float* const* slots,
                                            std::size_t index) {
  namespace fd = fast_decimal_detail;
  const __m256i code = word(p0, p1, 3);
  __m512d w = _mm512_fmadd_pd(_mm512_cvtepi32_pd(word(p0, p1, 0)), c.ten_thousand,
                              _mm512_cvtepi32_pd(word(p0, p1, 1)));
  if (nine) {
    const __m256i ninth = _mm256_and_si256(code, _mm256_set1_epi32(15));
    w = _mm512_fmadd_pd(_mm512_cvtepi32_pd(ninth), c.hundred_million, w);
  }
  const __m256i negative = _mm256_srai_epi32(_mm256_slli_epi32(code, 17), 31);
  const __m256i exponent = _mm256_sub_epi32(_mm256_xor_si256(word(p0, p1, 2), negative), negative);
  const __m256i table_index = _mm256_add_epi32(exponent, c.bias);
  const __m256i entry = _mm256_min_epu32(table_index, c.outside_index);
  // The multiplier and the divisor of fast_decimal's tables: 10^e and 1, or 1
  // and 10^-e, or 1 and 1 past the tables; 10^|e| (|e| <= 22) is looked up by
  // register permutations, which are much faster than two gathers.
  const __mmask8 in_table = _mm256_cmpneq_epi32_mask(entry, c.outside_index);
  const __m256i e = _mm256_sub_epi32(table_index, _mm256_set1_epi32(-fd::kMinExponent));
  const __mmask8 below = _mm256_mask_cmplt_epi32_mask(in_table, e, _mm256_setzero_si256());
  const __mmask8 above = in_table & static_cast<__mmask8>(~below);
  const __m512i power_index = _mm512_cvtepi32_epi64(_mm256_abs_epi32(e));
  const __m512d power =
      _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(_mm512_load_pd(kPowers.data()), power_index,
                                                        _mm512_load_pd(kPowers.data() + 8)),
                                 _mm512_cmpge_epu64_mask(power_index, _mm512_set1_epi64(16)),
                                 power_index, _mm512_load_pd(kPowers.data() + 16));
  const __m512d one = _mm512_set1_pd(1);
  const __m512d multiplier = _mm512_mask_blend_pd(above, one, power);
  const __m512d divisor = _mm512_mask_blend_pd(below, one, power);
  __m512d result = _mm512_div_pd(_mm512_mul_pd(w, multiplier), divisor);
  const __mmask8 midpoint = _mm512_cmpeq_epi64_mask(
      _mm512_and_si512(_mm512_castpd_si512(result), _mm512_set1_epi64(fd::kLowBits)),
      _mm512_set1_epi64(fd::kMidpoint));
  if (midpoint != 0) [[unlikely]] {
    result = off_midpoints(w, multiplier, divisor, result, midpoint);
  }
  const __m256 magnitude = _mm512_cvtpd_ps(result);
  const __m256 value = _mm256_castsi256_ps(_mm256_or_si256(
      _mm256_castps_si256(magnitude), _mm256_and_si256(_mm256_slli_epi32(code, 25), c.sign_bit)));
  // Each value to its own slot (one store each: faster than a scatter).
  alignas(32) float values[8];
  _mm256_store_ps(values, value);
  for (unsigned f = 0; f < fields; ++f) slots[f][index] = values[f];
  // Entries other than the one past the table are where the shortcut applies.
  return in_table;
}

template <unsigned Width, unsigned Count>
TOLVIK_AVX512 LineDecode decode_count(const Layout& layout, const char* line, float* const* slots,
                                      std::size_t index) noexcept {
  const Constants c = make_constants(layout);
  const unsigned width = layout.width();
  std::uint64_t allowed = ~std::uint64_t{0};
  unsigned done = 0;
  for (unsigned g = 0; g < Count; g += 8) {
    const unsigned fields = Count - g < 8 ? Count - g : 8;
    __m512i p0, p1;
    allowed &= decode_four(line + g * width, fields < 4 ? fields : 4, width, c, p0);
    if (fields > 4) {
      allowed &= decode_four(line + (g + 4) * width, fields - 4, width, c, p1);
    } else {
      p1 = p0;
    }
    done |= convert_eight(c, fields, Width == 15, p0, p1, slots + g, index) << g;
  }
  if (allowed != ~std::uint64_t{0}) return decode_line_portable(layout, line, Count, slots, index);
  return whole_line<Count>(done);
}

template <unsigned Width, unsigned Count>
struct Decoder {
  static constexpr auto line = &decode_count<Width, Count>;
};
constexpr auto kDecoders = decoder_table<Decoder>();

}  // namespace

const DecoderTable& avx512_decoders() noexcept {
  return kDecoders;
}

TOLVIK_AVX512 LineDecode decode_line_avx512(const DataLineLayout& layout, const char* line,
                                            unsigned count, float* const* slots,
                                            std::size_t index) noexcept {
  return decode_with_table(kDecoders, layout, line, count, slots, index);
}

}  // namespace tolvik

#endif
