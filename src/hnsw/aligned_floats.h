// AlignedFloats: a zero-filled float array whose start is cache-line aligned,
// so that rows laid out at multiples of 16 floats each begin a cache line.
// Large arrays lie on huge pages (see large_buffer.h).
#pragma once

#include <cstddef>

#include "hnsw/large_buffer.h"

namespace sorvid::hnsw {

class AlignedFloats {
 public:
  static constexpr std::size_t kAlignment = LargeBuffer::kAlignment;

  AlignedFloats() = default;
  // Throws std::bad_alloc when the memory cannot be had, as reserve() does.
  explicit AlignedFloats(std::size_t count);

  // Room for at least `count` floats, keeping the contents (see
  // LargeBuffer::reserve); size() is then the capacity.
  void reserve(std::size_t count) { memory_.reserve(checked_size(count, sizeof(float))); }

  float* data() { return static_cast<float*>(memory_.data()); }
  const float* data() const { return static_cast<const float*>(memory_.data()); }
  std::size_t size() const { return memory_.size() / sizeof(float); }

 private:
  LargeBuffer memory_;
};

}  // namespace sorvid::hnsw
