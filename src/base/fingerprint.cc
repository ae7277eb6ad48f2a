#include "base/fingerprint.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace sorvid {
namespace {

// Constants with well-spread bits: the first 64 fractional bits of the
// square roots of 2, 3, 5 and 7 and of the golden ratio. The multipliers are
// odd (the root of 2's forced so), so multiplying by one is a bijection that
// carries every bit upwards.
constexpr std::uint64_t kWordMultiplier = 0x6A09E667F3BCC909ull;
constexpr std::uint64_t kLaneMultiplier = 0xBB67AE8584CAA73Bull;
constexpr std::uint64_t kFoldMultiplier = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kFoldIncrement = 0x3C6EF372FE94F82Bull;
constexpr std::uint64_t kLengthMultiplier = 0xA54FF53A5F1D36F1ull;

// Distinct starting states (the square roots of 11, 13, 17 and 19), so that
// equal words in different lanes do not leave the lanes equal.
constexpr std::array<std::uint64_t, 4> kLaneSeeds = {0x510E527FADE682D1ull, 0x9B05688C2B3E6C1Full,
                                                     0x1F83D9ABFB41BD6Bull, 0x5BE0CD19137E2179ull};

// The word at `bytes` read as little-endian, whatever the host's order, so a
// fingerprint is the same on every machine.
inline std::uint64_t load_word(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// One lane step: a bijection of `lane` for a fixed word and of the word for a
// fixed lane. Only the add, rotate and second multiply are on the lane's
// dependency chain; the word's multiply runs ahead.
inline std::uint64_t absorb(std::uint64_t lane, std::uint64_t word) {
  return std::rotl(lane + word * kWordMultiplier, 29) * kLaneMultiplier;
}

// Takes every whole stripe of [bytes, bytes + size) into the lanes and
// returns how many bytes it took.
std::size_t absorb_stripes(std::array<std::uint64_t, 4>& lanes, const char* bytes, std::size_t size) {
  std::uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
  const std::size_t whole = size / Fingerprint::kStripeBytes * Fingerprint::kStripeBytes;
  for (std::size_t at = 0; at < whole; at += Fingerprint::kStripeBytes) {
    a = absorb(a, load_word(bytes + at));
    b = absorb(b, load_word(bytes + at + 8));
    c = absorb(c, load_word(bytes + at + 16));
    d = absorb(d, load_word(bytes + at + 24));
  }
  lanes = {a, b, c, d};
  return whole;
}

// Spreads every input bit over the whole output; a bijection.
inline std::uint64_t avalanche(std::uint64_t h) {
  h ^= h >> 31;
  h *= kLaneMultiplier;
  h ^= h >> 27;
  h *= kFoldMultiplier;
  h ^= h >> 33;
  return h;
}

}  // namespace

Fingerprint::Fingerprint() : lanes_(kLaneSeeds) {}

void Fingerprint::update(std::span<const char> bytes) {
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  std::size_t waiting = static_cast<std::size_t>(byte_count_ % kStripeBytes);
  byte_count_ += left;
  if (waiting > 0) {
    const std::size_t take = std::min(left, kStripeBytes - waiting);
    std::memcpy(pending_.data() + waiting, next, take);
    next += take;
    left -= take;
    if (waiting + take < kStripeBytes) return;
    absorb_stripes(lanes_, pending_.data(), kStripeBytes);
  }
  const std::size_t taken = absorb_stripes(lanes_, next, left);
  if (left > taken) std::memcpy(pending_.data(), next + taken, left - taken);
}

std::uint64_t Fingerprint::value() const {
  std::array<std::uint64_t, 4> lanes = lanes_;
  const std::size_t waiting = static_cast<std::size_t>(byte_count_ % kStripeBytes);
  if (waiting > 0) {
    // The unfinished stripe, padded with zeros: streams of equal length pad
    // alike, and the length below tells different lengths apart.
    std::array<char, kStripeBytes> last{};
    std::memcpy(last.data(), pending_.data(), waiting);
    absorb_stripes(lanes, last.data(), kStripeBytes);
  }
  // Each lane is folded in by a bijection of that lane, so a difference in
  // one lane always reaches the result.
  std::uint64_t h = byte_count_ * kLengthMultiplier;
  for (std::uint64_t lane : lanes) h = std::rotl(h ^ (lane * kFoldMultiplier), 23) * kLaneMultiplier + kFoldIncrement;
  return avalanche(h);
}

std::uint64_t fingerprint_of(std::span<const char> bytes) {
  Fingerprint fingerprint;
  fingerprint.update(bytes);
  return fingerprint.value();
}

}  // namespace sorvid
