// Checks the double shortcut for w / 10^k against the exact rounding
// criterion: for every w <= 2^24 and 1 <= k <= 22, for random w up to 2^53 and
// k <= 12, and for quotients that are float midpoints; and that each case is
// taken exactly up to its limit on w.
// Prints the number of mismatches.
#include "text/fast_decimal.h"

#include <bit>
#include <cstdio>
#include <random>

namespace {

__extension__ typedef unsigned __int128 uint128;

// Whether f (finite, positive, normal) is w / 10^k rounded to nearest, ties to
// even: |w / 10^k - m * 2^E| <= 2^(E-1), strictly when m is odd. Both sides
// are scaled by 10^k * 2^100: w <= 2^24 when k > 12, so E >= -97 and
// w * 2^100 < 2^128; w < 2^53 when k <= 12, so E >= -63 and w * 2^65 < 2^128.
bool correctly_rounded(std::uint64_t w, int k, float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const std::uint64_t m = (bits & 0x7FFFFF) | 0x800000;
  const int exponent = static_cast<int>(bits >> 23) - 127 - 23;
  const int scale = k > 12 ? 100 : 65;
  if ((bits >> 23) == 0 || exponent + scale < 1 || exponent > 40) return false;
  uint128 ten_k = 1;
  for (int i = 0; i < k; ++i) ten_k *= 10;
  const uint128 scaled_w = static_cast<uint128>(w) << scale;
  const uint128 scaled_f = (static_cast<uint128>(m) * ten_k) << (exponent + scale);
  const uint128 distance = scaled_w > scaled_f ? scaled_w - scaled_f : scaled_f - scaled_w;
  const uint128 half_ulp = ten_k << (exponent + scale - 1);
  return distance < half_ulp || (distance == half_ulp && (m & 1) == 0);
}

long check(std::uint64_t w, int k) {
  float f;
  if (!tolvik::fast_decimal_to_float(w, -k, f)) return 1;  // must apply
  return correctly_rounded(w, k, f) ? 0 : 1;
}

}  // namespace

int main() {
  long mismatches = 0;
  for (int k = 1; k <= 22; ++k) {
    for (std::uint64_t w = 1; w <= (std::uint64_t{1} << 24); ++w) mismatches += check(w, k);
  }
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 20'000'000; ++i) {
    const std::uint64_t w = (random() >> 11) | 1;  // up to 2^53 - 1
    mismatches += check(w >> (random() % 30), 1 + static_cast<int>(random() % 12));
  }
  // Quotients that are exactly float midpoints: M * 5^k * 2^j with M odd.
  for (int k = 1; k <= 12; ++k) {
    std::uint64_t five_k = 1;
    for (int i = 0; i < k; ++i) five_k *= 5;
    for (std::uint64_t m = (1u << 24) + 1; m < (1u << 24) + 4001; m += 2) {
      if (m * five_k < (std::uint64_t{1} << 53)) mismatches += check(m * five_k, k);
    }
  }
  // Limits: each case is taken up to its limit on w and declined beyond it.
  for (int k = 1; k <= 22; ++k) {
    const std::uint64_t limit = k > 12 ? std::uint64_t{1} << 24 : std::uint64_t{1} << 53;
    float f;
    if (!tolvik::fast_decimal_to_float(limit, -k, f)) ++mismatches;
    if (tolvik::fast_decimal_to_float(limit + 1, -k, f)) ++mismatches;
  }
  std::uint64_t five_e = 1;
  for (int e = 0; e <= 22; ++e, five_e *= 5) {
    const std::uint64_t limit = (std::uint64_t{1} << 53) / five_e;
    float f;
    if (!tolvik::fast_decimal_to_float(limit, e, f)) ++mismatches;
    if (tolvik::fast_decimal_to_float(limit + 1, e, f)) ++mismatches;
  }
  float f;
  if (tolvik::fast_decimal_to_float(1, -23, f) || tolvik::fast_decimal_to_float(1, 23, f)) {
    ++mismatches;
  }
  std::printf("%ld mismatches\n", mismatches);
  return mismatches == 0 ? 0 : 1;
}
