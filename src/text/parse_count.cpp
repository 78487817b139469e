#include "text/parse_count.h"

namespace tolvik {

std::optional<std::uint64_t> parse_count(std::string_view token) noexcept {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;  // empty, or a lone sign
  std::uint64_t value = 0;
  // Sixteen digits stay below 10^16 < 2^64, so only longer tokens need the
  // overflow test on every step.
  const bool may_overflow = token.size() > 16;
  for (char ch : token) {
    auto digit = static_cast<unsigned>(static_cast<unsigned char>(ch) - '0');
    if (digit > 9) return std::nullopt;
    if (may_overflow) {
      if (__builtin_mul_overflow(value, 10u, &value)) return std::nullopt;
      if (__builtin_add_overflow(value, digit, &value)) return std::nullopt;
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

}  // namespace tolvik
