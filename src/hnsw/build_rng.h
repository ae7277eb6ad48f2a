// BuildRng: the random generator of one index build (xoshiro256++), seeded
// from a 64-bit number so that a seed fixes the build's permutation.
#pragma once

#include <array>
#include <cstdint>

namespace sorvid::hnsw {

class BuildRng {
 public:
  // The 32 state bytes are eight successive PCG32 outputs from `seed`, each
  // written as 4 little-endian bytes.
  static BuildRng from_seed(std::uint64_t seed);
  // The four state words read little-endian from `bytes`. An all-zero state
  // would only ever yield zeros, so it is replaced by four SplitMix64 outputs
  // started from 0.
  static BuildRng from_state_bytes(const std::array<std::uint8_t, 32>& bytes);

  std::uint64_t next_u64();
  // A uniform draw from 0 to n - 1 (n >= 1), rejecting the biased zone of
  // the 32x32-bit product.
  std::uint32_t uniform_below(std::uint32_t n);

  const std::array<std::uint64_t, 4>& state() const { return state_; }

 private:
  explicit BuildRng(const std::array<std::uint64_t, 4>& state) : state_(state) {}
  std::array<std::uint64_t, 4> state_;
};

}  // namespace sorvid::hnsw
