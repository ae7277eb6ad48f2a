// The vector file: the embeddings come back bit for bit, and a file that is
// damaged in any byte, cut, lengthened or made for other entries gives none.
#include "formats/vector_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sorvid {
namespace {

constexpr std::uint64_t kFingerprint = 0x0123456789abcdefu;

// `count` entries of `dim` values, among them the values whose bits are
// easiest to lose: -0, the smallest subnormal, the extremes.
std::vector<VectorEntry> entries_of(std::size_t count, std::uint32_t dim) {
  constexpr float kSpecial[] = {-0.0f,
                                std::numeric_limits<float>::denorm_min(),
                                std::numeric_limits<float>::max(),
                                std::numeric_limits<float>::lowest(),
                                0.1f,
                                -1.0f / 3.0f};
  std::vector<VectorEntry> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].id = std::to_string(i);
    for (std::uint32_t j = 0; j < dim; ++j) entries[i].embedding.push_back(kSpecial[(i + j) % std::size(kSpecial)]);
  }
  return entries;
}

std::string file_of(const std::vector<VectorEntry>& entries, std::uint32_t dim) {
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : entries) pointers.push_back(&entry);
  std::string file;
  EXPECT_TRUE(encode_vector_file(kFingerprint, dim, pointers, [&](std::string_view piece) {
    file.append(piece);
    return true;
  }));
  return file;
}

// The entries with their embeddings cleared, as a snapshot decoded without
// them gives them.
std::vector<VectorEntry> without_embeddings(std::vector<VectorEntry> entries) {
  for (VectorEntry& entry : entries) entry.embedding.clear();
  return entries;
}

std::vector<std::uint32_t> bits_of(const std::vector<VectorEntry>& entries) {
  std::vector<std::uint32_t> bits;
  for (const VectorEntry& entry : entries) {
    for (float value : entry.embedding) bits.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return bits;
}

class VectorFileRoundTrip : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint32_t, bool>> {};

TEST_P(VectorFileRoundTrip, GivesBackEveryBit) {
  const auto [count, dim, on_pool] = GetParam();
  const std::vector<VectorEntry> written = entries_of(count, dim);
  const std::string file = file_of(written, dim);
  EXPECT_TRUE(vector_file_belongs_to(file, kFingerprint));
  std::vector<VectorEntry> taken = without_embeddings(written);
  ASSERT_TRUE(take_embeddings(file, kFingerprint, dim, taken, on_pool ? &WorkerPool::instance() : nullptr));
  EXPECT_EQ(bits_of(taken), bits_of(written));
}

// Past 1 MiB the file goes to the sink in several pieces.
INSTANTIATE_TEST_SUITE_P(Sizes, VectorFileRoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 7, 3000), ::testing::Values(1u, 3u, 384u),
                                            ::testing::Bool()));

bool takes(const std::string& file, std::uint64_t fingerprint = kFingerprint, std::uint64_t dim = 3,
           std::size_t count = 5) {
  std::vector<VectorEntry> entries = without_embeddings(entries_of(count, 3));
  return take_embeddings(file, fingerprint, dim, entries, nullptr);
}

TEST(VectorFile, AnyFlippedBitIsRefused) {
  const std::string file = file_of(entries_of(5, 3), 3);
  ASSERT_TRUE(takes(file));
  for (std::size_t at = 0; at < file.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
      EXPECT_FALSE(takes(damaged)) << "byte " << at << " bit " << bit;
    }
  }
}

TEST(VectorFile, AnyOtherLengthIsRefused) {
  const std::string file = file_of(entries_of(5, 3), 3);
  for (std::size_t length = 0; length < file.size(); ++length) {
    EXPECT_FALSE(takes(file.substr(0, length))) << length;
  }
  EXPECT_FALSE(takes(file + '\0'));
}

TEST(VectorFile, AFileForOtherBytesOrEntriesIsRefused) {
  const std::string file = file_of(entries_of(5, 3), 3);
  EXPECT_FALSE(vector_file_belongs_to(file, kFingerprint + 1));
  EXPECT_FALSE(takes(file, kFingerprint + 1));
  EXPECT_FALSE(takes(file, kFingerprint, 4));
  EXPECT_FALSE(takes(file, kFingerprint, 3, 4));
  EXPECT_FALSE(takes(file, kFingerprint, 3, 6));
  // A file of entries without values would empty them all.
  EXPECT_FALSE(takes(file_of(entries_of(5, 0), 0), kFingerprint, 0));
}

TEST(VectorFile, EntriesOfAnotherLengthAreNotWritten) {
  std::vector<VectorEntry> entries = entries_of(3, 3);
  entries[1].embedding.pop_back();
  std::vector<const VectorEntry*> pointers = {&entries[0], &entries[1], &entries[2]};
  EXPECT_FALSE(encode_vector_file(kFingerprint, 3, pointers, [](std::string_view) { return true; }));
}

TEST(VectorFile, StopsAtTheFirstRefusedPiece) {
  const std::vector<VectorEntry> entries = entries_of(3000, 384);
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : entries) pointers.push_back(&entry);
  int pieces = 0;
  EXPECT_FALSE(encode_vector_file(kFingerprint, 384, pointers, [&](std::string_view) { return ++pieces < 2; }));
  EXPECT_EQ(pieces, 2);
}

}  // namespace
}  // namespace sorvid
