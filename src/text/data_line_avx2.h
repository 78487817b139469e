// The AVX2 kernel's reading of fields, shared by the line kernel
// (data_line_avx2.cpp) and the block reader (lib/buffered_blocks_avx2.cpp):
// each field is read as a sixteen-byte lane, two lanes to a register; its
// bytes are classified by one table shuffle and checked against the layout,
// and its digits and signs gathered by a shuffle and combined by two
// multiply-adds into four 32-bit words. Only for code compiled for these
// instructions (TOLVIK_AVX2).
#pragma once

#if defined(__x86_64__)

#include <array>
#include <cstdint>

#include "text/data_line.h"

#include "text/fast_decimal.h"
#include "text/x86_intrinsics.h"

#define TOLVIK_AVX2 __attribute__((target("avx2,fma")))

namespace tolvik {
namespace avx2 {

using Layout = DataLineLayout;

// The constants, as 32-byte tables.
template <class T, std::size_t N>
constexpr std::array<T, 32 / sizeof(T)> twice(const std::array<T, N>& half) {
  std::array<T, 32 / sizeof(T)> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = half[i % N];
  return out;
}
template <class T>
constexpr std::array<T, 32 / sizeof(T)> all(T value) {
  std::array<T, 32 / sizeof(T)> out{};
  for (T& v : out) v = value;
  return out;
}
struct Tables {
  alignas(32) std::array<unsigned char, 32> class_low = twice(Layout::kClassLow);
  alignas(32) std::array<std::int8_t, 32> byte_weights = twice(Layout::kByteWeights);
  alignas(32) std::array<std::int16_t, 16> pair_weights = twice(Layout::kPairWeights);
  alignas(32) std::array<unsigned char, 32> top_nibble = all<unsigned char>(0x70);
  alignas(32) std::array<int, 8> order = {0, 4, 1, 5, 2, 6, 3, 7};
  alignas(32) std::array<int, 8> outside_index =
      all<int>(static_cast<int>(fast_decimal_detail::kCount));
  alignas(32) std::array<int, 8> sign_bit = all<int>(INT32_MIN);
  alignas(32) std::array<int, 8> low_four = all<int>(15);
  alignas(32) std::array<std::uint64_t, 4> low_bits =
      all<std::uint64_t>(fast_decimal_detail::kLowBits);
  alignas(32) std::array<std::uint64_t, 4> midpoint =
      all<std::uint64_t>(fast_decimal_detail::kMidpoint);
  alignas(32) std::array<double, 4> ten_thousand = all<double>(1e4);
  alignas(32) std::array<double, 4> hundred_million = all<double>(1e8);
};
inline constexpr Tables kTables{};

// The tables, through a pointer the compiler cannot see through: it then
// reads each constant as a memory operand where it is used, instead of
// building it in a register again in every group of fields.
TOLVIK_AVX2 inline const Tables& opaque_tables() {
  const Tables* tables = &kTables;
  asm("" : "+r"(tables));
  return *tables;
}

template <class T>
TOLVIK_AVX2 inline __m256i load32(const T* table) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(table));
}
template <class T>
TOLVIK_AVX2 inline __m128i load16(const T* table) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

// The table of byte classes by a byte's low four bits (Layout::kClassLow),
// for a caller that keeps it in a register.
TOLVIK_AVX2 inline __m256i class_table(const Tables& t) {
  return load32(t.class_low.data());
}

// The fields at `low` and `high`, one per lane: per lane, the four 32-bit
// words of Layout::kPairWeights. `allowed` keeps, per byte, the least of the
// classes the layout allows there and the bytes so far are of (0: a byte the
// layout does not allow there, and every byte past the field; see
// all_allowed). Starts as all ones.
//
// Each byte is folded and flipped (Layout::Lanes), which leaves the bytes
// the field allows below 16; one saturating add then takes every byte from
// 16 on to 0x80 and above, for which the shuffle gives no class, and the
// others to 0x70 and above, for which it gives the class of their low four
// bits. The digits are taken from the flipped bytes.
//
// The constants it works with come in registers (PairConstants); the second
// form takes them from the tables where they are used, as memory operands.
struct PairConstants {
  __m256i class_low, fold, flip, top_nibble, expected, digits, byte_weights, pair_weights;
};

// The constants of decode_pair for `lanes`, loaded into registers once for a
// loop over many pairs: read as memory operands instead, they take seven of
// the nine loads of each pair.
TOLVIK_AVX2 inline PairConstants pair_constants(const Tables& t, const Layout::Lanes& lanes) {
  PairConstants c{class_table(t),
                  load32(lanes.fold.data()),
                  load32(lanes.flip.data()),
                  load32(t.top_nibble.data()),
                  load32(lanes.expected.data()),
                  load32(lanes.digits.data()),
                  load32(t.byte_weights.data()),
                  load32(t.pair_weights.data())};
  // Opaque from here on: the compiler keeps them in registers instead of
  // folding the loads back into every use.
  asm(""
      : "+x"(c.class_low), "+x"(c.fold), "+x"(c.flip), "+x"(c.top_nibble), "+x"(c.expected),
        "+x"(c.digits), "+x"(c.byte_weights), "+x"(c.pair_weights));
  return c;
}

TOLVIK_AVX2 inline __m256i decode_pair(const PairConstants& c, const char* low, const char* high,
                                       __m256i& allowed) {
  const __m256i raw = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
  const __m256i flipped = _mm256_xor_si256(_mm256_or_si256(raw, c.fold), c.flip);
  const __m256i classes = _mm256_shuffle_epi8(c.class_low, _mm256_adds_epu8(flipped, c.top_nibble));
  allowed = _mm256_min_epu8(allowed, _mm256_and_si256(classes, c.expected));
  const __m256i digits = _mm256_shuffle_epi8(flipped, c.digits);
  return _mm256_madd_epi16(_mm256_maddubs_epi16(digits, c.byte_weights), c.pair_weights);
}

TOLVIK_AVX2 inline __m256i decode_pair(const Tables& t, __m256i class_low, const char* low,
                                       const char* high, const Layout::Lanes& lanes,
                                       __m256i& allowed) {
  return decode_pair(
      {class_low, load32(lanes.fold.data()), load32(lanes.flip.data()), load32(t.top_nibble.data()),
       load32(lanes.expected.data()), load32(lanes.digits.data()), load32(t.byte_weights.data()),
       load32(t.pair_weights.data())},
      low, high, allowed);
}

// Whether, after decode_pair, every byte of the fields read was one the
// layout allows there.
TOLVIK_AVX2 inline bool all_allowed(__m256i allowed, const Layout::Lanes& lanes) {
  const __m256i kept = _mm256_or_si256(allowed, load32(lanes.outside.data()));
  return _mm256_movemask_epi8(_mm256_cmpeq_epi8(kept, _mm256_setzero_si256())) == 0;
}

}  // namespace avx2
}  // namespace tolvik

#endif
