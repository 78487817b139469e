// w * 10^e rounded to the nearest float with double arithmetic, for the (w, e)
// where one double multiplication or division followed by one rounding to float
// is provably the correctly rounded result. Callers fall back to the exact
// algorithm for everything else.
//
// Why it is exact (w <= 2^53, so w is a double):
// - e >= 0 with w * 5^e <= 2^53: w * 10^e = (w * 5^e) * 2^e is a double, the
//   product is exact, and converting it to float is the only rounding.
// - e = -k with 1 <= k <= 12: the double quotient q' of q = w / 10^k is within
//   2^-53 * q of q. A float midpoint m = M * 2^E (M odd, M < 2^25) that q is not
//   equal to lies farther away than that: |q - m| = |w - M * 2^(E+k) * 5^k| / 10^k,
//   which is at least 10^-k > 2^-53 * q when E + k >= 0 (the numerator is a
//   nonzero integer and q < 2^53 / 10^k), and at least 2^E / 5^k > 2^-53 * q
//   when E + k < 0 (q < 2^(E+25) and 5^12 * 2^25 < 2^53). So q' and q lie on the
//   same side of every midpoint, and when q is itself a midpoint it has 25
//   significant bits, q' = q, and the conversion rounds the tie to even.
// - e = -k with 13 <= k <= 22 and w <= 2^24: the bound above no longer holds,
//   but no such quotient lies close enough to a midpoint to be rounded across
//   it; tests/native/fast_decimal_check.cpp checks every one of them.
#pragma once

#include <array>
#include <cstdint>

namespace tolvik {
namespace fast_decimal_detail {

constexpr int kMinExponent = -22;
constexpr int kMaxExponent = 22;  // 10^22 is the largest power of ten that is a double
constexpr std::size_t kCount = kMaxExponent - kMinExponent + 1;

constexpr double power_of_ten(int k) {
  double p = 1;
  for (int i = 0; i < k; ++i) p *= 10;  // exact for k <= 22
  return p;
}

// For index e - kMinExponent: the multiplier 10^max(e, 0), the divisor
// 10^max(-e, 0), and the largest w for which the result is correctly rounded.
struct Scale {
  double multiplier;
  double divisor;
  std::uint64_t max_significand;
};

constexpr std::array<Scale, kCount> kScales = [] {
  std::array<Scale, kCount> scales{};
  constexpr std::uint64_t kTwoPow53 = std::uint64_t{1} << 53;
  for (int e = kMinExponent; e <= kMaxExponent; ++e) {
    Scale& s = scales[static_cast<std::size_t>(e - kMinExponent)];
    s.multiplier = e > 0 ? power_of_ten(e) : 1;
    s.divisor = e < 0 ? power_of_ten(-e) : 1;
    std::uint64_t five_power = 1;
    for (int i = 0; i < e; ++i) five_power *= 5;
    s.max_significand = e < -12 ? std::uint64_t{1} << 24 : kTwoPow53 / five_power;
  }
  return scales;
}();

// The same tables as arrays of doubles, for lookups by vector gather, with
// one more entry, at index kCount, for every exponent outside the table: its
// limit is below every w, so the shortcut never applies there. Every limit on
// w is at most 2^53, so it is exact as a double, and w <= limit holds as
// doubles exactly when it holds as integers.
template <class Member>
constexpr std::array<double, kCount + 1> column(Member member, double outside) {
  std::array<double, kCount + 1> out{};
  for (std::size_t i = 0; i < kCount; ++i) out[i] = static_cast<double>(kScales[i].*member);
  out[kCount] = outside;
  return out;
}
constexpr std::array<double, kCount + 1> kMultipliers = column(&Scale::multiplier, 1);
constexpr std::array<double, kCount + 1> kDivisors = column(&Scale::divisor, 1);
constexpr std::array<double, kCount + 1> kMaxSignificands = column(&Scale::max_significand, -1);

}  // namespace fast_decimal_detail

// Stores w * 10^e correctly rounded to a float and returns true, or returns
// false (storing nothing) when this shortcut does not apply.
[[gnu::always_inline]] inline bool fast_decimal_to_float(std::uint64_t w, std::int64_t e,
                                                         float& value) {
  using namespace fast_decimal_detail;
  const auto index = static_cast<std::uint64_t>(e - kMinExponent);
  if (index >= kCount) return false;
  const Scale& scale = kScales[index];
  if (w > scale.max_significand) return false;
  // w <= 2^53 here, so the signed conversion (one instruction) is exact.
  const auto exact_w = static_cast<double>(static_cast<std::int64_t>(w));
  value = static_cast<float>(exact_w * scale.multiplier / scale.divisor);
  return true;
}

}  // namespace tolvik
