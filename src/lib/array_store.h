// Fills the arrays of a plot: the times in one array of floats, and the values
// of parameters 1 to n - 1 as the rows of one matrix, row p - 1 for parameter
// p. Values are written where they will live: after a first small room, the
// rows are laid out with room for as many blocks as the rest of the file holds
// at the bytes each block has taken so far, so that a read usually lays them
// out twice, the first time with few values to move; when blocks differ in
// size, the rows move down at the end to close the gaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/plot_store.h"
#include "text/float_array.h"

namespace tolvik {

struct PlotArrays {
  std::vector<std::string> names;  // every name line, trimmed of whitespace
  std::size_t blocks = 0;
  FloatArray times;   // blocks floats
  FloatArray values;  // (n - 1) x blocks floats, row by row
};

class ArrayStore final : public PlotStore {
 public:
  void add_name(std::string_view line) override;
  void start(std::uint64_t n, std::uint64_t n_digits, const LineSource& lines) override;
  Room make_room(std::size_t blocks, float** slots, const LineSource& lines) override;

  // The arrays of the first `blocks` blocks, each exactly as large as its
  // values; the store is empty afterwards.
  PlotArrays finish(std::size_t blocks) &&;

 private:
  std::size_t next_capacity(std::size_t blocks, const LineSource& lines) const;

  std::vector<std::string> names_;
  std::size_t rows_ = 0;            // n - 1
  std::uint64_t least_bytes_ = 1;   // the fewest bytes a whole block can take
  std::uint64_t blocks_start_ = 0;  // the file offset of the first block
  std::size_t capacity_ = 0;        // blocks each row has room for
  std::size_t rooms_ = 0;           // rooms made so far
  FloatArray times_;
  FloatArray values_;
};

}  // namespace tolvik
