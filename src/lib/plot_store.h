// Where a read keeps what it takes from a plot file: the parameters' names and
// the values of every block. The reader asks the store for room a run of
// blocks at a time and writes each value straight into its slot, so a store
// decides how values are laid out in memory (chunks that grow, or rows of one
// matrix) without a step per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/line_source.h"

namespace tolvik {

class PlotStore {
 public:
  // Blocks first to first + count - 1 have room: parameter p of block b goes
  // to slots[p][b - first].
  struct Room {
    std::size_t first;
    std::size_t count;
  };

  // A parameter-name line as read, one call per name line in file order.
  virtual void add_name(std::string_view line) = 0;

  // The parameter count n (at least 1; n - 1 columns fit in memory's address
  // range) and the field width, once every name line is read and before any
  // block. `lines` tells how far the file has been read.
  virtual void start(std::uint64_t n, std::uint64_t n_digits, const LineSource& lines) = 0;

  // Room for block `blocks` (every block before it has all its values) and
  // for as many blocks after it as the store likes; sets slots[0] to
  // slots[n - 1]. Throws OutOfMemory when memory cannot be had.
  virtual Room make_room(std::size_t blocks, float** slots, const LineSource& lines) = 0;

 protected:
  ~PlotStore() = default;
};

}  // namespace tolvik
