// An owned sequence of floats kept in chunks, for values that arrive one at a
// time in unknown number: chunk k holds chunk_capacity(k) values (8, 16, ...,
// doubling up to 16384, then 16384 each), so the sequence grows without ever
// copying what it holds, and each chunk stays small enough for the allocator
// to reuse from one read to the next. The length is kept by the owner, which
// grows many sequences in step.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "text/growable.h"

namespace tolvik {

class ChunkedSequence {
 public:
  static constexpr std::size_t chunk_capacity(std::size_t k) noexcept {
    return k < 11 ? std::size_t{8} << k : std::size_t{16384};
  }

  // Adds chunk number chunk_count() and returns its storage (throws
  // OutOfMemory, leaving the sequence as it was).
  float* add_chunk() {
    const std::size_t bytes = chunk_capacity(chunks_.size()) * sizeof(float);
    try {
      chunks_.reserve(chunks_.size() + 1);
    } catch (const std::bad_alloc&) {
      throw OutOfMemory{(chunks_.size() + 1) * sizeof(Chunk)};
    }
    Chunk chunk(static_cast<float*>(std::malloc(bytes)));
    if (!chunk) throw OutOfMemory{bytes};
    chunks_.push_back(std::move(chunk));
    return chunks_.back().get();
  }

  std::size_t chunk_count() const noexcept { return chunks_.size(); }
  const float* chunk(std::size_t k) const noexcept { return chunks_[k].get(); }

  // Frees chunk k at once (the others stay).
  void release_chunk(std::size_t k) noexcept { chunks_[k].reset(); }
  // Frees everything.
  void release() noexcept { std::vector<Chunk>().swap(chunks_); }

 private:
  struct Free {
    void operator()(float* p) const noexcept { std::free(p); }
  };
  using Chunk = std::unique_ptr<float[], Free>;

  std::vector<Chunk> chunks_;
};

}  // namespace tolvik
