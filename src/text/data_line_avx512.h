// The AVX-512 kernel's reading of fields, shared by the line kernel
// (data_line_avx512.cpp) and the block reader (lib/buffered_blocks_avx512.cpp):
// a masked load takes the bytes of up to four fields, one byte permutation
// (VBMI) spreads them into four sixteen-byte lanes, and each lane is checked
// against the layout and its digits and signs combined into four 32-bit
// words. Only for code compiled for these instructions (TOLVIK_AVX512).
#pragma once

#if defined(__x86_64__)

#include <array>
#include <cstdint>

#include "text/data_line.h"

#include "text/fast_decimal.h"
#include "text/x86_intrinsics.h"

#define TOLVIK_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,bmi2,fma")))

namespace tolvik {
namespace avx512 {

using Layout = DataLineLayout;

template <class T>
TOLVIK_AVX512 inline __m512i broadcast16(const T& table) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

TOLVIK_AVX512 inline __m512i load64(const std::array<unsigned char, 64>& table) {
  return _mm512_load_si512(table.data());
}

// The class of every byte below 0x80 (Layout::kClassHigh[b >> 4] &
// Layout::kClassLow[b & 15]), as two 64-byte tables for one two-table byte
// permutation.
struct ClassTable {
  alignas(64) std::array<unsigned char, 128> classes;
};
constexpr ClassTable make_class_table() {
  ClassTable table{};
  for (unsigned b = 0; b < 128; ++b) {
    table.classes[b] = Layout::kClassHigh[b >> 4] & Layout::kClassLow[b & 15];
  }
  return table;
}
inline constexpr ClassTable kClassTable = make_class_table();

struct Constants {
  __m512i spread, expected, digits, byte_weights, pair_weights;
  __m512i ascii_zero, classes_low, classes_high, last_ascii;
  __m256i bias, outside_index, sign_bit;
  __m512d ten_thousand, hundred_million;
  std::uint64_t outside;
};

TOLVIK_AVX512 inline Constants make_constants(const Layout& layout) {
  const Layout::Lanes& lanes = layout.lanes();
  const __m512i outside = load64(lanes.outside);
  return {
      load64(layout.spread()),
      load64(lanes.expected),
      load64(lanes.digits),
      broadcast16(Layout::kByteWeights),
      broadcast16(Layout::kPairWeights),
      _mm512_set1_epi8('0'),
      _mm512_load_si512(kClassTable.classes.data()),
      _mm512_load_si512(kClassTable.classes.data() + 64),
      _mm512_set1_epi8(0x7F),
      _mm256_set1_epi32(layout.exponent_bias()),
      _mm256_set1_epi32(static_cast<int>(fast_decimal_detail::kCount)),
      _mm256_set1_epi32(INT32_MIN),
      _mm512_set1_pd(1e4),
      _mm512_set1_pd(1e8),
      _mm512_test_epi8_mask(outside, outside),  // a bit for each byte outside the fields
  };
}

// Up to four fields from `first`, one per lane, of which the bytes that `load`
// selects are read (the fields' own at least): per lane, the four 32-bit words
// of Layout::kPairWeights. Returns a byte mask with a bit set for each byte
// that `inside` selects and that the layout does not allow there.
TOLVIK_AVX512 inline __mmask64 read_lanes(const char* first, __mmask64 load, __mmask64 inside,
                                          const Constants& c, __m512i& parts) {
  const __m512i raw = _mm512_permutexvar_epi8(c.spread, _mm512_maskz_loadu_epi8(load, first));
  const __m512i digits = _mm512_shuffle_epi8(_mm512_sub_epi8(raw, c.ascii_zero), c.digits);
  parts = _mm512_madd_epi16(_mm512_maddubs_epi16(digits, c.byte_weights), c.pair_weights);
  // The class of each byte from the table of the 128 below 0x80; every byte
  // from 0x80 on takes the class of 0x7F, which is none.
  const __m512i classes =
      _mm512_permutex2var_epi8(c.classes_low, _mm512_min_epu8(raw, c.last_ascii), c.classes_high);
  return _mm512_mask_testn_epi8_mask(inside, classes, c.expected);
}

// read_lanes for `present` fields (1 to 4), of which the first `bytes` bytes
// (at most 63) are read. Returns a byte mask with a bit clear for each byte of
// the fields that the layout does not allow there.
TOLVIK_AVX512 inline std::uint64_t decode_lanes(const char* first, unsigned present, unsigned bytes,
                                                const Constants& c, __m512i& parts) {
  const std::uint64_t absent = present == 4 ? 0 : ~std::uint64_t{0} << (16 * present);
  return ~read_lanes(first, (std::uint64_t{1} << bytes) - 1, ~(c.outside | absent), c, parts);
}

// decode_lanes reading sixteen bytes from the start of the last field.
TOLVIK_AVX512 inline std::uint64_t decode_four(const char* first, unsigned present, unsigned width,
                                               const Constants& c, __m512i& parts) {
  return decode_lanes(first, present, (present - 1) * width + 16, c, parts);  // at most 61 bytes
}

}  // namespace avx512
}  // namespace tolvik

#endif
