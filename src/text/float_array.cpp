#include "text/float_array.h"

#include <cstdint>
#include <cstdlib>

namespace tolvik {

FloatArray::FloatArray(std::size_t count) {
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float)) throw OutOfMemory{SIZE_MAX};
  // An array of no floats still has an address of its own.
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(float);
  data_ = static_cast<float*>(std::malloc(bytes));
  if (data_ == nullptr) throw OutOfMemory{bytes};
  size_ = count;
}

FloatArray& FloatArray::operator=(FloatArray&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

FloatArray::~FloatArray() {
  std::free(data_);
}

void FloatArray::shrink(std::size_t count) noexcept {
  if (count >= size_) return;
  // Shrinking in place cannot fail in practice; if the allocator says it
  // did, the larger block stays, which is as good.
  if (void* p = std::realloc(data_, (count == 0 ? 1 : count) * sizeof(float))) {
    data_ = static_cast<float*>(p);
  }
  size_ = count;
}

}  // namespace tolvik
