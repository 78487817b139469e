// Finding the end of a plain-ASCII line in bytes already read.
#pragma once

#include <cstddef>

namespace tolvik {

// The length of the line at the start of `text` (up to its "\n", which is not
// counted) when the "\n" lies within the first `size` bytes and every byte
// before it is below 0x80; kNoAsciiLine otherwise.
constexpr std::size_t kNoAsciiLine = static_cast<std::size_t>(-1);
std::size_t ascii_line_length(const char* text, std::size_t size) noexcept;

}  // namespace tolvik
