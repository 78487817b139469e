// The numbers of a plot file: parameter 0 (the time) of every block, and for
// every other parameter p, its values over all blocks in columns[p - 1]; each
// sequence holds `blocks` values.
#pragma once

#include <cstddef>
#include <vector>

#include "lib/plot_store.h"
#include "text/chunked_sequence.h"

namespace tolvik {

using FloatSequence = ChunkedSequence;

struct PlotData {
  std::size_t blocks = 0;
  FloatSequence times;
  std::vector<FloatSequence> columns;
};

// Fills a PlotData: every sequence gains one value per block, so all grow
// together, a chunk at a time. The names are not kept.
class PlotDataStore final : public PlotStore {
 public:
  void add_name(std::string_view) override {}
  void start(std::uint64_t n, std::uint64_t n_digits, const LineSource& lines) override;
  Room make_room(std::size_t blocks, float** slots, const LineSource& lines) override;

  // The data of the first `blocks` blocks; the store is empty afterwards.
  PlotData take(std::size_t blocks) &&;

 private:
  PlotData data_;
};

}  // namespace tolvik
