// The AVX2 kernel's block reader: the three passes of the AVX-512 one
// (buffered_blocks_avx512.cpp, lib/buffered_blocks.h) with 256-bit
// registers, over a run of up to eight blocks:
//
// 1. Fields: each data line's fields, two to a register, are checked against
//    the layout and their digits and signs combined into four 32-bit words
//    (text/data_line_avx2.h), stored in file order across line and block
//    ends. The layout check of a block's lines is looked at once, at the
//    block's end. A lead line or data line that is not of the usual kind, or
//    not whole in the text, ends the run before its block.
// 2. Values: eight fields at a time become floats, w * 10^e as one double
//    product with 10^e from a table (text/scaled_product.h, which says why it
//    is exact when it decides); the few values it leaves undecided and
//    exponents beyond the table are resolved one by one.
// 3. Columns: the run's values, block after block, are transposed eight by
//    eight, so that each parameter's values of the run go to its storage in
//    one store.
#include "lib/buffered_blocks.h"

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>

#include "text/ascii_line.h"
#include "text/data_line_avx2.h"
#include "text/scaled_product.h"

namespace tolvik {
namespace {

using namespace avx2;

namespace sp = scaled_product;

// Reads the Count fields of the data line at `line` into `out` (four words
// each; past an odd count, four more words that the next field's overwrite).
template <unsigned Width, unsigned Count>
TOLVIK_AVX2 inline void read_fields(const PairConstants& c, const char* line, std::uint32_t* out,
                                    __m256i& allowed) {
  for (unsigned f = 0; f < Count; f += 2) {
    const char* low = line + f * Width;
    const char* high = f + 1 < Count ? low + Width : low;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * f),
                        decode_pair(c, low, high, allowed));
    // The check of each pair where it is read: left to itself, the compiler
    // moves the checks of a whole line after the line's end is found, and
    // runs out of registers for them.
    asm("" : "+x"(allowed));
  }
}

// read_fields for the last line of a block, of `count` fields (1 to 10): a
// jump to straight-line code for the count.
template <unsigned Width>
[[gnu::always_inline]] TOLVIK_AVX2 inline void read_last_fields(unsigned count,
                                                                const PairConstants& c,
                                                                const char* line,
                                                                std::uint32_t* out,
                                                                __m256i& allowed) {
  switch (count) {
    case 1:
      return read_fields<Width, 1>(c, line, out, allowed);
    case 2:
      return read_fields<Width, 2>(c, line, out, allowed);
    case 3:
      return read_fields<Width, 3>(c, line, out, allowed);
    case 4:
      return read_fields<Width, 4>(c, line, out, allowed);
    case 5:
      return read_fields<Width, 5>(c, line, out, allowed);
    case 6:
      return read_fields<Width, 6>(c, line, out, allowed);
    case 7:
      return read_fields<Width, 7>(c, line, out, allowed);
    case 8:
      return read_fields<Width, 8>(c, line, out, allowed);
    case 9:
      return read_fields<Width, 9>(c, line, out, allowed);
    default:
      return read_fields<Width, 10>(c, line, out, allowed);
  }
}

// The offset of the line after the one whose fields end at text[end], or 0
// when they are not followed by "\n" or "\r\n" within the `size` bytes
// (text[end] is one of them).
inline std::size_t after_terminator(const char* text, std::size_t size, std::size_t end) {
  if (text[end] == '\n') return end + 1;
  return text[end] == '\r' && end + 1 < size && text[end + 1] == '\n' ? end + 2 : 0;
}

// The data lines of a block at width Width: full_lines of ten fields, then
// one of `last`.
template <unsigned Width>
struct DataLines {
  std::uint64_t full_lines;
  unsigned last;
  std::size_t last_span;  // last * Width
  // The most bytes the lines take from the first one's start, with "\r\n"
  // ends, or the sixteen bytes read from the start of the last field on, if
  // more: with that many bytes in the text no line needs a check of its own.
  std::size_t most;

  explicit DataLines(std::uint64_t n)
      : full_lines((n - 1) / 10),
        last(static_cast<unsigned>(n - 10 * full_lines)),
        last_span(std::size_t{last} * Width),
        most(full_lines * (10 * Width + 2) + last_span + std::max(2u, 16 - Width)) {}
};

// Reads the fields of the data lines of a block from text[pos] on into `out`
// (advanced past them), `allowed` as decode_pair keeps it. Returns where the
// block ends, or 0 when a line does not end right after its fields or (with
// Checked) does not lie whole in the `size` bytes; without Checked, the
// lines' `most` bytes are there.
template <unsigned Width, bool Checked>
TOLVIK_AVX2 inline std::size_t read_data_lines(const DataLines<Width>& lines,
                                               const PairConstants& c, const char* text,
                                               std::size_t size, std::size_t pos,
                                               std::uint32_t*& out, __m256i& allowed) {
  // Sixteen bytes from the start of a line's last field, which covers its
  // terminator's first byte.
  constexpr std::size_t kFullNeed = 9 * Width + 16;
  for (std::uint64_t line = 0; line < lines.full_lines; ++line) {
    if (Checked && size - pos < kFullNeed) return 0;
    read_fields<Width, 10>(c, text + pos, out, allowed);
    out += 40;
    pos = after_terminator(text, size, pos + 10 * Width);
    if (pos == 0) return 0;
  }
  if (Checked && size - pos < lines.last_span - Width + 16) return 0;
  read_last_fields<Width>(lines.last, c, text + pos, out, allowed);
  out += 4 * lines.last;
  return after_terminator(text, size, pos + lines.last_span);
}

// The length of the lead line at `text` (to its "\n", not counted) when it
// ends within the `size` bytes there and is plain ASCII; kNoAsciiLine
// otherwise. Lines of up to 31 bytes are found with one load.
TOLVIK_AVX2 inline std::size_t lead_line_length(const char* text, std::size_t size) {
  if (size < 32) return ascii_line_length(text, size);
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
  const auto ends =
      static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))));
  if (ends == 0) return ascii_line_length(text, size);
  const auto length = static_cast<unsigned>(__builtin_ctz(ends));
  const auto high = static_cast<unsigned>(_mm256_movemask_epi8(bytes));
  return (high & ((1u << length) - 1)) == 0 ? length : kNoAsciiLine;  // length is below 32
}

struct ConvertConstants {
  __m256i ten_thousand, hundred_million, nine, exponent_bias, last_index;
  __m256i undecided_shift, low_bits, undecided_end, sign_bit, order;
};

TOLVIK_AVX2 inline ConvertConstants convert_constants(const DataLineLayout& layout) {
  return {
      _mm256_set1_epi32(10000),
      _mm256_set1_epi32(100000000),
      _mm256_set1_epi32(15),
      _mm256_set1_epi32(-sp::kMinExponent - static_cast<int>(layout.width() - 7)),
      _mm256_set1_epi32(63),
      // The undecided window on the low 32 bits of the products (it lies in
      // their low 29).
      _mm256_set1_epi32(static_cast<int>(sp::kUndecidedShift)),
      _mm256_set1_epi32(static_cast<int>(sp::kLowBits)),
      _mm256_set1_epi32(static_cast<int>(sp::kUndecidedSpan) + 1),
      _mm256_set1_epi32(INT32_MIN),
      _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7),
  };
}

// Which of eight fields are decided, from the lanes (fields 0, 2, 4, 6, 1, 3,
// 5, 7) whose exponent is in the table and the lanes (fields 0, 2, 1, 3, 4,
// 6, 5, 7) whose product is undecided. Rare.
[[gnu::cold, gnu::noinline]] unsigned decided_fields(unsigned in_table, unsigned undecided) {
  constexpr unsigned char kTableField[8] = {0, 2, 4, 6, 1, 3, 5, 7};
  constexpr unsigned char kUndecidedField[8] = {0, 2, 1, 3, 4, 6, 5, 7};
  unsigned decided = 0;
  for (unsigned k = 0; k < 8; ++k) {
    if ((in_table >> k & 1) != 0) decided |= 1u << kTableField[k];
  }
  for (unsigned k = 0; k < 8; ++k) {
    if ((undecided >> k & 1) != 0) decided &= ~(1u << kUndecidedField[k]);
  }
  return decided;
}

// The values of the eight fields whose words start at `words`, stored at
// `out`; returns the fields whose value is stored (a bit each).
template <bool Nine>
TOLVIK_AVX2 inline unsigned convert_eight(const ConvertConstants& c, const std::uint32_t* words,
                                          float* out) {
  const auto* in = reinterpret_cast<const __m256i*>(words);
  const __m256i r0 = _mm256_loadu_si256(in), r1 = _mm256_loadu_si256(in + 1);
  const __m256i r2 = _mm256_loadu_si256(in + 2), r3 = _mm256_loadu_si256(in + 3);
  // Each word of the eight fields, in the order 0, 2, 4, 6, 1, 3, 5, 7: digits
  // 0 to 3 of the last eight, digits 4 to 7, the exponent's digits, and the
  // code (ninth digit, signs).
  const __m256i u0 = _mm256_unpacklo_epi32(r0, r1), u1 = _mm256_unpackhi_epi32(r0, r1);
  const __m256i u2 = _mm256_unpacklo_epi32(r2, r3), u3 = _mm256_unpackhi_epi32(r2, r3);
  const __m256i high = _mm256_unpacklo_epi64(u0, u2);
  const __m256i low = _mm256_unpackhi_epi64(u0, u2);
  const __m256i magnitude = _mm256_unpacklo_epi64(u1, u3);
  const __m256i code = _mm256_unpackhi_epi64(u1, u3);

  __m256i w = _mm256_add_epi32(_mm256_mullo_epi32(high, c.ten_thousand), low);
  if constexpr (Nine) {
    w = _mm256_add_epi32(w, _mm256_mullo_epi32(_mm256_and_si256(code, c.nine), c.hundred_million));
  }
  // The exponent's sign is bit 14 of the code, whose low fifteen bits are
  // never all 0 (bit 12 is set for both signs, as flipped): shifted to the
  // top, it negates or keeps the exponent's digits.
  const __m256i exponent = _mm256_sign_epi32(magnitude, _mm256_slli_epi32(code, 17));
  const __m256i biased = _mm256_add_epi32(exponent, c.exponent_bias);
  const __m256i t = _mm256_min_epu32(biased, c.last_index);  // every lookup within the table
  const __m256i in_table = _mm256_cmpeq_epi32(t, biased);

  const __m256d products_low =
      _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(w)),
                    _mm256_i32gather_pd(sp::kScales.data(), _mm256_castsi256_si128(t), 8));
  const __m256d products_high =
      _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(w, 1)),
                    _mm256_i32gather_pd(sp::kScales.data(), _mm256_extracti128_si256(t, 1), 8));
  // The low 32 bits of the eight products (fields 0, 2, 1, 3, 4, 6, 5, 7).
  const __m256i bits = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castpd_ps(products_low), _mm256_castpd_ps(products_high), 0x88));
  const __m256i undecided = _mm256_cmpgt_epi32(
      c.undecided_end, _mm256_and_si256(_mm256_add_epi32(bits, c.undecided_shift), c.low_bits));

  const __m256 magnitudes = _mm256_insertf128_ps(
      _mm256_castps128_ps256(_mm256_cvtpd_ps(products_low)), _mm256_cvtpd_ps(products_high), 1);
  // The value's sign is bit 6 of the code.
  const __m256 values = _mm256_or_ps(
      magnitudes, _mm256_castsi256_ps(_mm256_and_si256(_mm256_slli_epi32(code, 25), c.sign_bit)));
  _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(values, c.order));
  // Lanes that are in the table and decided are all ones.
  const auto decided = static_cast<unsigned>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_andnot_si256(undecided, in_table))));
  if (decided == 0xFF) [[likely]]
    return 0xFF;
  return decided_fields(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(in_table))),
                        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(undecided))));
}

// Transposes the 8 x 8 floats of rows 0 to 3 (their first four in the low
// half of in[0 .. 3], the others in the low half of in[4 .. 7]) and rows 4
// to 7 (in the high halves): column j to in[j].
TOLVIK_AVX2 inline void transpose_eight(__m256 in[8]) {
  for (int h = 0; h < 8; h += 4) {
    const __m256 t0 = _mm256_unpacklo_ps(in[h], in[h + 1]);
    const __m256 t1 = _mm256_unpackhi_ps(in[h], in[h + 1]);
    const __m256 t2 = _mm256_unpacklo_ps(in[h + 2], in[h + 3]);
    const __m256 t3 = _mm256_unpackhi_ps(in[h + 2], in[h + 3]);
    in[h] = _mm256_shuffle_ps(t0, t2, 0x44);
    in[h + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    in[h + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
    in[h + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
}

// Stores the values of `blocks` blocks (1 to 8), n each, block after block at
// `values`, as storage[p][index + b].
TOLVIK_AVX2 void store_columns(const float* values, std::size_t blocks, std::uint64_t n,
                               float* const* storage, std::size_t index) {
  const std::size_t stride = static_cast<std::size_t>(n);
  // Row b of the eight, or zeros past the run's blocks.
  auto quarter = [&](std::size_t b, std::uint64_t first) {
    return b < blocks ? _mm_loadu_ps(values + b * stride + first) : _mm_setzero_ps();
  };
  const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(blocks)),
                                           _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  for (std::uint64_t first = 0; first < n; first += 8) {
    __m256 rows[8];
    if (blocks == 8) {
      for (std::size_t k = 0; k < 8; ++k) {
        const float* at = values + (k % 4) * stride + first + 4 * (k / 4);
        rows[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(at)),
                                       _mm_loadu_ps(at + 4 * stride), 1);
      }
    } else {
      for (std::size_t k = 0; k < 8; ++k) {
        rows[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(quarter(k % 4, first + 4 * (k / 4))),
                                       quarter(k % 4 + 4, first + 4 * (k / 4)), 1);
      }
    }
    transpose_eight(rows);
    const std::uint64_t columns = std::min<std::uint64_t>(8, n - first);
    if (blocks == 8) {
      for (std::uint64_t j = 0; j < columns; ++j)
        _mm256_storeu_ps(storage[first + j] + index, rows[j]);
    } else {
      for (std::uint64_t j = 0; j < columns; ++j) {
        _mm256_maskstore_ps(storage[first + j] + index, lanes, rows[j]);
      }
    }
  }
}

// Pass 1 at width Width (see BlockRunPasses). Not inlined into read_fields,
// which then only jumps to the one for the width.
template <unsigned Width>
[[gnu::noinline]] TOLVIK_AVX2 std::size_t read_fields_at(const DataLineLayout& layout,
                                                         const char* text, std::size_t size,
                                                         std::uint64_t n, std::size_t wanted,
                                                         std::size_t* block_starts,
                                                         std::uint32_t* words) {
  const Layout::Lanes& lanes = layout.lanes();
  const PairConstants c = pair_constants(opaque_tables(), lanes);
  const DataLines<Width> lines(n);
  std::size_t at = block_starts[0];
  std::uint32_t* out = words;
  std::size_t blocks = 0;
  for (; blocks < wanted; ++blocks) {
    const std::size_t lead = lead_line_length(text + at, size - at);
    if (lead == kNoAsciiLine) break;
    const std::size_t first = at + lead + 1;
    __m256i allowed = _mm256_set1_epi8(-1);
    const std::size_t end =
        size - first >= lines.most
            ? read_data_lines<Width, false>(lines, c, text, size, first, out, allowed)
            : read_data_lines<Width, true>(lines, c, text, size, first, out, allowed);
    if (end == 0 || !all_allowed(allowed, lanes)) break;
    at = end;
    block_starts[blocks + 1] = end;
  }
  return blocks;
}

TOLVIK_AVX2 std::size_t read_fields(const DataLineLayout& layout, const char* text,
                                    std::size_t size, std::uint64_t n, std::size_t wanted,
                                    std::size_t* block_starts, BlockScratch& scratch) {
  std::uint32_t* const words = scratch.words.data();
  switch (layout.width()) {
    case 11:
      return read_fields_at<11>(layout, text, size, n, wanted, block_starts, words);
    case 12:
      return read_fields_at<12>(layout, text, size, n, wanted, block_starts, words);
    case 13:
      return read_fields_at<13>(layout, text, size, n, wanted, block_starts, words);
    case 14:
      return read_fields_at<14>(layout, text, size, n, wanted, block_starts, words);
    default:
      return read_fields_at<15>(layout, text, size, n, wanted, block_starts, words);
  }
}

// Pass 2, eight values at a time (see BlockRunPasses).
template <bool Nine>
TOLVIK_AVX2 std::size_t convert_fields_of(const DataLineLayout& layout, const std::uint32_t* words,
                                          std::size_t count, float* values,
                                          BlockScratch::Undone* undone) {
  const ConvertConstants cc = convert_constants(layout);
  std::size_t groups = 0;  // eights with values left undone
  std::size_t f = 0;
  for (; f + 8 <= count; f += 8) {
    const unsigned left = 0xFF & ~convert_eight<Nine>(cc, words + 4 * f, values + f);
    if (left != 0) [[unlikely]] {
      undone[groups++] = {f, left};
    }
  }
  if (f < count) {
    const unsigned left =
        ((1u << (count - f)) - 1) & ~convert_eight<Nine>(cc, words + 4 * f, values + f);
    if (left != 0) undone[groups++] = {f, left};
  }
  return groups;
}

TOLVIK_AVX2 std::size_t convert_fields(const DataLineLayout& layout, std::size_t count,
                                       BlockScratch& scratch) {
  const std::uint32_t* words = scratch.words.data();
  float* values = scratch.values.data();
  BlockScratch::Undone* undone = scratch.undone.data();
  return layout.width() == 15 ? convert_fields_of<true>(layout, words, count, values, undone)
                              : convert_fields_of<false>(layout, words, count, values, undone);
}

}  // namespace

constexpr BlockRunPasses kAvx2BlockRuns{8, 4, nullptr, read_fields, convert_fields, store_columns};

}  // namespace tolvik

#endif
