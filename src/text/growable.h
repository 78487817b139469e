// An owned, growable array of trivially copyable values (bytes of a line, the
// floats of one parameter). Memory comes from malloc/realloc so that large
// arrays grow in place where the allocator can; when memory cannot be had the
// array throws OutOfMemory naming the request, and stays as it was.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tolvik {

// Thrown when memory for the module's own data cannot be obtained.
struct OutOfMemory {
  std::size_t bytes;
};

template <class T>
class Growable {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Growable() noexcept = default;
  Growable(const Growable&) = delete;
  Growable& operator=(const Growable&) = delete;
  Growable(Growable&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Growable& operator=(Growable&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~Growable() { std::free(data_); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  void clear() noexcept { size_ = 0; }

  void push_back(T value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }

  void append(const T* values, std::size_t count) {
    if (capacity_ - size_ < count) grow(size_ + count);
    std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }

  // Allocates room for exactly `count` more values without growing geometrically.
  void reserve_exact(std::size_t count) {
    if (capacity_ - size_ < count) reallocate(size_ + count);
  }

  // Makes room for `capacity` values in all, counting those already held
  // (exactly that many when it has to grow).
  void reserve_total(std::size_t capacity) {
    if (capacity_ < capacity) reallocate(capacity);
  }

  // Sets the count of values held, for a caller that has written them into
  // the reserved room through data(); `size` must not exceed the room.
  void set_size(std::size_t size) noexcept { size_ = size; }

  // Frees the storage at once.
  void release() noexcept {
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
  }

 private:
  static constexpr std::size_t kMaxElements = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);

  void grow(std::size_t needed) {
    std::size_t target = capacity_ < 8 ? 8 : capacity_;
    while (target < needed) target = target > kMaxElements / 2 ? needed : target * 2;
    if (target > kMaxElements) target = needed;
    reallocate(target);
  }

  void reallocate(std::size_t capacity) {
    if (capacity > kMaxElements) throw OutOfMemory{SIZE_MAX};
    void* p = std::realloc(data_, capacity * sizeof(T));
    if (p == nullptr) throw OutOfMemory{capacity * sizeof(T)};
    data_ = static_cast<T*>(p);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tolvik
