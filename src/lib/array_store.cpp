#include "lib/array_store.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "text/whitespace.h"

namespace tolvik {
namespace {

// The blocks of the first room are those that the first mebibyte of blocks can
// hold at most: enough to learn what a block really takes, cheap to lay out
// again.
constexpr std::uint64_t kFirstRoomBytes = std::uint64_t{1} << 20;

constexpr std::size_t kMaxFloats = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float);

// `rows` rows of `capacity` floats, or OutOfMemory when that is more than
// memory can have.
FloatArray matrix(std::size_t rows, std::size_t capacity) {
  if (capacity != 0 && rows > kMaxFloats / capacity) throw OutOfMemory{SIZE_MAX};
  return FloatArray(rows * capacity);
}

}  // namespace

void ArrayStore::add_name(std::string_view line) {
  try {
    names_.emplace_back(trim_whitespace(line));
  } catch (const std::bad_alloc&) {
    throw OutOfMemory{line.size()};
  }
}

void ArrayStore::start(std::uint64_t n, std::uint64_t n_digits, const LineSource& lines) {
  rows_ = static_cast<std::size_t>(n - 1);
  // A whole block is a lead line ("\n" at least), then every field and the
  // terminators of its data lines but perhaps the file's last one.
  const std::uint64_t data_lines = (n - 1) / 10 + 1;
  std::uint64_t fields;
  if (__builtin_mul_overflow(n, n_digits, &fields) ||
      __builtin_add_overflow(fields, data_lines, &least_bytes_)) {
    least_bytes_ = UINT64_MAX;
  }
  blocks_start_ = lines.consumed();
}

std::size_t ArrayStore::next_capacity(std::size_t blocks, const LineSource& lines) const {
  // Without a size to go by (a pipe, a device, a file that has grown since),
  // the room doubles.
  const std::size_t doubled = blocks < 8 ? 16 : blocks * 2;
  const std::optional<std::uint64_t> size = lines.file_size();
  const std::uint64_t consumed = lines.consumed();
  if (!size || *size <= consumed) return doubled;
  const std::uint64_t left = *size - consumed;
  // This block has begun; those after it take least_bytes_ each at least.
  const std::uint64_t most = 1 + (left + 1) / least_bytes_;
  std::uint64_t more = most;
  if (blocks == 0) {
    more = std::min(most, std::max<std::uint64_t>(1, kFirstRoomBytes / least_bytes_));
  } else {
    // As many as the bytes left hold at the bytes per block so far: exactly
    // the blocks there are when they all take the same bytes, as they often
    // do, so that no row need move at the end. Should that room run out after
    // all, the next one has some to spare.
    const std::uint64_t per_block = std::max<std::uint64_t>(1, (consumed - blocks_start_) / blocks);
    const std::uint64_t expected = left / per_block + 1;
    const std::uint64_t spare = rooms_ > 1 ? expected / 8 + 16 : 0;
    more = std::min(most, expected + spare);
  }
  if (more > kMaxFloats - blocks) return kMaxFloats;
  return std::max<std::size_t>(blocks + static_cast<std::size_t>(more), blocks + 1);
}

PlotStore::Room ArrayStore::make_room(std::size_t blocks, float** slots, const LineSource& lines) {
  const std::size_t capacity = next_capacity(blocks, lines);
  FloatArray times(capacity);
  FloatArray values = matrix(rows_, capacity);
  // The blocks so far move to the new rows (the first room has none).
  if (blocks != 0) {
    std::memcpy(times.data(), times_.data(), blocks * sizeof(float));
    for (std::size_t row = 0; row < rows_; ++row) {
      std::memcpy(values.data() + row * capacity, values_.data() + row * capacity_,
                  blocks * sizeof(float));
    }
  }
  times_ = std::move(times);
  values_ = std::move(values);
  capacity_ = capacity;
  ++rooms_;
  slots[0] = times_.data();
  for (std::size_t row = 0; row < rows_; ++row) slots[row + 1] = values_.data() + row * capacity;
  return Room{0, capacity};
}

PlotArrays ArrayStore::finish(std::size_t blocks) && {
  PlotArrays arrays;
  arrays.names = std::move(names_);
  arrays.blocks = blocks;
  if (capacity_ == 0) {  // no block: no room was made
    arrays.times = FloatArray(0);
    arrays.values = FloatArray(0);
    return arrays;
  }
  // Each row moves down to follow the one before it; rows keep their order,
  // so a row never lands on one that has yet to move.
  if (blocks != capacity_) {
    for (std::size_t row = 1; row < rows_; ++row) {
      std::memmove(values_.data() + row * blocks, values_.data() + row * capacity_,
                   blocks * sizeof(float));
    }
  }
  times_.shrink(blocks);
  values_.shrink(rows_ * blocks);
  arrays.times = std::move(times_);
  arrays.values = std::move(values_);
  return arrays;
}

}  // namespace tolvik
