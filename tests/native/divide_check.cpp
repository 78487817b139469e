// Checks the float parser's division by powers of ten against IEEE float
// division for every w <= 2^24 and every 1 <= k <= 10. Exits 1 on a mismatch.
#include "text/parse_float.cpp"

#include <cstdio>

int main() {
  const float powers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  long mismatches = 0;
  for (int k = 1; k <= 10; ++k) {
    for (std::uint64_t w = 0; w <= (std::uint64_t{1} << 24); ++w) {
      volatile float expected = static_cast<float>(w) / powers[k];
      if (tolvik::divide_by_power_of_ten(w, k) != expected) ++mismatches;
    }
  }
  std::printf("%ld mismatches\n", mismatches);
  return mismatches == 0 ? 0 : 1;
}
