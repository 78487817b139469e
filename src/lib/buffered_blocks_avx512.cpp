// The AVX-512 kernel's block reader. A run of up to sixteen blocks is read in
// three passes over memory that stays in the cache:
//
// 1. Fields: each data line's fields, four to a register, are checked against
//    the layout and their digits and signs combined into four 32-bit words
//    (text/data_line_avx512.h), stored in file order across line and block
//    ends. A lead line or data line that is not of the usual kind, or not
//    whole in the text, ends the run before its block.
// 2. Values: sixteen fields at a time become floats, w * 10^e as one double
//    product with 10^e from a table (text/scaled_product.h, which says why it
//    is exact when it decides); the few values it leaves undecided and
//    exponents beyond the table are resolved one by one.
// 3. Columns: the run's values, block after block, are transposed sixteen by
//    sixteen, so that each parameter's values of the run go to its storage
//    in one store.
#include "lib/buffered_blocks.h"

#if defined(__x86_64__)

#include <algorithm>
#include <array>
#include <cstdint>

#include "text/ascii_line.h"
#include "text/data_line_avx512.h"
#include "text/scaled_product.h"

namespace tolvik {
namespace {

using namespace avx512;

namespace sp = scaled_product;

struct ConvertConstants {
  __m512i words01, words23, exponent_bias, ten_thousand, hundred_million, nine, sign_bit;
  __m512i last_index;
  __m512i undecided_shift, low_bits, undecided_span;
};

TOLVIK_AVX512 inline ConvertConstants convert_constants(const DataLineLayout& layout) {
  return {
      // Word 0, then word 1, of the four lanes of a and of b; words 2 and 3.
      _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29),
      _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31),
      _mm512_set1_epi32(-sp::kMinExponent - static_cast<int>(layout.width() - 7)),
      _mm512_set1_epi32(10000),
      _mm512_set1_epi32(100000000),
      _mm512_set1_epi32(15),
      _mm512_set1_epi32(INT32_MIN),
      _mm512_set1_epi32(63),
      _mm512_set1_epi64(static_cast<long long>(sp::kUndecidedShift)),
      _mm512_set1_epi64(static_cast<long long>(sp::kLowBits)),
      _mm512_set1_epi64(static_cast<long long>(sp::kUndecidedSpan)),
  };
}

// Eight of the sixteen values: w (eight 32-bit words) times 10^(t - 37) (t in
// eight 32-bit words, each below 64), rounded to float. Sets `undecided` for
// the results too near a float midpoint.
TOLVIK_AVX512 inline __m256 scale_eight(const ConvertConstants& c, __m256i w, __m256i t,
                                        __mmask8& undecided) {
  const __m512d scale = _mm512_i32gather_pd(t, sp::kScales.data(), 8);
  const __m512d result = _mm512_mul_pd(_mm512_cvtepi32_pd(w), scale);
  const __m512i low = _mm512_and_si512(
      _mm512_add_epi64(_mm512_castpd_si512(result), c.undecided_shift), c.low_bits);
  undecided = _mm512_cmple_epu64_mask(low, c.undecided_span);
  return _mm512_cvtpd_ps(result);
}

// The values of the sixteen fields whose words start at `words`, stored at
// `out`; returns the fields whose value is stored.
TOLVIK_AVX512 inline __mmask16 convert_sixteen(const ConvertConstants& c, bool nine,
                                               const std::uint32_t* words, float* out) {
  const __m512i z0 = _mm512_loadu_si512(words);
  const __m512i z1 = _mm512_loadu_si512(words + 16);
  const __m512i z2 = _mm512_loadu_si512(words + 32);
  const __m512i z3 = _mm512_loadu_si512(words + 48);
  const __m512i a = _mm512_permutex2var_epi32(z0, c.words01, z1);
  const __m512i b = _mm512_permutex2var_epi32(z2, c.words01, z3);
  const __m512i d = _mm512_permutex2var_epi32(z0, c.words23, z1);
  const __m512i e = _mm512_permutex2var_epi32(z2, c.words23, z3);
  const __m512i high = _mm512_shuffle_i64x2(a, b, 0x44);       // digits 0 to 3 of the last eight
  const __m512i low = _mm512_shuffle_i64x2(a, b, 0xEE);        // digits 4 to 7
  const __m512i magnitude = _mm512_shuffle_i64x2(d, e, 0x44);  // the exponent's digits
  const __m512i code = _mm512_shuffle_i64x2(d, e, 0xEE);       // ninth digit, signs

  __m512i w = _mm512_add_epi32(_mm512_mullo_epi32(high, c.ten_thousand), low);
  if (nine) {
    w = _mm512_add_epi32(w, _mm512_mullo_epi32(_mm512_and_si512(code, c.nine), c.hundred_million));
  }
  const __m512i negative = _mm512_srai_epi32(_mm512_slli_epi32(code, 17), 31);
  const __m512i exponent = _mm512_sub_epi32(_mm512_xor_si512(magnitude, negative), negative);
  const __m512i biased = _mm512_add_epi32(exponent, c.exponent_bias);
  const __mmask16 in_table = _mm512_cmple_epu32_mask(biased, c.last_index);
  const __m512i t = _mm512_min_epu32(biased, c.last_index);  // every lookup within the table

  __mmask8 undecided_low, undecided_high;
  const __m256 values_low =
      scale_eight(c, _mm512_castsi512_si256(w), _mm512_castsi512_si256(t), undecided_low);
  const __m256 values_high = scale_eight(c, _mm512_extracti64x4_epi64(w, 1),
                                         _mm512_extracti64x4_epi64(t, 1), undecided_high);
  const __m512 magnitudes = _mm512_castpd_ps(_mm512_insertf64x4(
      _mm512_castpd256_pd512(_mm256_castps_pd(values_low)), _mm256_castps_pd(values_high), 1));
  // The value's sign is bit 6 of the code.
  const __m512i signs = _mm512_and_si512(_mm512_slli_epi32(code, 25), c.sign_bit);
  _mm512_storeu_ps(out,
                   _mm512_castsi512_ps(_mm512_or_si512(_mm512_castps_si512(magnitudes), signs)));
  const auto undecided = static_cast<__mmask16>(undecided_low | (undecided_high << 8));
  return static_cast<__mmask16>(in_table & ~undecided);
}

// How a data line of `count` fields is read: in groups of up to four fields,
// each group's bytes loaded at once; `inside` marks the bytes of a group's
// lanes that must be in the layout (those of its fields).
struct LineShape {
  unsigned count = 0;
  unsigned groups = 0;
  std::size_t span = 0;  // count * width
  std::array<__mmask64, 3> load{};
  std::array<__mmask64, 3> inside{};
};

LineShape line_shape(const Constants& c, unsigned width, unsigned count) {
  LineShape shape;
  shape.count = count;
  shape.span = std::size_t{count} * width;
  for (unsigned g = 0; g < count; g += 4, ++shape.groups) {
    const unsigned present = std::min(4u, count - g);
    shape.load[shape.groups] = (std::uint64_t{1} << (present * width)) - 1;
    const std::uint64_t absent = present == 4 ? 0 : ~std::uint64_t{0} << (16 * present);
    shape.inside[shape.groups] = ~(c.outside | absent);
  }
  return shape;
}

// Reads the fields of the data line at `line` into `out` (four words each).
// Returns a mask with a bit set for each byte the layout does not allow.
TOLVIK_AVX512 inline __mmask64 read_line(const LineShape& shape, unsigned width, const char* line,
                                         const Constants& c, std::uint32_t* out) {
  __mmask64 wrong = 0;
  for (unsigned g = 0; g < shape.groups; ++g) {
    __m512i parts;
    wrong = _kor_mask64(wrong,
                        read_lanes(line + 4 * g * width, shape.load[g], shape.inside[g], c, parts));
    _mm512_storeu_si512(out + 16 * g, parts);
  }
  return wrong;
}

// The length of the lead line at `text` (to its "\n", not counted) when it
// ends within the `size` bytes there and is plain ASCII; kNoAsciiLine
// otherwise. Lines of up to 63 bytes are found with one load.
TOLVIK_AVX512 inline std::size_t lead_line_length(const char* text, std::size_t size) {
  const __mmask64 readable = size >= 64 ? ~__mmask64{0} : (__mmask64{1} << size) - 1;
  const __m512i bytes = _mm512_maskz_loadu_epi8(readable, text);
  const __mmask64 ends = _mm512_mask_cmpeq_epi8_mask(readable, bytes, _mm512_set1_epi8('\n'));
  if (ends == 0) return ascii_line_length(text, size);
  const unsigned length = static_cast<unsigned>(__builtin_ctzll(ends));
  const std::uint64_t before = (std::uint64_t{1} << length) - 1;  // length is below 64
  return (_mm512_movepi8_mask(bytes) & before) == 0 ? length : kNoAsciiLine;
}

// Transposes sixteen rows of sixteen floats in place.
TOLVIK_AVX512 inline void transpose_sixteen(__m512 r[16]) {
  __m512 t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
  }
  __m512 u[16];  // u[4i + j], lane k: column 4k + j of rows 4i to 4i + 3
  for (int i = 0; i < 16; i += 4) {
    const __m512d t0 = _mm512_castps_pd(t[i]), t1 = _mm512_castps_pd(t[i + 1]);
    const __m512d t2 = _mm512_castps_pd(t[i + 2]), t3 = _mm512_castps_pd(t[i + 3]);
    u[i] = _mm512_castpd_ps(_mm512_unpacklo_pd(t0, t2));
    u[i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(t0, t2));
    u[i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(t1, t3));
    u[i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(t1, t3));
  }
  for (int j = 0; j < 4; ++j) {
    const __m512 even_low = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x88);  // lanes 0, 2
    const __m512 odd_low = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xDD);   // lanes 1, 3
    const __m512 even_high = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0x88);
    const __m512 odd_high = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0xDD);
    r[j] = _mm512_shuffle_f32x4(even_low, even_high, 0x88);
    r[8 + j] = _mm512_shuffle_f32x4(even_low, even_high, 0xDD);
    r[4 + j] = _mm512_shuffle_f32x4(odd_low, odd_high, 0x88);
    r[12 + j] = _mm512_shuffle_f32x4(odd_low, odd_high, 0xDD);
  }
}

// Stores the values of `blocks` blocks (1 to 16), n each, block after block at
// `values`, as storage[p][index + b].
TOLVIK_AVX512 void store_columns(const float* values, std::size_t blocks, std::uint64_t n,
                                 float* const* storage, std::size_t index) {
  const auto lanes = static_cast<__mmask16>((1u << blocks) - 1);
  for (std::uint64_t first = 0; first < n; first += 16) {
    __m512 rows[16];
    if (blocks == 16) {  // a whole run, as nearly all are
      for (std::size_t b = 0; b < 16; ++b) rows[b] = _mm512_loadu_ps(values + b * n + first);
    } else {
      for (std::size_t b = 0; b < 16; ++b) {
        rows[b] = b < blocks ? _mm512_loadu_ps(values + b * n + first) : _mm512_setzero_ps();
      }
    }
    transpose_sixteen(rows);
    const std::uint64_t columns = std::min<std::uint64_t>(16, n - first);
    for (std::uint64_t j = 0; j < columns; ++j) {
      _mm512_mask_storeu_ps(storage[first + j] + index, lanes, rows[j]);
    }
  }
}

// Pass 1: the fields of up to `wanted` blocks (see BlockRunPasses).
TOLVIK_AVX512 std::size_t read_fields(const DataLineLayout& layout, const char* text,
                                      std::size_t size, std::uint64_t n, std::size_t wanted,
                                      std::size_t* block_starts, std::uint32_t* words) {
  const Constants c = make_constants(layout);
  const unsigned width = layout.width();
  const std::uint64_t data_lines = (n - 1) / 10 + 1;
  const LineShape full = line_shape(c, width, 10);
  const LineShape last = line_shape(c, width, static_cast<unsigned>(n - 10 * (data_lines - 1)));
  std::size_t at = block_starts[0];
  std::uint32_t* out = words;
  std::size_t blocks = 0;
  for (; blocks < wanted; ++blocks) {
    const std::size_t lead = lead_line_length(text + at, size - at);
    if (lead == kNoAsciiLine) break;
    std::size_t pos = at + lead + 1;
    bool whole = true;
    for (std::uint64_t line = 0; line < data_lines; ++line) {
      const LineShape& shape = line + 1 < data_lines ? full : last;
      // The line's fields and its terminator's first byte must be there.
      if (size - pos <= shape.span) {
        whole = false;
        break;
      }
      const __mmask64 wrong = read_line(shape, width, text + pos, c, out);
      out += 4 * shape.count;
      std::size_t end = pos + shape.span;
      if (text[end] == '\r' && end + 1 < size) ++end;
      if (wrong != 0 || text[end] != '\n') {
        whole = false;
        break;
      }
      pos = end + 1;
    }
    if (!whole) break;
    at = pos;
    block_starts[blocks + 1] = pos;
  }
  return blocks;
}

// convert_fields for nine significant digits or fewer.
template <bool Nine>
TOLVIK_AVX512 std::size_t convert_all(const ConvertConstants& cc, const std::uint32_t* words,
                                      std::size_t count, float* values,
                                      BlockScratch::Undone* undone) {
  std::size_t groups = 0;  // sixteens with values left undone
  for (std::size_t f = 0; f < count; f += 16) {
    const auto wanted = static_cast<__mmask16>(count - f >= 16 ? 0xFFFF : (1u << (count - f)) - 1);
    const __mmask16 left = wanted & ~convert_sixteen(cc, Nine, words + 4 * f, values + f);
    if (left != 0) [[unlikely]] {
      undone[groups++] = {f, left};
    }
  }
  return groups;
}

// Pass 2: the values, sixteen at a time (see BlockRunPasses).
TOLVIK_AVX512 std::size_t convert_fields(const DataLineLayout& layout, const std::uint32_t* words,
                                         std::size_t count, float* values,
                                         BlockScratch::Undone* undone) {
  const ConvertConstants cc = convert_constants(layout);
  return layout.width() == 15 ? convert_all<true>(cc, words, count, values, undone)
                              : convert_all<false>(cc, words, count, values, undone);
}

}  // namespace

constexpr BlockRunPasses kAvx512BlockRuns{16, read_fields, convert_fields, store_columns};

}  // namespace tolvik

#endif
