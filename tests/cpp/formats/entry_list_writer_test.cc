// The entry list encoded in chunks on the worker pool against the same list
// encoded on one thread: the bytes must be identical.
#include "formats/entry_list_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "formats/snapshot.h"

namespace sorvid {
namespace {

// Entries of varied size: embeddings of random bit patterns (nulls, zeros
// and exponent forms included) and texts that need escapes.
std::vector<VectorEntry> random_entries(std::size_t count, std::size_t max_dim, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<VectorEntry> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    VectorEntry& entry = entries[i];
    entry.id = "id-" + std::to_string(i) + (i % 7 == 0 ? "\"\\\t\x01\xC3\xA9" : "");
    entry.embedding.resize(random() % (max_dim + 1));
    for (float& value : entry.embedding) value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    entry.metadata = i % 3 == 0 ? "" : "meta\n" + std::to_string(random());
    entry.created_at = "2024-01-01T00:00:0" + std::to_string(i % 10);
  }
  return entries;
}

std::vector<const VectorEntry*> pointers_to(const std::vector<VectorEntry>& entries) {
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : entries) pointers.push_back(&entry);
  return pointers;
}

struct ListShape {
  std::size_t count;
  std::size_t max_dim;
};

class ParallelEntryList : public ::testing::TestWithParam<ListShape> {};

TEST_P(ParallelEntryList, SameBytesAsSerial) {
  const std::vector<VectorEntry> entries = random_entries(GetParam().count, GetParam().max_dim, 23);
  const std::vector<const VectorEntry*> pointers = pointers_to(entries);
  std::string serial = "[";
  append_entry_list_serial(serial, pointers);
  std::string parallel = "[";
  append_entry_list_parallel(parallel, pointers);
  ASSERT_EQ(parallel.size(), serial.size());
  EXPECT_TRUE(parallel == serial);
}

// Empty and single lists, entries far larger than a chunk, and lists of
// many chunks in several waves.
INSTANTIATE_TEST_SUITE_P(Shapes, ParallelEntryList,
                         ::testing::Values(ListShape{0, 0}, ListShape{1, 10}, ListShape{3, 40000}, ListShape{2000, 8},
                                           ListShape{1500, 800}));

// A document large enough for encode_snapshot to take the pool decodes to
// the entries it was made from.
TEST(ParallelSnapshot, LargeDocumentRoundTrips) {
  std::vector<VectorEntry> entries = random_entries(1200, 700, 29);
  for (VectorEntry& entry : entries) {
    for (float& value : entry.embedding) {
      if (!std::isfinite(value)) value = 1.5f;  // null does not read back
    }
  }
  const std::vector<const VectorEntry*> pointers = pointers_to(entries);
  std::string text;
  encode_snapshot(7, pointers, text);
  std::string serial = "{\"dim\":7,\"entries\":[";
  append_entry_list_serial(serial, pointers);
  serial += "]}";
  ASSERT_EQ(text.size(), serial.size());
  EXPECT_TRUE(text == serial);
  auto decoded = decode_snapshot(text);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded.value().dim, 7u);
  EXPECT_TRUE(decoded.value().entries == entries);
}

}  // namespace
}  // namespace sorvid
