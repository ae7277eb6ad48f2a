#include "hnsw/layer_sizes.h"

#include <bit>
#include <cmath>

namespace sorvid::hnsw {
namespace {

// A layer above the base needs at least as many nodes as an upper list has
// slots; the first smaller size is not a layer.
constexpr std::uint64_t kMinUpperLayerSize = 32;

}  // namespace

float level_factor() { return std::bit_cast<float>(std::uint32_t{0x3E93BB63u}); }

std::uint64_t next_layer_size(std::uint64_t size) {
  const float scaled = static_cast<float>(size) * level_factor();
  if (!(scaled > 0.0f)) return 0;
  // 2^64 is exactly representable; anything at or above it saturates.
  if (scaled >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<std::uint64_t>(scaled);
}

std::vector<std::size_t> layer_sizes(std::size_t n) {
  std::vector<std::size_t> sizes{n};
  for (std::uint64_t next = next_layer_size(n); next >= kMinUpperLayerSize; next = next_layer_size(next)) {
    sizes.push_back(static_cast<std::size_t>(next));
  }
  return sizes;
}

}  // namespace sorvid::hnsw
