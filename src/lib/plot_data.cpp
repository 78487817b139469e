#include "lib/plot_data.h"

#include <new>

namespace tolvik {

void PlotDataStore::start(std::uint64_t n, std::uint64_t /*n_digits*/,
                          const LineSource& /*lines*/) {
  try {
    data_.columns.resize(n - 1);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory{(n - 1) * sizeof(FloatSequence)};
  }
}

PlotStore::Room PlotDataStore::make_room(std::size_t blocks, float** slots,
                                         const LineSource& /*lines*/) {
  // The chunks so far are full: a new chunk for every sequence.
  const std::size_t chunk = data_.times.chunk_count();
  slots[0] = data_.times.add_chunk();
  for (std::size_t p = 0; p < data_.columns.size(); ++p)
    slots[p + 1] = data_.columns[p].add_chunk();
  return Room{blocks, FloatSequence::chunk_capacity(chunk)};
}

PlotData PlotDataStore::take(std::size_t blocks) && {
  data_.blocks = blocks;
  return std::move(data_);
}

}  // namespace tolvik
