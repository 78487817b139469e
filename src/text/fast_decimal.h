// w * 10^e rounded to the nearest float with double arithmetic, for every
// w <= 2^53 and -22 <= e <= 22: one double multiplication or division, a check
// that the result is not exactly halfway between two floats, and one rounding
// to float. Callers fall back to the exact algorithm for everything else.
//
// Why it is exact. w and p = 10^|e| are doubles (w <= 2^53, and 10^22 is the
// largest power of ten that is one), and the exact value x = w * p or w / p
// lies between 10^-22 and 2^53 * 10^22 < 2^127: within the range of normal
// floats. Let x' be the double nearest x (the result of the one operation).
// Rounding x' to float gives the float nearest x unless a float rounding
// boundary, a midpoint m between two floats, lies between x and x' or at x'.
// Every such m has 25 significant bits, so it is a double; it cannot lie
// strictly between x and x', or it would be a double nearer x than x'. So the
// only case that needs care is x' = m, while x != m. Then the sign of x - x'
// decides: it is the sign of the exact residual w * p - x' (for a product) or
// w - x' * p (for a quotient), which one fused multiply-add gives with a
// single rounding that keeps its sign. Moving x' one double step towards x
// moves it off the midpoint to the side of x, and rounding to float then
// gives the right float. When x = m exactly, x' = m and the residual is 0:
// the conversion rounds the tie to even, as it must.
//
// A double is exactly a float midpoint when it is in the range of normal
// floats and its mantissa, beyond the float's 24 bits, holds a one followed by
// zeros: its low 29 bits are 0x10000000.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace tolvik {
namespace fast_decimal_detail {

constexpr int kMinExponent = -22;
constexpr int kMaxExponent = 22;  // 10^22 is the largest power of ten that is a double
constexpr std::size_t kCount = kMaxExponent - kMinExponent + 1;
constexpr std::uint64_t kMaxSignificand = std::uint64_t{1} << 53;

constexpr std::uint64_t kLowBits = 0x1FFFFFFF;   // the double's bits beyond a float's
constexpr std::uint64_t kMidpoint = 0x10000000;  // those bits of a float midpoint

constexpr double power_of_ten(int k) {
  double p = 1;
  for (int i = 0; i < k; ++i) p *= 10;  // exact for k <= 22
  return p;
}

// For index e - kMinExponent: the multiplier 10^max(e, 0) and the divisor
// 10^max(-e, 0); one more entry, at index kCount, of 1 and 1 for the
// exponents outside the table (so that a vector lookup can clamp its index).
template <bool Multiplier>
constexpr std::array<double, kCount + 1> scales() {
  std::array<double, kCount + 1> out{};
  for (int e = kMinExponent; e <= kMaxExponent; ++e) {
    const int k = Multiplier ? e : -e;
    out[static_cast<std::size_t>(e - kMinExponent)] = k > 0 ? power_of_ten(k) : 1;
  }
  out[kCount] = 1;
  return out;
}
constexpr std::array<double, kCount + 1> kMultipliers = scales<true>();
constexpr std::array<double, kCount + 1> kDivisors = scales<false>();

// The rare case: x' (`result`) is exactly a float midpoint. Moves it one
// double step towards the exact value w * multiplier / divisor.
[[gnu::cold, gnu::noinline]] inline double off_midpoint(double w, double multiplier, double divisor,
                                                        double result) {
  const double residual =
      divisor == 1 ? std::fma(w, multiplier, -result) : std::fma(-result, divisor, w);
  const auto bits = std::bit_cast<std::uint64_t>(result);
  return std::bit_cast<double>(bits + (residual > 0) - (residual < 0));
}

}  // namespace fast_decimal_detail

// Stores w * 10^e correctly rounded to a float and returns true, or returns
// false (storing nothing) when this shortcut does not apply.
[[gnu::always_inline]] inline bool fast_decimal_to_float(std::uint64_t w, std::int64_t e,
                                                         float& value) {
  using namespace fast_decimal_detail;
  const auto index = static_cast<std::uint64_t>(e - kMinExponent);
  if (index >= kCount || w > kMaxSignificand) return false;
  // w <= 2^53 here, so the signed conversion (one instruction) is exact.
  const auto exact_w = static_cast<double>(static_cast<std::int64_t>(w));
  const double multiplier = kMultipliers[index];
  const double divisor = kDivisors[index];
  double result = exact_w * multiplier / divisor;
  if ((std::bit_cast<std::uint64_t>(result) & kLowBits) == kMidpoint) [[unlikely]] {
    result = off_midpoint(exact_w, multiplier, divisor, result);
  }
  value = static_cast<float>(result);
  return true;
}

}  // namespace tolvik
