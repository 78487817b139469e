// The numbers of a plot file: parameter 0 (the time) of every block, and for
// every other parameter p, its values over all blocks in columns[p - 1]; each
// sequence holds `blocks` values.
#pragma once

#include <cstddef>
#include <vector>

#include "text/chunked_sequence.h"

namespace tolvik {

using FloatSequence = ChunkedSequence;

struct PlotData {
  std::size_t blocks = 0;
  FloatSequence times;
  std::vector<FloatSequence> columns;
};

}  // namespace tolvik
