// Reading a data field as a 32-bit float, correctly rounded.
//
// The text is checked against the grammar in one pass that records where the
// integer and fraction digits lie and reads the exponent. The value is then
// found by the first of these that applies:
//   1. Short numbers (at most 19 digits forming an integer w, exponent e)
//      whose value w * 10^e one double operation gives exactly or close
//      enough that rounding it to float is still correct (fast_decimal.h):
//      w * 10^e for e in 0..22 while w * 5^e <= 2^53, w / 10^k for k <= 12,
//      and for k <= 22 while w <= 2^24.
//   2. A 128-bit product of the normalised significand with a truncated power
//      of five. The error of the truncation is bounded, so the rounding
//      direction is known except when the error could carry into the kept
//      bits; then step 3 decides. With more than 19 digits the first 19 are
//      tried, and one unit more in their last place: the value lies between
//      the two, so when both round the same way that is the answer.
//   3. Exact big-integer arithmetic on up to kMaxDigits significant digits.
//      When any digit beyond those is nonzero, the dropped digits are replaced
//      by a single 1 digit. This cannot change the rounding: every float and
//      every midpoint between neighbouring floats has fewer than 120
//      significant digits, so none lies strictly between the truncated value
//      and the truncated value plus one unit of its last digit, where both the
//      true and the modified value lie.
// No path allocates; every buffer is on the stack.
#include "text/parse_float.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "text/digit_word.h"
#include "text/fast_decimal.h"
#include "text/pow5_table.h"

namespace tolvik {
namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kInfinityBits = 0x7F800000u;
constexpr std::uint32_t kQuietNanBits = 0x7FC00000u;

// An exponent digit is taken into the value only while the value is below this.
constexpr std::int64_t kExponentDigitLimit = 65536;

// Significant digits kept by the exact path (a float needs fewer than 120).
constexpr int kMaxDigits = 768;

// For negative decimal exponents the exact path works on
// floor(value * 2^kFractionBits), which holds every bit down to 2^-160, well
// below the rounding bit of the smallest subnormal (2^-150).
constexpr int kFractionBits = 160;

constexpr std::array<std::uint64_t, 20> kPow10 = {
    1u,
    10u,
    100u,
    1000u,
    10000u,
    100000u,
    1000000u,
    10000000u,
    100000000u,
    1000000000u,
    10000000000u,
    100000000000u,
    1000000000000u,
    10000000000000u,
    100000000000000u,
    1000000000000000u,
    10000000000000000u,
    100000000000000000u,
    1000000000000000000u,
    10000000000000000000u,
};

// 5^0 to 5^27, every power of five below 2^64.
constexpr std::array<std::uint64_t, 28> kPow5Integer = [] {
  std::array<std::uint64_t, 28> powers{};
  powers[0] = 1;
  for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 5;
  return powers;
}();

inline unsigned digit_value(char c) {
  return static_cast<unsigned char>(c) - unsigned{'0'};
}

inline bool is_digit(char c) {
  return digit_value(c) < 10;
}

// The outcome of a parse inside this file, packed into one integer so that it
// travels in a register: the low 32 bits are the float's bits, the bits above
// them 0 for success, else 1 + the error's kind.
struct ParsedFloat {
  std::uint64_t packed;
};

ParsedFloat failure(FloatErrorKind kind) {
  return ParsedFloat{(std::uint64_t{1} + static_cast<std::uint64_t>(kind)) << 32};
}

ParsedFloat success(float value) {
  return ParsedFloat{std::bit_cast<std::uint32_t>(value)};
}

ParsedFloat success_bits(std::uint32_t bits) {
  return ParsedFloat{bits};
}

// The digits of a decimal number: the runs before and after the point (either
// may be empty, not both).
struct DigitRuns {
  const char* int_begin;
  const char* int_end;
  const char* frac_begin;
  const char* frac_end;
};

// The significant digits (from the first nonzero digit on) of a DigitRuns.
struct SignificantDigits {
  int kept;              // digits copied to the caller's buffer
  std::int64_t dropped;  // significant digits after the kept ones
  bool dropped_nonzero;  // whether any dropped digit is not 0
};

SignificantDigits collect_significant(const DigitRuns& runs, char* out, int capacity) {
  SignificantDigits result{0, 0, false};
  const char* const bounds[2][2] = {{runs.int_begin, runs.int_end},
                                    {runs.frac_begin, runs.frac_end}};
  bool leading = true;
  for (const auto& run : bounds) {
    const char* p = run[0];
    const char* const end = run[1];
    if (leading) {
      while (p != end && *p == '0') ++p;
      if (p == end) continue;
      leading = false;
    }
    while (p != end && result.kept < capacity) out[result.kept++] = *p++;
    if (p != end) {
      result.dropped += end - p;
      if (!result.dropped_nonzero) {
        result.dropped_nonzero = std::find_if(p, end, [](char c) { return c != '0'; }) != end;
      }
    }
  }
  return result;
}

// exponent + offset, where offset may be as large as a digit count. Offsets
// beyond +-2^40 are clamped: they put the value so far outside the float range
// that the result (infinity or zero) is the same, and the sum stays small.
std::int64_t decimal_exponent(std::int64_t exponent, std::int64_t offset) {
  constexpr std::int64_t kLimit = std::int64_t{1} << 40;
  return exponent + std::clamp(offset, -kLimit, kLimit);
}

// Bits of the float whose last significand bit has weight 2^ulp_exponent and
// whose significand (hidden bit included, after rounding) is m. Works across
// the subnormal boundary and lets a rounding carry move into the exponent,
// up to infinity.
std::uint32_t assemble(int ulp_exponent, std::uint64_t m) {
  return (static_cast<std::uint32_t>(ulp_exponent + 149) << 23) + static_cast<std::uint32_t>(m);
}

// The weight of the last significand bit of a float whose leading bit is
// 2^binary_exponent: 23 bits lower, but never below the subnormal unit 2^-149.
int ulp_exponent_for(int binary_exponent) {
  return std::max(binary_exponent - 23, -149);
}

// Rounds half to even: m is the truncated significand, half whether the first
// dropped bit is 1, rest whether any later dropped bit is 1.
std::uint64_t round_significand(std::uint64_t m, bool half, bool rest) {
  return m + (half && (rest || (m & 1)) ? 1 : 0);
}

// Magnitude bits of (m + f) * 2^e2 rounded to a float, where m != 0 and
// 0 <= f < 1 is nonzero exactly when `fraction` is set; a set `fraction`
// requires m >= 2^24, so that f lies below the rounding bit.
std::uint32_t round_scaled(std::uint64_t m, int e2, bool fraction) {
  const int top = 63 - std::countl_zero(m);
  const int binary_exponent = top + e2;
  if (binary_exponent > 127) return kInfinityBits;
  const int ulp_exponent = ulp_exponent_for(binary_exponent);
  // Bit i of m weighs 2^(i + e2); the bits below 2^ulp_exponent go.
  const int drop = ulp_exponent - e2;
  if (drop <= 0) return assemble(ulp_exponent, m << -drop);  // exact
  if (drop > 64) return 0;  // below 2^64 * 2^e2 <= 2^(ulp_exponent - 1) = 2^-150

  const std::uint64_t kept = drop == 64 ? 0 : m >> drop;
  const bool half = ((m >> (drop - 1)) & 1) != 0;
  const bool rest = (m & ((std::uint64_t{1} << (drop - 1)) - 1)) != 0 || fraction;
  return assemble(ulp_exponent, round_significand(kept, half, rest));
}

// Magnitude bits of w * 10^q rounded to a float, or -1 when the 128-bit
// approximation cannot decide the rounding. Requires w != 0.
std::int64_t product_bits(std::uint64_t w, std::int64_t q) {
  if (q < kPow5MinExponent) return 0;
  if (q > kPow5MaxExponent) return kInfinityBits;
  const Pow5Entry& pow5 = kPow5Table[static_cast<std::size_t>(q - kPow5MinExponent)];

  // x = w * 10^q = (wn * 2^-leading) * (pow5 * 2^shift + error) * 2^q, and
  // V = wn * 5^q * 2^-shift lies in [P, P + wn) with P = wn * pow5 exact,
  // so x = V * 2^(shift + q - leading).
  const int leading = std::countl_zero(w);
  const std::uint64_t wn = w << leading;
  const uint128 low_product = static_cast<uint128>(wn) * pow5.low;
  const uint128 high_product = static_cast<uint128>(wn) * pow5.high;
  const std::uint64_t p0 = static_cast<std::uint64_t>(low_product);
  const uint128 middle =
      static_cast<uint128>(static_cast<std::uint64_t>(high_product)) + (low_product >> 64);
  const std::uint64_t p1 = static_cast<std::uint64_t>(middle);
  const std::uint64_t p2 =
      static_cast<std::uint64_t>(high_product >> 64) + static_cast<std::uint64_t>(middle >> 64);

  // For q >= 0 the power is exact and so is V = P. For q < 0, V - P is in
  // (0, 2^64): it may carry into p2 only when p1 is all ones.
  const bool inexact = q < 0;
  if (inexact && p1 == ~std::uint64_t{0}) {
    // Mostly this is a value with a short binary expansion, such as 0.5 or
    // 586701045e-1, seen from just below. Those are w / 5^-q times 2^q exactly.
    const auto five_power = static_cast<std::size_t>(-q);
    if (five_power < kPow5Integer.size() && w % kPow5Integer[five_power] == 0) {
      return round_scaled(w / kPow5Integer[five_power], static_cast<int>(q), false);
    }
    return -1;
  }
  // p2 >= 2^62 (as P >= 2^190) and x = (p2 + f) * 2^(128 + shift + q - leading),
  // with f = (V mod 2^128) / 2^128 nonzero when p1, p0 or the error are.
  return round_scaled(p2, 128 + pow5.shift + static_cast<int>(q) - leading,
                      p1 != 0 || p0 != 0 || inexact);
}

// An unsigned integer of fixed capacity, just large enough for the exact path:
// at most kMaxDigits + 1 decimal digits times 2^kFractionBits (under 2^2720).
class BigUnsigned {
 public:
  bool is_zero() const { return size_ == 0; }

  // this = this * factor + addend
  void multiply_add(std::uint64_t factor, std::uint64_t addend) {
    std::uint64_t carry = addend;
    for (int i = 0; i < size_; ++i) {
      const uint128 t = static_cast<uint128>(limbs_[i]) * factor + carry;
      limbs_[i] = static_cast<std::uint64_t>(t);
      carry = static_cast<std::uint64_t>(t >> 64);
    }
    push(carry);
  }

  void shift_left(int bits) {
    const int limb_shift = bits / 64;
    const int bit_shift = bits % 64;
    if (size_ == 0) return;
    if (bit_shift != 0) {
      std::uint64_t carry = 0;
      for (int i = 0; i < size_; ++i) {
        const std::uint64_t next = limbs_[i] >> (64 - bit_shift);
        limbs_[i] = (limbs_[i] << bit_shift) | carry;
        carry = next;
      }
      push(carry);
    }
    if (limb_shift != 0 && size_ + limb_shift <= kCapacity) {
      for (int i = size_ - 1; i >= 0; --i) limbs_[i + limb_shift] = limbs_[i];
      for (int i = 0; i < limb_shift; ++i) limbs_[i] = 0;
      size_ += limb_shift;
    }
  }

  // this = this / divisor; returns the remainder.
  std::uint64_t divide(std::uint64_t divisor) {
    std::uint64_t remainder = 0;
    for (int i = size_ - 1; i >= 0; --i) {
      const uint128 t = (static_cast<uint128>(remainder) << 64) | limbs_[i];
      limbs_[i] = static_cast<std::uint64_t>(t / divisor);
      remainder = static_cast<std::uint64_t>(t % divisor);
    }
    while (size_ > 0 && limbs_[size_ - 1] == 0) --size_;
    return remainder;
  }

  int bit_length() const {
    if (size_ == 0) return 0;
    return 64 * size_ - std::countl_zero(limbs_[size_ - 1]);
  }

  bool bit(int index) const {
    const int limb = index / 64;
    return limb < size_ && ((limbs_[limb] >> (index % 64)) & 1) != 0;
  }

  // Whether any bit below index is set.
  bool any_below(int index) const {
    const int limb = index / 64;
    for (int i = 0; i < limb && i < size_; ++i) {
      if (limbs_[i] != 0) return true;
    }
    const std::uint64_t mask = (std::uint64_t{1} << (index % 64)) - 1;
    return limb < size_ && (limbs_[limb] & mask) != 0;
  }

  // Bits from index up (at most 63 of them are nonzero by the caller's choice).
  std::uint64_t bits_from(int index) const {
    const int limb = index / 64;
    const int shift = index % 64;
    if (limb >= size_) return 0;
    std::uint64_t value = limbs_[limb] >> shift;
    if (shift != 0 && limb + 1 < size_) value |= limbs_[limb + 1] << (64 - shift);
    return value;
  }

 private:
  static constexpr int kCapacity = 48;

  void push(std::uint64_t limb) {
    if (limb != 0 && size_ < kCapacity) limbs_[size_++] = limb;
  }

  std::array<std::uint64_t, kCapacity> limbs_{};
  int size_ = 0;
};

// Magnitude bits of the number, by exact integer arithmetic.
std::uint32_t exact_bits(const DigitRuns& runs, std::int64_t exponent) {
  char digits[kMaxDigits + 1];
  const SignificantDigits sig = collect_significant(runs, digits, kMaxDigits);
  if (sig.kept == 0) return 0;
  int count = sig.kept;
  std::int64_t e10 = decimal_exponent(exponent, sig.dropped - (runs.frac_end - runs.frac_begin));
  if (sig.dropped_nonzero) {
    digits[count++] = '1';
    e10 -= 1;
  }
  // The value D * 10^e10 lies in [10^(magnitude - 1), 10^magnitude).
  const std::int64_t magnitude = count + e10;
  if (magnitude > 39) return kInfinityBits;  // >= 10^39 > 2^128
  if (magnitude < -45) return 0;             // < 10^-46 < 2^-150

  BigUnsigned n;
  for (int i = 0; i < count;) {
    const int chunk = std::min(count - i, 19);
    std::uint64_t value = 0;
    for (int j = 0; j < chunk; ++j) value = value * 10 + digit_value(digits[i + j]);
    n.multiply_add(kPow10[static_cast<std::size_t>(chunk)], value);
    i += chunk;
  }

  // n becomes floor(value * 2^scale); rest records a nonzero remainder.
  int scale = 0;
  bool rest = false;
  if (e10 >= 0) {
    for (std::int64_t k = e10; k > 0; k -= 19) {
      n.multiply_add(kPow10[static_cast<std::size_t>(std::min<std::int64_t>(k, 19))], 0);
    }
  } else {
    scale = kFractionBits;
    n.shift_left(scale);
    for (std::int64_t k = -e10; k > 0; k -= 19) {
      rest |= n.divide(kPow10[static_cast<std::size_t>(std::min<std::int64_t>(k, 19))]) != 0;
    }
  }
  if (n.is_zero()) return 0;  // below 2^-160

  const int binary_exponent = n.bit_length() - 1 - scale;
  if (binary_exponent > 127) return kInfinityBits;
  const int ulp_exponent = ulp_exponent_for(binary_exponent);
  const int drop = ulp_exponent + scale;
  if (drop <= 0) return assemble(ulp_exponent, n.bits_from(0) << -drop);  // exact, below 2^24
  const bool half = n.bit(drop - 1);
  rest = rest || n.any_below(drop - 1);
  return assemble(ulp_exponent, round_significand(n.bits_from(drop), half, rest));
}

// Magnitude bits of a number with at most 19 digits: w * 10^e10.
std::uint32_t short_bits(const DigitRuns& runs, std::uint64_t w, std::int64_t e10,
                         std::int64_t exponent) {
  const std::int64_t bits = product_bits(w, e10);
  if (bits >= 0) return static_cast<std::uint32_t>(bits);
  return exact_bits(runs, exponent);
}

// Magnitude bits of a number with more than 19 digits.
std::uint32_t long_bits(const DigitRuns& runs, std::int64_t exponent) {
  char digits[19];
  const SignificantDigits sig = collect_significant(runs, digits, 19);
  if (sig.kept == 0) return 0;
  std::uint64_t w = 0;
  for (int i = 0; i < sig.kept; ++i) w = w * 10 + digit_value(digits[i]);
  const std::int64_t e10 =
      decimal_exponent(exponent, sig.dropped - (runs.frac_end - runs.frac_begin));
  const std::int64_t low = product_bits(w, e10);
  if (low >= 0 && !sig.dropped_nonzero) return static_cast<std::uint32_t>(low);
  // The value lies in (w * 10^e10, (w + 1) * 10^e10); w + 1 <= 10^19 < 2^64.
  if (low >= 0 && product_bits(w + 1, e10) == low) return static_cast<std::uint32_t>(low);
  return exact_bits(runs, exponent);
}

// The general grammar pass over the text after the sign: digit runs, point
// and exponent. False when the text is not a decimal number. w collects all
// digits as one integer; it is exact, and used, only when there are at most
// 19 of them (beyond that it wraps around harmlessly).
bool scan_decimal(const char* p, const char* end, DigitRuns& runs, std::uint64_t& w,
                  std::int64_t& exponent) {
  unsigned digit = 0;
  runs.int_begin = p;
  for (; p != end && (digit = digit_value(*p)) < 10; ++p) w = w * 10 + digit;
  runs.int_end = p;
  runs.frac_begin = runs.frac_end = p;
  if (p != end && *p == '.') {
    runs.frac_begin = ++p;
    for (; p != end && (digit = digit_value(*p)) < 10; ++p) w = w * 10 + digit;
    runs.frac_end = p;
  }
  if (runs.int_end == runs.int_begin && runs.frac_end == runs.frac_begin) return false;
  if (p == end) return true;
  if ((*p | 0x20) != 'e') return false;
  bool negative_exponent = false;
  if (++p != end && (*p == '+' || *p == '-')) {
    negative_exponent = *p == '-';
    ++p;
  }
  if (p == end) return false;
  for (; p != end; ++p) {
    if (!is_digit(*p)) return false;
    if (exponent < kExponentDigitLimit) exponent = exponent * 10 + digit_value(*p);
  }
  if (negative_exponent) exponent = -exponent;
  return true;
}

// The shape a simulation writes, "1.01325E+05": one digit, a point, 4 to 8
// fraction digits, an exponent letter, its sign and two digits. Recognised by
// position, with the fraction digits checked and combined as one 8-byte word.
// False for anything else, which the general pass reads.
bool scan_e_form(const char* p, const char* end, DigitRuns& runs, std::uint64_t& w,
                 std::int64_t& exponent) {
  const std::ptrdiff_t length = end - p;
  if (length < 10 || length > 14) return false;
  const auto fraction_digits = static_cast<unsigned>(length - 6);
  const char* const e = end - 4;
  if (p[1] != '.' || (e[0] | 0x20) != 'e' || (e[1] != '+' && e[1] != '-')) return false;
  const unsigned lead = digit_value(p[0]);
  const unsigned tens = digit_value(e[2]);
  const unsigned ones = digit_value(e[3]);
  if (lead > 9 || tens > 9 || ones > 9) return false;

  const std::uint64_t t = digit_word(p + 2, fraction_digits);
  if (!all_digit_values(t)) return false;
  w = lead * kPow10[fraction_digits] + digit_word_value(t);
  const auto magnitude = static_cast<std::int64_t>(tens * 10 + ones);
  exponent = e[1] == '-' ? -magnitude : magnitude;
  runs.int_begin = p;
  runs.int_end = p + 1;
  runs.frac_begin = p + 2;
  runs.frac_end = e;
  return true;
}

bool equals_ignoring_case(const char* p, const char* end, std::string_view lower_word) {
  if (static_cast<std::size_t>(end - p) != lower_word.size()) return false;
  for (char c : lower_word) {
    if ((*p++ | 0x20) != c) return false;
  }
  return true;
}

// rest is the text after the sign; it is not a decimal number.
ParsedFloat parse_word(const char* p, const char* end, std::uint32_t sign) {
  if (equals_ignoring_case(p, end, "inf") || equals_ignoring_case(p, end, "infinity")) {
    return success_bits(kInfinityBits | sign);
  }
  if (equals_ignoring_case(p, end, "nan")) return success_bits(kQuietNanBits | sign);
  return failure(FloatErrorKind::Invalid);
}

}  // namespace

std::string_view describe(ParseFloatError error) noexcept {
  return error.kind == FloatErrorKind::Empty ? "ParseFloatError { kind: Empty }"
                                             : "ParseFloatError { kind: Invalid }";
}

namespace {

// short_number's cases beyond one float operation.
[[gnu::noinline]] ParsedFloat short_number_exact(const DigitRuns& runs, std::uint64_t w,
                                                 std::int64_t e10, std::int64_t exponent,
                                                 std::uint32_t sign) {
  if (w == 0) return success_bits(sign);
  return success_bits(short_bits(runs, w, e10, exponent) | sign);
}

// The value of a number of at most 19 digits, w * 10^e10 (w exact).
[[gnu::always_inline]] inline ParsedFloat short_number(const DigitRuns& runs, std::uint64_t w,
                                                       std::int64_t exponent, std::uint32_t sign) {
  const std::int64_t e10 = exponent - (runs.frac_end - runs.frac_begin);
  float value;
  if (fast_decimal_to_float(w, e10, value)) return success(sign != 0 ? -value : value);
  return short_number_exact(runs, w, e10, exponent, sign);
}

// Everything but the E form: words, the general grammar, long digit strings.
// Kept out of line so that the common path stays small.
[[gnu::noinline]] ParsedFloat parse_general(const char* p, const char* end, std::uint32_t sign) {
  if (!is_digit(*p) && *p != '.') return parse_word(p, end, sign);
  DigitRuns runs;
  std::uint64_t w = 0;
  std::int64_t exponent = 0;
  if (!scan_decimal(p, end, runs, w, exponent)) return failure(FloatErrorKind::Invalid);
  const std::int64_t int_length = runs.int_end - runs.int_begin;
  const std::int64_t frac_length = runs.frac_end - runs.frac_begin;
  if (int_length > 19 || frac_length > 19 - int_length) {
    return success_bits(long_bits(runs, exponent) | sign);
  }
  return short_number(runs, w, exponent, sign);
}

[[gnu::always_inline]] inline ParsedFloat parse(std::string_view text) noexcept {
  if (text.empty()) return failure(FloatErrorKind::Empty);
  const char* p = text.data();
  const char* const end = p + text.size();

  std::uint32_t sign = 0;
  if (*p == '-' || *p == '+') {
    if (*p == '-') sign = kSignBit;
    if (++p == end) return failure(FloatErrorKind::Invalid);
  }
  DigitRuns runs;
  std::uint64_t w = 0;
  std::int64_t exponent = 0;
  if (scan_e_form(p, end, runs, w, exponent)) return short_number(runs, w, exponent, sign);
  return parse_general(p, end, sign);
}

}  // namespace

bool parse_float32(std::string_view text, float& value, ParseFloatError& error) noexcept {
  const ParsedFloat parsed = parse(text);
  const auto status = static_cast<std::uint32_t>(parsed.packed >> 32);
  if (status != 0) {
    error.kind = static_cast<FloatErrorKind>(status - 1);
    return false;
  }
  value = std::bit_cast<float>(static_cast<std::uint32_t>(parsed.packed));
  return true;
}

bool scaled_decimal_by_product(std::uint64_t w, std::int64_t e, float& value) noexcept {
  if (w == 0) {
    value = 0;
    return true;
  }
  const std::int64_t bits = product_bits(w, e);
  if (bits < 0) return false;
  value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  return true;
}

}  // namespace tolvik
