// AlignedFloats: a zero-filled float array whose start is cache-line aligned,
// so that rows laid out at multiples of 16 floats each begin a cache line.
#pragma once

#include <cstddef>
#include <memory>

namespace sorvid::hnsw {

class AlignedFloats {
 public:
  static constexpr std::size_t kAlignment = 64;

  AlignedFloats() = default;
  explicit AlignedFloats(std::size_t count);

  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

 private:
  struct AlignedDelete {
    void operator()(float* p) const;
  };
  std::unique_ptr<float[], AlignedDelete> data_;
  std::size_t size_ = 0;
};

}  // namespace sorvid::hnsw
