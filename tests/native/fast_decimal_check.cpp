// Checks the double shortcut for w * 10^e against an exact rounding criterion:
// for every w <= 2^24 and -22 <= e <= -1; for random w up to 2^53 and every e
// from -22 to 22; for values that are float midpoints and values so near one
// that the double result is the midpoint itself; and that it applies exactly
// for w <= 2^53 and -22 <= e <= 22.
// Prints the number of mismatches.
#include "text/fast_decimal.h"

#include <bit>
#include <cstdio>
#include <random>

namespace {

__extension__ typedef unsigned __int128 uint128;

uint128 power(unsigned base, int k) {
  uint128 p = 1;
  for (int i = 0; i < k; ++i) p *= base;
  return p;
}

// Whether f (finite, positive, normal) is w * 10^e rounded to nearest, ties to
// even. With f = m * 2^E (m < 2^24) the criterion is |x - m * 2^E| <= 2^(E-1),
// strictly when m is odd, in integers: for e >= 0, x = w * 10^e < 2^127; for
// e = -k, both sides times 10^k, and when E < 0 times 2^t (t = -E) divided by
// 2^min(t, k) = 2^s: w * 2^(t-s) and m * 5^k * 2^(k-s), at most about 2^77.
bool correctly_rounded(std::uint64_t w, int e, float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  if ((bits >> 23) == 0 || (bits >> 23) == 0xFF) return false;
  const uint128 m = (bits & 0x7FFFFF) | 0x800000;
  const int exponent = static_cast<int>(bits >> 23) - 127 - 23;
  uint128 x, fm, half;  // the value, the float and half its spacing, in one scale
  if (e >= 0) {
    if (exponent < 1) {  // f is an integer below 2^24: it must be x itself
      return static_cast<uint128>(w) * power(10, e) == (m >> -exponent) &&
             (m & ((uint128{1} << -exponent) - 1)) == 0;
    }
    x = static_cast<uint128>(w) * power(10, e) * 2;
    fm = (m << exponent) * 2;
    half = uint128{1} << exponent;
  } else {
    const int k = -e;
    const int t = -exponent;
    if (t < 1) {  // f = m * 2^E is an integer: both sides times 2 * 10^k
      x = static_cast<uint128>(w) * 2;
      fm = (m << exponent) * power(10, k) * 2;
      half = power(10, k) << exponent;
    } else {
      const int s = t < k ? t : k;
      x = (static_cast<uint128>(w) << (t - s)) * 2;
      fm = m * power(5, k) * (uint128{1} << (k - s)) * 2;
      half = power(5, k) << (k - s);
    }
  }
  const uint128 distance = x > fm ? x - fm : fm - x;
  return distance < half || (distance == half && (m & 1) == 0);
}

long check(std::uint64_t w, int e) {
  float f;
  if (!tolvik::fast_decimal_to_float(w, e, f)) return 1;  // must apply
  if (w == 0) return std::bit_cast<std::uint32_t>(f) == 0 ? 0 : 1;
  return correctly_rounded(w, e, f) ? 0 : 1;
}

}  // namespace

int main() {
  long mismatches = 0;
  for (int k = 1; k <= 22; ++k) {
    for (std::uint64_t w = 1; w <= (std::uint64_t{1} << 24); ++w) mismatches += check(w, -k);
  }
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 20'000'000; ++i) {
    const std::uint64_t w = (random() >> 11) | 1;  // up to 2^53 - 1
    mismatches += check(w >> (random() % 30), static_cast<int>(random() % 45) - 22);
  }
  // Float midpoints M * 2^E (M odd, 2^24 < M < 2^25), written as w * 10^e:
  // exactly, where M * 2^E * 10^-e is an integer below 2^53; and as the
  // integers just below and above it, where it is not (those quotients and
  // products lie so near the midpoint that the double result often is it).
  for (int i = 0; i < 200'000; ++i) {
    const uint128 m = (uint128{1} << 24) + 2 * (random() % (1u << 23)) + 1;
    const int e = static_cast<int>(random() % 45) - 22;
    uint128 scaled;  // M * 2^E * 10^-e for an E that puts it near 2^52
    if (e < 0) {
      scaled = m * power(5, -e);  // times 2^-e, then 2^E: pick E so it fits
      while (scaled < (uint128{1} << 52)) scaled <<= 1;
      while (scaled >= (uint128{1} << 53)) scaled >>= 1;  // E + k < 0: w is not exact
    } else {
      // M * 2^E / 10^e near 2^52: w = round(M * 2^E / 10^e).
      const uint128 ten = power(10, e);
      int shift = 0;
      while ((m << shift) / ten < (uint128{1} << 52)) ++shift;
      scaled = ((m << shift) + ten / 2) / ten;
    }
    const auto w = static_cast<std::uint64_t>(scaled);
    for (std::uint64_t d : {w - 1, w, w + 1}) {
      if (d <= (std::uint64_t{1} << 53)) mismatches += check(d, e);
    }
  }
  // Exact midpoints with a quotient: M * 5^k / 10^k = M / 2^k.
  for (int k = 1; k <= 12; ++k) {
    const std::uint64_t five_k = static_cast<std::uint64_t>(power(5, k));
    for (std::uint64_t m = (1u << 24) + 1; m < (1u << 24) + 4001; m += 2) {
      if (m * five_k < (std::uint64_t{1} << 53)) mismatches += check(m * five_k, -k);
    }
  }
  // Where it applies: w up to 2^53, e from -22 to 22.
  for (int e = -23; e <= 23; ++e) {
    float f;
    const bool inside = e >= -22 && e <= 22;
    if (tolvik::fast_decimal_to_float(std::uint64_t{1} << 53, e, f) != inside) ++mismatches;
    if (tolvik::fast_decimal_to_float((std::uint64_t{1} << 53) + 1, e, f)) ++mismatches;
  }
  std::printf("%ld mismatches\n", mismatches);
  return mismatches == 0 ? 0 : 1;
}
