// An owned array of 32-bit floats in one allocation of a fixed size, for
// values that are written straight into their final place: the arrays handed
// to numpy. Moving it hands the memory over; the last owner frees it. Large
// arrays are mapped from the system directly (with huge pages where the
// system gives them), small ones come from malloc.
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
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
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
  void release() noexcept;

  float* data_ = nullptr;  // never null once allocated, even for no floats
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped from the system; 0 for malloc's memory
};

}  // namespace tolvik
