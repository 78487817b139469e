// Reading the usual blocks straight from bytes already read: each a lead line
// of plain ASCII, then its data lines in the simulation's layout (see
// text/data_line.h), each ending right after its last field with "\n" or
// "\r\n". Such blocks need none of the line source's work per line (finding
// the end, checking the UTF-8, gathering across refills); any other block is
// left to the caller, which reads it the general way, with the same result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/data_line.h"

namespace tolvik {

struct BlocksRead {
  std::size_t blocks;  // whole blocks read
  std::size_t bytes;   // the bytes they took, from the start of the text
};

// Reads the data line of `count` fields (1 to 10) at text[at] with the line
// kernel, when it ends right after its last field and lies whole in the `size`
// bytes at `text`: stores its values at slots[f][index] and returns the
// offset of the next line; returns 0 otherwise.
std::size_t read_buffered_line(const DataLineLayout& layout, LineKernelFunction kernel,
                               const char* text, std::size_t size, std::size_t at, unsigned count,
                               float* const* slots, std::size_t index);

// Reads whole blocks of n parameters from the `size` bytes at `text`, at most
// `max_blocks` of them, with the line kernel `kernel`: parameter p of block b
// goes to storage[p][index + b]. Stops before the first block that is not of
// the usual kind or does not lie whole in the text (its slots may have been
// written; the general way writes them again).
BlocksRead read_buffered_blocks(const DataLineLayout& layout, LineKernelFunction kernel,
                                const char* text, std::size_t size, std::uint64_t n,
                                float* const* storage, std::size_t index, std::size_t max_blocks);

}  // namespace tolvik
