#include "text/float_array.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tolvik {
namespace {

// From this size on an array starts on a huge page's boundary and fills
// whole huge pages, with transparent huge pages asked for: a large array is
// written once, front to back in each row, and the system then gives it
// 2 MiB at a time instead of 4 KiB (five page faults for 10 MB instead of
// 2,500). The memory is the allocator's: when the arrays of an earlier read
// have been freed, the allocator usually hands the same pages out again,
// already present, and the read takes no page fault at all.
constexpr std::size_t kHugeArrayBytes = std::size_t{4} << 20;
// The size of a huge page: the system gives huge pages only to whole,
// aligned 2 MiB stretches of memory.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

FloatArray::FloatArray(std::size_t count) {
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float)) throw OutOfMemory{SIZE_MAX};
  // An array of no floats still has an address of its own.
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(float);
  if (bytes >= kHugeArrayBytes) {
    const std::size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    data_ = static_cast<float*>(std::aligned_alloc(kHugePage, whole));
#if defined(MADV_HUGEPAGE)
    // Advice only: without it, or where the system ignores it, 4 KiB pages.
    if (data_ != nullptr) ::madvise(data_, whole, MADV_HUGEPAGE);
#endif
  } else {
    data_ = static_cast<float*>(std::malloc(bytes));
  }
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
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(float);
  // Shrinking in place cannot fail in practice; if the allocator says it
  // did, the larger block stays, which is as good.
  if (void* p = std::realloc(data_, bytes)) data_ = static_cast<float*>(p);
  size_ = count;
}

}  // namespace tolvik
