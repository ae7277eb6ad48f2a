// Fingerprint: a fast 64-bit hash of a byte stream, used to tie a derived
// file (the persisted graph) to the exact bytes of the snapshot it was made
// from, and to checksum files. Not cryptographic: it detects accidents (a
// torn write, a flipped bit, a stale file), not forgeries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sorvid {

// A 64-bit fingerprint of a byte sequence: the same value however the bytes
// are split across update() calls. Four independent lanes each take one
// 8-byte word of every 32-byte stripe, so the main loop has four multiply
// chains in flight and runs at several GB/s; the bytes of an unfinished
// stripe wait in a small buffer.
//
// Every step a lane takes is a bijection of its state for a fixed input word
// and of the word for a fixed state, and the lanes are folded together by
// bijections of each lane, so two streams of the same length that differ in
// a single word (one flipped bit, say) always have different fingerprints.
// The length is folded in at the end, so appending zero bytes changes the
// value too.
class Fingerprint {
 public:
  static constexpr std::size_t kStripeBytes = 32;

  Fingerprint();

  void update(std::span<const char> bytes);
  // Of every byte so far; more update() calls may follow.
  std::uint64_t value() const;
  std::uint64_t byte_count() const { return byte_count_; }

 private:
  std::array<std::uint64_t, 4> lanes_;
  std::array<char, kStripeBytes> pending_{};  // the first byte_count_ % kStripeBytes bytes are waiting
  std::uint64_t byte_count_ = 0;
};

// The fingerprint of `bytes` as one stream.
std::uint64_t fingerprint_of(std::span<const char> bytes);

}  // namespace sorvid
