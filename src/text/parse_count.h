// The parameter count: an optional "+" then one or more ASCII digits, value at
// most 2^64 - 1. Leading zeros are allowed; no "-", not even before zero.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvik {

// The token's value, or nothing when the token is not a count.
std::optional<std::uint64_t> parse_count(std::string_view token) noexcept;

}  // namespace tolvik
