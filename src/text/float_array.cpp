#include "text/float_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace tolvik {
namespace {

// From this size on an array gets pages of its own from the system, with
// transparent huge pages asked for: a large array is written once, front to
// back in each row, and taking it 2 MiB at a time instead of 4 KiB saves
// hundreds of page faults per megabyte. Smaller arrays come from malloc.
constexpr std::size_t kMappedBytes = std::size_t{4} << 20;
// The size of a huge page, to which a mapped array is aligned: the system
// gives huge pages only to whole, aligned 2 MiB stretches of a mapping.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t page_size() noexcept {
  static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t whole_pages(std::size_t bytes) noexcept {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

}  // namespace

FloatArray::FloatArray(std::size_t count) {
  if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float)) throw OutOfMemory{SIZE_MAX};
  // An array of no floats still has an address of its own.
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(float);
  if (bytes >= kMappedBytes) {
    // Whole huge pages, from a huge page's start: a stretch one huge page
    // longer is mapped, and what lies before the first boundary in it and
    // after the pages wanted is given back at once.
    const std::size_t mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw OutOfMemory{bytes};
    char* const start = static_cast<char*>(p);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    char* const aligned = start + ((kHugePage - address % kHugePage) % kHugePage);
    if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t after =
        static_cast<std::size_t>(start + mapped + kHugePage - (aligned + mapped));
    if (after != 0) ::munmap(aligned + mapped, after);
#if defined(MADV_HUGEPAGE)
    ::madvise(aligned, mapped, MADV_HUGEPAGE);  // advice only: without it, 4 KiB pages
#endif
    data_ = reinterpret_cast<float*>(aligned);
    mapped_ = mapped;
  } else {
    data_ = static_cast<float*>(std::malloc(bytes));
    if (data_ == nullptr) throw OutOfMemory{bytes};
  }
  size_ = count;
}

FloatArray& FloatArray::operator=(FloatArray&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

FloatArray::~FloatArray() {
  release();
}

void FloatArray::release() noexcept {
  if (mapped_ != 0) {
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = mapped_ = 0;
}

void FloatArray::shrink(std::size_t count) noexcept {
  if (count >= size_) return;
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(float);
  if (mapped_ != 0) {
    // The pages past the last float kept go back to the system.
    const std::size_t kept = whole_pages(bytes);
    if (kept < mapped_ && ::munmap(reinterpret_cast<char*>(data_) + kept, mapped_ - kept) == 0) {
      mapped_ = kept;
    }
  } else if (void* p = std::realloc(data_, bytes)) {
    // Shrinking in place cannot fail in practice; if the allocator says it
    // did, the larger block stays, which is as good.
    data_ = static_cast<float*>(p);
  }
  size_ = count;
}

}  // namespace tolvik
