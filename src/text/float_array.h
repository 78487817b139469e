// An owned array of 32-bit floats in one allocation of a fixed size, for
// values that are written straight into their final place: the arrays handed
// to numpy. Moving it hands the memory over; the last owner frees it. The
// memory comes from the C library's allocator, as numpy's own arrays do;
// large arrays start on a huge page's boundary, with huge pages asked for.
#pragma once

#include <cstddef>
#include <utility>

#include "text/growable.h"

namespace tolvik {

class FloatArray {
 public:
  FloatArray() noexcept = default;
  // Room for `count` floats, their values unset (throws OutOfMemory).
  explicit FloatArray(std::size_t count);
  FloatArray(const FloatArray&) = delete;
  FloatArray& operator=(const FloatArray&) = delete;
  FloatArray(FloatArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  FloatArray& operator=(FloatArray&& other) noexcept;
  ~FloatArray();

  float* data() noexcept { return data_; }
  const float* data() const noexcept { return data_; }
  // The floats it has room for.
  std::size_t size() const noexcept { return size_; }

  // Gives back the room past the first `count` floats (count <= size()); the
  // values kept stay where they are.
  void shrink(std::size_t count) noexcept;

 private:
  float* data_ = nullptr;  // never null once allocated, even for no floats
  std::size_t size_ = 0;
};

}  // namespace tolvik
