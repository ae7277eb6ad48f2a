#include "hnsw/build_rng.h"

#include <bit>

namespace sorvid::hnsw {
namespace {

// One PCG32 step (XSH-RR output) on `state`.
std::uint32_t pcg32_step(std::uint64_t& state) {
  state = state * 6364136223846793005ull + 11634580027462260723ull;
  const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
  const auto rotation = static_cast<int>(state >> 59);
  return std::rotr(xorshifted, rotation);
}

std::uint64_t splitmix64_step(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

BuildRng BuildRng::from_seed(std::uint64_t seed) {
  std::array<std::uint8_t, 32> bytes;
  for (std::size_t k = 0; k < 8; ++k) {
    const std::uint32_t output = pcg32_step(seed);
    for (std::size_t b = 0; b < 4; ++b) bytes[4 * k + b] = static_cast<std::uint8_t>(output >> (8 * b));
  }
  return from_state_bytes(bytes);
}

BuildRng BuildRng::from_state_bytes(const std::array<std::uint8_t, 32>& bytes) {
  std::array<std::uint64_t, 4> state{};
  for (std::size_t word = 0; word < 4; ++word) {
    for (std::size_t b = 0; b < 8; ++b) state[word] |= std::uint64_t{bytes[8 * word + b]} << (8 * b);
  }
  if ((state[0] | state[1] | state[2] | state[3]) == 0) {
    std::uint64_t mixer = 0;
    for (std::uint64_t& word : state) word = splitmix64_step(mixer);
  }
  return BuildRng(state);
}

std::uint64_t BuildRng::next_u64() {
  std::uint64_t* s = state_.data();
  const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
  const std::uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = std::rotl(s[3], 45);
  return result;
}

std::uint32_t BuildRng::uniform_below(std::uint32_t n) {
  const std::uint32_t zone = (n << std::countl_zero(n)) - 1u;
  while (true) {
    const auto r = static_cast<std::uint32_t>(next_u64() >> 32);
    const std::uint64_t product = std::uint64_t{n} * r;
    if (static_cast<std::uint32_t>(product) <= zone) return static_cast<std::uint32_t>(product >> 32);
  }
}

}  // namespace sorvid::hnsw
