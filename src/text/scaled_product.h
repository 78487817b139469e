// w * 10^e rounded to float through one double product, for w < 2^30 (nine
// digits at most) and -37 <= e <= 26: d = w * s rounded to double, s being
// 10^e rounded to double, then d rounded to float. That is the float nearest
// w * 10^e unless d lies within 3 units in the last place (ulps) of a float
// midpoint, which is rare (a few results in a billion) and is then left to
// the exact algorithm. The vector block reader converts this way, eight
// values to an instruction and with no division.
//
// Why it is exact. x = w * 10^e is 0 or between 10^-37 and 10^35: within the
// normal floats, where a float midpoint m (25 significant bits) is a double
// whose bits below a float's are 0x10000000. s = 10^e (1 + a) and d = w * s
// (1 + b) with |a|, |b| <= 2^-53, so |d - x| < 2^-52 x: within 2 ulps of x
// (an ulp of x's binade). Rounding d to float gives the float nearest x
// unless a midpoint m lies between x and d or at d; then |d - m| < 2 ulps,
// and m is in x's binade (a midpoint is 2^28 ulps from a binade's ends), so
// d's bits below a float's are within 2 of 0x10000000. The window taken here
// is 3, one to spare.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace tolvik::scaled_product {

constexpr int kMinExponent = -37;
constexpr int kMaxExponent = 26;

// 10^e rounded to double, at index e + 37 (the compiler rounds each literal
// correctly).
alignas(64) inline constexpr std::array<double, 64> kScales = {
    1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25,
    1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12,
    1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
    1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,
    1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26};

constexpr std::uint64_t kLowBits = 0x1FFFFFFF;  // a double's bits below a float's
// Adding this and keeping the low bits maps midpoint - 3 .. midpoint + 3 to 0 .. 6.
constexpr std::uint64_t kUndecidedShift = 0x10000000 + 3;
constexpr std::uint64_t kUndecidedSpan = 6;

// Whether the product d, rounded to float, is the float nearest x.
constexpr bool decided(double d) noexcept {
  return ((std::bit_cast<std::uint64_t>(d) + kUndecidedShift) & kLowBits) > kUndecidedSpan;
}

// Stores w * 10^e rounded to float and returns true, or returns false when the
// product leaves it undecided or e is beyond the table (w < 2^30).
inline bool to_float(std::uint32_t w, int e, float& value) noexcept {
  if (e < kMinExponent || e > kMaxExponent) return false;
  const double d = static_cast<double>(w) * kScales[static_cast<unsigned>(e - kMinExponent)];
  if (!decided(d)) return false;
  value = static_cast<float>(d);
  return true;
}

// The same product with 10^e split as 10^b * 10^(e - b), b = (e + 37) mod 4:
// w * 10^b is exact (w < 2^30 and 10^b <= 1000 make it an integer below
// 2^40), so d = (w * 10^b) * s', with s' = 10^(e - b) rounded to double, has
// the same two roundings as above and the same window decides. A vector
// reader looks both factors up by one register permutation each (eight and
// sixteen entries) instead of gathering from kScales.
alignas(64) inline constexpr std::array<double, 8> kSmallPowers = {1, 10, 100, 1000,
                                                                   1, 10, 100, 1000};
// 10^(4a - 37) rounded to double, at index a.
alignas(64) inline constexpr std::array<double, 16> kQuadScales = {
    1e-37, 1e-33, 1e-29, 1e-25, 1e-21, 1e-17, 1e-13, 1e-9,
    1e-5,  1e-1,  1e3,   1e7,   1e11,  1e15,  1e19,  1e23};

// to_float by the split product.
inline bool split_to_float(std::uint32_t w, int e, float& value) noexcept {
  if (e < kMinExponent || e > kMaxExponent) return false;
  const auto t = static_cast<unsigned>(e - kMinExponent);
  const double d = static_cast<double>(w) * kSmallPowers[t % 8] * kQuadScales[t / 4];
  if (!decided(d)) return false;
  value = static_cast<float>(d);
  return true;
}

}  // namespace tolvik::scaled_product
