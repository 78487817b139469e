// The AVX-512 kernel's block reader. A run of up to sixteen blocks is read in
// two passes, the second over memory that stays in the cache:
//
// 1. Fields and values: each data line is checked against the layout as up
//    to three 64-byte windows, a byte's class from one byte permutation
//    (VBMI) of a table of classes, line ends included. Then the block's
//    fields, eight at a time (a group, which may run on into the next line),
//    are taken from the 128 bytes from the group's first field: one
//    two-register byte permutation spreads their digits into eight 8-byte
//    records, which one multiply-add turns into pairs of digits (widths 13 to
//    15, with more than six significant digits, take a second record for the
//    lead digit and the exponent), another gathers their signs; and the
//    eight values are made at once as doubles w * 10^b * 10^(e - b)
//    (text/scaled_product.h, which says why that is exact when it decides),
//    both powers looked up by one register permutation each, rounded to
//    float and stored in file order. The few values left undecided, and
//    exponents beyond the table, are resolved one by one. A block is first
//    read taking its lead line and line ends to be like the block before, so
//    that where each line, group and the next block start is known without
//    reading the text first; a block that is not so is read again finding
//    them. A lead line or data line that is not of the usual kind, or not
//    whole in the text, ends the run before its block.
// 2. Columns: the run's values, block after block, are transposed sixteen by
//    sixteen, so that each parameter's values of the run go to its storage
//    in one store.
#include "lib/buffered_blocks.h"

#if defined(__x86_64__)

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

#include "text/ascii_line.h"
#include "text/data_line_avx512.h"
#include "text/scaled_product.h"

namespace tolvik {
namespace {

using namespace avx512;

namespace sp = scaled_product;

// Widths above 12 have more than six significant digits: their fields take
// two records each.
constexpr bool two_records(unsigned width) {
  return width > 12;
}

// The byte of a field that holds significant digit i (0: the lead digit),
// or, for i < 0 (a digit the width lacks), the point, which is below '0' and
// so reads as a zero digit.
constexpr unsigned digit_offset(int i) {
  return i < 0 ? 2u : i == 0 ? 1u : static_cast<unsigned>(i) + 2;
}

// Byte classes: those of a field (DataLineLayout's), the line ends, and
// none of these; a byte past a line's is expected to be of any class.
constexpr unsigned char kClassNewline = 0x20;
constexpr unsigned char kClassReturn = 0x40;
constexpr unsigned char kClassNone = 0x80;
constexpr unsigned char kClassAny = 0xFF;

// The class of every byte below 0x80, as two 64-byte tables for one
// two-table byte permutation.
struct ClassTable {
  alignas(64) std::array<unsigned char, 128> classes;
};
constexpr ClassTable make_class_table() {
  using L = DataLineLayout;
  ClassTable table{};
  for (unsigned b = 0; b < 128; ++b)
    table.classes[b] = L::kClassHigh[b >> 4] & L::kClassLow[b & 15];
  table.classes['\n'] = kClassNewline;
  table.classes['\r'] = kClassReturn;
  for (unsigned char& c : table.classes) {
    if (c == 0) c = kClassNone;
  }
  return table;
}
inline constexpr ClassTable kLineClasses = make_class_table();

using Bytes64 = std::array<unsigned char, 64>;

// A group is eight fields of a block that follow one another, from field 8g:
// they start at field j = 8g mod 10 of a data line (0, 2, 4, 6 or 8) and run
// on into the next line after field 9. Its records and signs are taken from
// the 128 bytes from its first field by two-register byte permutations,
// whose indexes depend on the width, j and the line end's length alone.
struct GroupTables {
  // [j / 2][line end "\n", "\r\n"]: byte q of record i is byte index[8i + q].
  // First record: the last six significant digits right aligned (the last
  // eight for two records), then, for one record, the exponent's two digits.
  // Second record: the lead digit of nine, a zero, the exponent's two digits,
  // zeros.
  std::array<std::array<Bytes64, 2>, 5> first{};
  std::array<std::array<Bytes64, 2>, 5> second{};
  // Bytes 0 to 7: the value's sign (or blank) of each field; 8 to 15: the
  // exponent's sign.
  std::array<std::array<Bytes64, 2>, 5> signs{};
};

constexpr GroupTables make_group_tables(unsigned width) {
  GroupTables tables;
  const int significant = static_cast<int>(width) - 6;
  const int first_digits = two_records(width) ? 8 : 6;
  for (unsigned j = 0; j < 10; j += 2) {
    for (unsigned end = 1; end <= 2; ++end) {
      for (unsigned i = 0; i < 8; ++i) {
        // Where field j + i starts, from field j; past field 9 the next line's.
        const unsigned start = i * width + (j + i >= 10 ? end : 0);
        for (unsigned q = 0; q < 8; ++q) {
          unsigned first = width - 8 + q;  // q 6 and 7: the exponent's digits
          if (static_cast<int>(q) < first_digits) {
            first = digit_offset(significant - first_digits + static_cast<int>(q));
          }
          tables.first[j / 2][end - 1][8 * i + q] = static_cast<unsigned char>(start + first);
          unsigned second = 2;  // the point: a zero digit
          if (q == 0) second = digit_offset(significant - 9);
          if (q == 2 || q == 3) second = width - 4 + q;
          tables.second[j / 2][end - 1][8 * i + q] = static_cast<unsigned char>(start + second);
        }
        tables.signs[j / 2][end - 1][i] = static_cast<unsigned char>(start);
        tables.signs[j / 2][end - 1][8 + i] = static_cast<unsigned char>(start + width - 3);
      }
    }
  }
  return tables;
}

template <unsigned Width>
inline constexpr GroupTables kGroupTables = make_group_tables(Width);

// A data line of a block, checked as up to three 64-byte windows from its
// start.
struct LinePlan {
  // The classes allowed at byte 64k + i: any past the line's end.
  std::array<Bytes64, 3> expected{};
  std::array<std::uint64_t, 3> bytes{};  // its bytes, the line end's included
  unsigned length = 0;                   // its bytes in all
  unsigned fields = 0;
};

LinePlan line_plan(unsigned width, unsigned fields, unsigned end) {
  LinePlan line;
  line.fields = fields;
  line.length = fields * width + end;
  for (unsigned k = 0; k < 3; ++k) {
    for (unsigned i = 0; i < 64; ++i) {
      const unsigned at = 64 * k + i;
      line.expected[k][i] = kClassAny;
      if (at >= line.length) continue;
      line.bytes[k] |= std::uint64_t{1} << i;
      if (at >= fields * width) {
        line.expected[k][i] = end == 2 && at == fields * width ? kClassReturn : kClassNewline;
      } else {
        line.expected[k][i] = DataLineLayout::allowed_classes(width, at % width);
      }
    }
  }
  return line;
}

// Group g of a block: the data line it starts in, where in that line, and
// which of the group tables its records take (by that line's end).
struct GroupPlan {
  std::uint32_t line;
  std::uint32_t offset;  // j * width
  std::uint32_t table;   // j / 2
  std::uint32_t fields;  // a bit for each of its fields (eight but in the last group)
};

// What the fields pass needs to know of a block of n parameters, worked out
// once for a read; its groups follow it in the plan.
struct BlockPlan {
  std::array<LinePlan, 2> full;  // by line end: "\n", "\r\n"
  std::array<LinePlan, 2> last;
  std::array<std::uint32_t, 2> even;  // the data lines' bytes, all ending alike
  std::uint32_t lines;
  std::uint32_t groups;

  const GroupPlan* group_plans() const noexcept {
    return reinterpret_cast<const GroupPlan*>(this + 1);
  }
};

// The most data lines of a block that the block reader reads.
constexpr std::size_t kMostLines = 4096 / 10 + 1;

void prepare(const DataLineLayout& layout, std::uint64_t n, BlockScratch& scratch) {
  const unsigned width = layout.width();
  const auto lines = static_cast<std::uint32_t>((n - 1) / 10 + 1);
  const auto last = static_cast<unsigned>(n - 10 * (lines - 1));
  const auto groups = static_cast<std::uint32_t>((n + 7) / 8);
  const std::size_t bytes = sizeof(BlockPlan) + groups * sizeof(GroupPlan);
  scratch.plan.reserve_exact(bytes / sizeof(std::uint64_t) + 1);
  auto* plan = new (scratch.plan.data()) BlockPlan{};
  plan->lines = lines;
  plan->groups = groups;
  for (unsigned end = 1; end <= 2; ++end) {
    plan->full[end - 1] = line_plan(width, 10, end);
    plan->last[end - 1] = line_plan(width, last, end);
    plan->even[end - 1] = (lines - 1) * (10 * width + end) + last * width + end;
  }
  auto* group_plans = new (plan + 1) GroupPlan[groups];
  for (std::uint32_t g = 0; g < groups; ++g) {
    const std::uint32_t field = 8 * g;
    const auto fields = static_cast<unsigned>(std::min<std::uint64_t>(8, n - field));
    group_plans[g] = {field / 10, field % 10 * width, field % 10 / 2, (1u << fields) - 1};
  }
}

// The registers of the fields pass.
struct FieldConstants {
  __m512i classes_low, classes_high, last_ascii, ascii_zero, tens, second_weights, newline;
};

TOLVIK_AVX512 inline FieldConstants field_constants() {
  return {
      _mm512_load_si512(kLineClasses.classes.data()),
      _mm512_load_si512(kLineClasses.classes.data() + 64),
      _mm512_set1_epi8(0x7F),
      _mm512_set1_epi8('0'),
      _mm512_set1_epi16(0x010A),  // byte pairs weighted 10 and 1
      // The second record: the lead digit weighted 1, the exponent's digits
      // 10 and 1.
      _mm512_set1_epi64(0x010A0001),
      _mm512_set1_epi8('\n'),
  };
}

// The registers of the conversion.
struct ValueConstants {
  __m512i pair_weights, hundreds, bias, last_index, low_word;
  __m512i ten_thousand, hundred_million;
  __m512d small_powers, quad_scales_low, quad_scales_high;
  __m512i undecided_shift, low_bits, undecided_span;
  __m256i sign_bit;
  __m128i minus_bit;
};

TOLVIK_AVX512 inline ValueConstants value_constants(unsigned width) {
  return {
      // One record: (10a + b) * 100 + (10c + d), then 10e + f. Two: the first
      // four of the last eight digits, then the last four.
      two_records(width) ? _mm512_set1_epi64(0x0001006400010064)
                         : _mm512_set1_epi64(0x0000000100010064),
      _mm512_set1_epi64(100),
      // The written exponent plus this is the index of its power of ten:
      // e + 37 with e = exponent - (width - 7).
      _mm512_set1_epi64(-sp::kMinExponent - static_cast<int>(width - 7)),
      _mm512_set1_epi64(63),
      _mm512_set1_epi64(0xFFFF),
      _mm512_set1_epi64(10000),
      _mm512_set1_epi64(100000000),
      _mm512_load_pd(sp::kSmallPowers.data()),
      _mm512_load_pd(sp::kQuadScales.data()),
      _mm512_load_pd(sp::kQuadScales.data() + 8),
      _mm512_set1_epi64(static_cast<long long>(sp::kUndecidedShift)),
      _mm512_set1_epi64(static_cast<long long>(sp::kLowBits)),
      _mm512_set1_epi64(static_cast<long long>(sp::kUndecidedSpan)),
      _mm256_set1_epi32(INT32_MIN),
      _mm_set1_epi8(4),
  };
}

// The values of eight fields from their records (`extra`: the second ones,
// for TwoRecords) and the bytes of their signs (`signs`: the value's sign or
// blank of each, then its exponent's sign), stored at `out`. Returns the
// fields whose value is stored.
template <bool TwoRecords>
TOLVIK_AVX512 inline __mmask8 convert_eight(const ValueConstants& c, __m512i pairs, __m512i extra,
                                            __m128i signs, float* out) {
  // Of ' ', '+' and '-', only '-' has bit 2 set.
  const __mmask16 minus = _mm_test_epi8_mask(signs, c.minus_bit);
  const auto negative = static_cast<__mmask8>(minus);
  const auto negative_exponent = static_cast<__mmask8>(minus >> 8);
  const __m512i halves = _mm512_madd_epi16(pairs, c.pair_weights);
  __m512i w;
  __m512i exponent;
  if constexpr (TwoRecords) {
    w = _mm512_add_epi64(_mm512_mul_epu32(halves, c.ten_thousand), _mm512_srli_epi64(halves, 32));
    w = _mm512_add_epi64(w,
                         _mm512_mul_epu32(_mm512_and_si512(extra, c.low_word), c.hundred_million));
    exponent = _mm512_srli_epi64(extra, 16);
  } else {
    (void)extra;
    w = _mm512_add_epi64(_mm512_mul_epu32(halves, c.hundreds), _mm512_srli_epi64(halves, 32));
    exponent = _mm512_srli_epi64(pairs, 48);
  }
  // The power's index: bias + exponent, or bias - exponent.
  const __m512i t = _mm512_mask_sub_epi64(_mm512_add_epi64(c.bias, exponent), negative_exponent,
                                          c.bias, exponent);
  const __mmask8 in_table = _mm512_cmple_epu64_mask(t, c.last_index);
  const __m512d scale =
      _mm512_permutex2var_pd(c.quad_scales_low, _mm512_srli_epi64(t, 2), c.quad_scales_high);
  const __m512d exact =
      _mm512_mul_pd(_mm512_cvtepi64_pd(w), _mm512_permutexvar_pd(t, c.small_powers));
  const __m512d result = _mm512_mul_pd(exact, scale);
  const __m512i low = _mm512_and_si512(
      _mm512_add_epi64(_mm512_castpd_si512(result), c.undecided_shift), c.low_bits);
  const __mmask8 undecided = _mm512_cmple_epu64_mask(low, c.undecided_span);
  const __m256i magnitudes = _mm256_castps_si256(_mm512_cvtpd_ps(result));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_mask_or_epi32(magnitudes, negative, magnitudes, c.sign_bit));
  return static_cast<__mmask8>(in_table & ~undecided);
}

// 64 bytes at `at`; with Room all of them, else those that `bytes` selects.
template <bool Room>
TOLVIK_AVX512 inline __m512i load_window(const char* at, __mmask64 bytes) {
  if constexpr (Room) {
    return _mm512_loadu_si512(at);
  } else {
    return _mm512_maskz_loadu_epi8(bytes, at);
  }
}

// Checks the 64 bytes at `at` against the classes `expected` allows there:
// `allowed` keeps, byte by byte, the least of each byte's class and its
// expected classes in common, so that a byte of zero in it is a byte the
// layout does not allow. With Room all 64 bytes are readable, else those
// that `bytes` selects (the others are expected to be of any class).
template <bool Room>
TOLVIK_AVX512 inline void check_window(const FieldConstants& c, const char* at, __mmask64 bytes,
                                       const Bytes64& expected, __m512i& allowed) {
  const __m512i window = load_window<Room>(at, bytes);
  // The class of each byte from the table of the 128 below 0x80; every byte
  // from 0x80 on takes the class of 0x7F, which is kClassNone.
  const __m512i classes = _mm512_permutex2var_epi8(
      c.classes_low, _mm512_min_epu8(window, c.last_ascii), c.classes_high);
  allowed =
      _mm512_min_epu8(allowed, _mm512_and_si512(classes, _mm512_loadu_si512(expected.data())));
}

// Whether `allowed`, as check_window keeps it, has a byte of zero.
TOLVIK_AVX512 inline bool any_disallowed(__m512i allowed) {
  return _mm512_testn_epi8_mask(allowed, allowed) != 0;
}

// Where the fields pass puts the values, in file order, and the groups of
// values left undone.
struct ValueOutput {
  float* values;  // and sixteen to spare
  BlockScratch::Undone* undone;
  std::size_t undone_count = 0;
};

// The bytes of the 128 at `low` and `high` that `index` selects.
TOLVIK_AVX512 inline __m512i spread(__m512i low, const Bytes64& index, __m512i high) {
  return _mm512_permutex2var_epi8(low, _mm512_loadu_si512(index.data()), high);
}

// Records of digits: the digit bytes of `spread` (other bytes below '0'
// count as zero) in pairs weighted as `weights` says.
TOLVIK_AVX512 inline __m512i digit_pairs(const FieldConstants& c, __m512i spread, __m512i weights) {
  return _mm512_maddubs_epi16(_mm512_subs_epu8(spread, c.ascii_zero), weights);
}

// The values of group g of a block whose data lines start at `data`, g
// starting `start` bytes on in a line that ends in `end` + 1 bytes, stored
// for its first field `field`. Without Room, only the `bytes` bytes at `data`
// are read.
template <unsigned Width, bool Room>
TOLVIK_AVX512 inline void convert_group(const FieldConstants& c, const ValueConstants& v,
                                        const GroupPlan& g, const char* data, std::size_t start,
                                        unsigned end, std::size_t bytes, ValueOutput& out,
                                        std::size_t field) {
  const GroupTables& tables = kGroupTables<Width>;
  __mmask64 low_bytes = ~__mmask64{0}, high_bytes = ~__mmask64{0};
  if constexpr (!Room) {
    // The group's bytes lie within the block's (at most 128 of them).
    const auto left = static_cast<unsigned>(std::min<std::size_t>(bytes - start, 128));
    low_bytes = _bzhi_u64(~std::uint64_t{0}, std::min(left, 64u));
    high_bytes = left > 64 ? _bzhi_u64(~std::uint64_t{0}, left - 64) : 0;
  }
  const __m512i low = load_window<Room>(data + start, low_bytes);
  const __m512i high = load_window<Room>(data + start + 64, high_bytes);
  const __m512i pairs = digit_pairs(c, spread(low, tables.first[g.table][end], high), c.tens);
  __m512i extra = pairs;
  if constexpr (two_records(Width)) {
    extra = digit_pairs(c, spread(low, tables.second[g.table][end], high), c.second_weights);
  }
  const __m128i signs = _mm512_castsi512_si128(spread(low, tables.signs[g.table][end], high));
  const unsigned left = g.fields & ~unsigned{convert_eight<two_records(Width)>(
                                       v, pairs, extra, signs, out.values + field)};
  if (left != 0) [[unlikely]] {
    out.undone[out.undone_count++] = {field, left};
  }
}

// Whether the `lead` bytes at `text` are not plain ASCII or not followed by
// "\n" (lead below 63; 64 bytes readable there).
TOLVIK_AVX512 inline bool lead_line_differs(const FieldConstants& c, const char* text,
                                            unsigned lead) {
  const __m512i bytes = _mm512_loadu_si512(text);
  const std::uint64_t ends = _mm512_cmpeq_epi8_mask(bytes, c.newline);
  const std::uint64_t high = _mm512_movepi8_mask(bytes);
  return ((ends ^ std::uint64_t{1} << lead) | high) & _bzhi_u64(~std::uint64_t{0}, lead + 1);
}

// Reads the block at `text` taking its lead line to be `lead` bytes long
// (below 63) and its data lines to end in `end` bytes (1: "\n", 2: "\r\n"),
// its values going to `out` from field `field`; `lead` + 1 + `even[end - 1]`
// + 192 bytes are readable there. Where each line and group starts is then
// known without reading the lines before. Returns false, having stored
// nothing, when the block is not so.
template <unsigned Width>
TOLVIK_AVX512 inline bool read_even_block(const FieldConstants& c, const ValueConstants& v,
                                          const BlockPlan& plan, const char* text, unsigned lead,
                                          unsigned end, ValueOutput& out, std::size_t field) {
  constexpr bool kThree = 10 * Width + 2 > 128;  // lines of ten fields may take three windows
  const char* data = text + lead + 1;
  const LinePlan& full = plan.full[end - 1];
  __m512i allowed = _mm512_set1_epi8(-1);
  for (std::uint32_t l = 0; l < plan.lines; ++l) {
    const LinePlan& p = l + 1 < plan.lines ? full : plan.last[end - 1];
    const char* line = data + std::size_t{l} * full.length;
    check_window<true>(c, line, 0, p.expected[0], allowed);
    check_window<true>(c, line + 64, 0, p.expected[1], allowed);
    if constexpr (kThree) check_window<true>(c, line + 128, 0, p.expected[2], allowed);
  }
  if (any_disallowed(allowed) || lead_line_differs(c, text, lead)) return false;
  const GroupPlan* groups = plan.group_plans();
  for (std::uint32_t g = 0; g < plan.groups; ++g) {
    const std::size_t start = groups[g].line * std::size_t{full.length} + groups[g].offset;
    convert_group<Width, true>(c, v, groups[g], data, start, end - 1, 0, out, field + 8 * g);
  }
  return true;
}

// For a block whose bytes end inside the line at `line` (`left` bytes from
// there), its lines before checked into `allowed`: sets `cut` when they are
// in the layout and no line ends in the bytes left (so that the text ends
// inside that line). Returns 0, the bytes of a block not read.
TOLVIK_AVX512 inline std::size_t cut_inside(__m512i allowed, const char* line, std::size_t left,
                                            bool& cut) {
  cut = !any_disallowed(allowed) && std::memchr(line, '\n', left) == nullptr;
  return 0;
}

// Reads the data lines of the block whose first one starts at `data`, each
// ending in "\n" or "\r\n", its values going to `out` from field `field`. With
// Room, `even[1]` + 192 bytes are readable at `data`, else only the `size`
// bytes there. Returns the block's bytes, or 0 when a line is not whole in
// them or has a byte the layout does not allow; `cut` tells whether the
// bytes end inside a line, every whole line before it in the layout.
template <unsigned Width, bool Room>
TOLVIK_AVX512 std::size_t read_any_block(const FieldConstants& c, const BlockPlan& plan,
                                         const ValueConstants& v, const char* data,
                                         std::size_t size, ValueOutput& out, std::size_t field,
                                         bool& cut) {
  constexpr bool kThree = 10 * Width + 2 > 128;
  std::uint32_t line_starts[kMostLines];  // 2 * offset + 1 for a line ending in "\r\n"
  __m512i allowed = _mm512_set1_epi8(-1);
  std::size_t at = 0;
  for (std::uint32_t l = 0; l < plan.lines; ++l) {
    const bool full = l + 1 < plan.lines;
    // The line's end: "\r\n" when its fields are followed by "\r".
    const std::size_t fields_end = at + (full ? 10 : plan.last[0].fields) * Width;
    if (!Room && fields_end >= size) return cut_inside(allowed, data + at, size - at, cut);
    const unsigned end = data[fields_end] == '\r' ? 2 : 1;
    const LinePlan& p = full ? plan.full[end - 1] : plan.last[end - 1];
    if (!Room && size - at < p.length) return cut_inside(allowed, data + at, size - at, cut);
    line_starts[l] = static_cast<std::uint32_t>(2 * at + end - 1);
    const char* line = data + at;
    check_window<Room>(c, line, p.bytes[0], p.expected[0], allowed);
    check_window<Room>(c, line + 64, p.bytes[1], p.expected[1], allowed);
    if constexpr (kThree) check_window<Room>(c, line + 128, p.bytes[2], p.expected[2], allowed);
    at += p.length;
  }
  if (any_disallowed(allowed)) return 0;
  const GroupPlan* groups = plan.group_plans();
  for (std::uint32_t g = 0; g < plan.groups; ++g) {
    const std::uint32_t line = line_starts[groups[g].line];
    convert_group<Width, Room>(c, v, groups[g], data, line / 2 + groups[g].offset, line % 2, at,
                               out, field + 8 * g);
  }
  return at;
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

// Passes 1 and 2 at width Width (see BlockRunPasses): the values of each
// group of eight fields are converted as soon as its records are made. A
// file's blocks usually all have lead lines of one length and lines ending
// alike: each block is first read taking its lead line and line ends to be
// the previous block's, so that where it ends is known before it is read (and
// the next block's reading need not wait for this one's); should that not
// hold, it is read again finding both.
template <unsigned Width>
[[gnu::noinline]] TOLVIK_AVX512 std::size_t read_fields_at(const DataLineLayout& layout,
                                                           const char* text, std::size_t size,
                                                           std::uint64_t n, std::size_t wanted,
                                                           std::size_t* block_starts,
                                                           BlockScratch& scratch) {
  const FieldConstants c = field_constants();
  const ValueConstants v = value_constants(layout.width());
  const auto& plan = *reinterpret_cast<const BlockPlan*>(scratch.plan.data());
  ValueOutput out{scratch.values.data(), scratch.undone.data()};
  // The lead line's length taken (63: none, find it) and the line ends',
  // from the last block read.
  unsigned lead = 63;
  unsigned end = 1;
  if (scratch.last_shape != 0) {
    lead = scratch.last_shape >> 2;
    end = scratch.last_shape & 3;
  }
  std::size_t at = block_starts[0];
  std::size_t blocks = 0;
  for (; blocks < wanted; ++blocks) {
    const std::size_t field = blocks * n;
    const std::size_t even_bytes = lead + 1 + std::size_t{plan.even[end - 1]};
    if (lead < 63 && size - at >= even_bytes + 192 &&
        read_even_block<Width>(c, v, plan, text + at, lead, end, out, field)) [[likely]] {
      at += even_bytes;
      block_starts[blocks + 1] = at;
      continue;
    }
    const std::size_t length = lead_line_length(text + at, size - at);
    if (length == kNoAsciiLine) {
      // No line ends in the rest of the text: the lead line is cut by its end.
      scratch.cut = std::memchr(text + at, '\n', size - at) == nullptr;
      break;
    }
    const std::size_t data = at + length + 1;
    const std::size_t bytes =
        size - data >= std::size_t{plan.even[1]} + 192
            ? read_any_block<Width, true>(c, plan, v, text + data, size - data, out, field,
                                          scratch.cut)
            : read_any_block<Width, false>(c, plan, v, text + data, size - data, out, field,
                                           scratch.cut);
    if (bytes == 0) break;
    // The next block is first taken to be like this one.
    lead = static_cast<unsigned>(std::min<std::size_t>(length, 63));
    end = text[data + bytes - 2] == '\r' ? 2 : 1;
    at = data + bytes;
    block_starts[blocks + 1] = at;
  }
  scratch.undone.set_size(out.undone_count);
  if (lead < 63) scratch.last_shape = lead << 2 | end;
  return blocks;
}

TOLVIK_AVX512 std::size_t read_fields(const DataLineLayout& layout, const char* text,
                                      std::size_t size, std::uint64_t n, std::size_t wanted,
                                      std::size_t* block_starts, BlockScratch& scratch) {
  switch (layout.width()) {
    case 11:
      return read_fields_at<11>(layout, text, size, n, wanted, block_starts, scratch);
    case 12:
      return read_fields_at<12>(layout, text, size, n, wanted, block_starts, scratch);
    case 13:
      return read_fields_at<13>(layout, text, size, n, wanted, block_starts, scratch);
    case 14:
      return read_fields_at<14>(layout, text, size, n, wanted, block_starts, scratch);
    default:
      return read_fields_at<15>(layout, text, size, n, wanted, block_starts, scratch);
  }
}

}  // namespace

constexpr BlockRunPasses kAvx512BlockRuns{16, 0, prepare, read_fields, nullptr, store_columns};

}  // namespace tolvik

#endif
