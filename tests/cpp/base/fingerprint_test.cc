// Fingerprint: one value per byte sequence, however it arrives, and a
// different one after any single-bit change or zero-byte extension.
#include "base/fingerprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace sorvid {
namespace {

std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(rng());
  return bytes;
}

std::uint64_t in_pieces(const std::string& bytes, const std::vector<std::size_t>& piece_sizes) {
  Fingerprint fingerprint;
  std::size_t at = 0;
  for (std::size_t size : piece_sizes) {
    fingerprint.update(std::span(bytes).subspan(at, size));
    at += size;
  }
  fingerprint.update(std::span(bytes).subspan(at));
  return fingerprint.value();
}

struct SplitCase {
  std::size_t length;
  std::vector<std::size_t> pieces;  // the rest of the stream follows as one last piece
};

class FingerprintSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FingerprintSplitTest, SameValueHoweverTheStreamIsSplit) {
  const std::string bytes = random_bytes(GetParam().length, 7);
  EXPECT_EQ(fingerprint_of(bytes), in_pieces(bytes, GetParam().pieces));
}

INSTANTIATE_TEST_SUITE_P(Splits, FingerprintSplitTest,
                         ::testing::Values(SplitCase{0, {0, 0}}, SplitCase{1, {0, 1, 0}},
                                           SplitCase{100, {1, 1, 1, 1, 1, 1, 1, 1}}, SplitCase{100, {31, 1, 32, 0, 33}},
                                           SplitCase{100, {32, 32, 32}}, SplitCase{5000, {4999}},
                                           SplitCase{5000, {7, 0, 64, 3, 1000, 29, 2048}},
                                           SplitCase{1 << 20, {17, (1 << 20) - 100}}));

TEST(Fingerprint, EveryTwoPieceSplitOfAShortStreamAgrees) {
  const std::string bytes = random_bytes(150, 11);
  const std::uint64_t whole = fingerprint_of(bytes);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    EXPECT_EQ(whole, in_pieces(bytes, {cut})) << cut;
    for (std::size_t second = 0; cut + second <= bytes.size(); second += 13) {
      ASSERT_EQ(whole, in_pieces(bytes, {cut, second})) << cut << " " << second;
    }
  }
}

TEST(Fingerprint, ValueDoesNotEndTheStream) {
  const std::string bytes = random_bytes(200, 13);
  Fingerprint fingerprint;
  for (std::size_t at = 0; at < bytes.size(); at += 9) {
    const std::string head = bytes.substr(0, at);
    ASSERT_EQ(fingerprint_of(head), fingerprint.value()) << at;
    ASSERT_EQ(head.size(), fingerprint.byte_count());
    fingerprint.update(std::span(bytes).subspan(at, std::min<std::size_t>(9, bytes.size() - at)));
  }
  EXPECT_EQ(fingerprint_of(bytes), fingerprint.value());
}

TEST(Fingerprint, EverySingleBitFlipChangesTheValue) {
  std::string bytes = random_bytes(3000, 17);
  const std::uint64_t original = fingerprint_of(bytes);
  for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    ASSERT_NE(original, fingerprint_of(bytes)) << "bit " << bit;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
  }
}

TEST(Fingerprint, ZeroBytesAndLengthCount) {
  // Zero bytes appended, streams of zeros of every length, and the empty
  // stream: all different.
  std::vector<std::uint64_t> seen;
  for (std::size_t length = 0; length <= 100; ++length) seen.push_back(fingerprint_of(std::string(length, '\0')));
  const std::string bytes = random_bytes(70, 19);
  for (std::size_t extra = 0; extra <= 40; ++extra) seen.push_back(fingerprint_of(bytes + std::string(extra, '\0')));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen.end(), std::adjacent_find(seen.begin(), seen.end()));
}

TEST(Fingerprint, SwappedWordsDiffer) {
  // The same words in another order, within a lane and across lanes.
  const std::string a = random_bytes(64, 23);
  std::string within = a.substr(32, 32) + a.substr(0, 32);
  std::string across = a.substr(8, 8) + a.substr(0, 8) + a.substr(16);
  EXPECT_NE(fingerprint_of(a), fingerprint_of(within));
  EXPECT_NE(fingerprint_of(a), fingerprint_of(across));
}

TEST(Fingerprint, ValuesAreFixed) {
  // Fingerprints are stored in files: the same bytes must give the same value
  // on every host and in every release (a change makes every graph file stale).
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>(i * 7));
  EXPECT_EQ(0x16926afc11547f12u, fingerprint_of({}));
  EXPECT_EQ(0x0a46812f4553c6a3u, fingerprint_of(std::string("graph")));
  EXPECT_EQ(0x2a7aa1ff466b218du, fingerprint_of(bytes));
}

}  // namespace
}  // namespace sorvid
