// LargeBuffer and the arrays built on it: zero-filled (or empty-slot-filled)
// memory of the asked size, aligned, on either side of the huge-page size,
// and moves that hand the memory over exactly once.
#include "hnsw/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "hnsw/aligned_floats.h"
#include "hnsw/link_layer.h"

namespace sorvid::hnsw {
namespace {

class LargeBufferSizes : public ::testing::TestWithParam<std::size_t> {};

bool all_bytes_are(const void* data, std::size_t bytes, unsigned char value) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < bytes; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

TEST_P(LargeBufferSizes, IsZeroFilledAlignedAndWritable) {
  const std::size_t bytes = GetParam();
  LargeBuffer buffer(bytes);
  ASSERT_EQ(buffer.size(), bytes);
  ASSERT_NE(buffer.data(), nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % LargeBuffer::kAlignment, 0u);
  EXPECT_TRUE(all_bytes_are(buffer.data(), bytes, 0));
  std::memset(buffer.data(), 0xAB, bytes);  // the whole range is writable
  EXPECT_TRUE(all_bytes_are(buffer.data(), bytes, 0xAB));
}

TEST_P(LargeBufferSizes, MoveHandsTheMemoryOver) {
  const std::size_t bytes = GetParam();
  LargeBuffer first(bytes);
  static_cast<unsigned char*>(first.data())[bytes - 1] = 7;
  const void* memory = first.data();
  LargeBuffer second(std::move(first));
  EXPECT_EQ(first.data(), nullptr);
  EXPECT_EQ(first.size(), 0u);
  EXPECT_EQ(second.data(), memory);
  LargeBuffer third(64);
  third = std::move(second);  // releases third's own memory
  EXPECT_EQ(second.data(), nullptr);
  EXPECT_EQ(third.data(), memory);
  EXPECT_EQ(third.size(), bytes);
  EXPECT_EQ(static_cast<unsigned char*>(third.data())[bytes - 1], 7);
}

// Below one huge page, exactly one, and above it by an odd amount.
INSTANTIATE_TEST_SUITE_P(Sizes, LargeBufferSizes,
                         ::testing::Values(std::size_t{1}, std::size_t{4096}, std::size_t{2} << 20,
                                           (std::size_t{5} << 20) + 12));

TEST(LargeBufferTest, EmptyBufferHasNoMemory) {
  LargeBuffer empty(0);
  EXPECT_EQ(empty.data(), nullptr);
  EXPECT_EQ(empty.size(), 0u);
}

TEST(LinkLayerTest, LargeLayerStartsWithEveryListEmpty) {
  // 40000 lists of 64 slots: over ten megabytes, so on the huge-page path.
  const LinkLayer layer(40000, kBaseLinks);
  EXPECT_EQ(layer.node_count(), 40000u);
  for (NodeId node : {NodeId{0}, NodeId{12345}, NodeId{39999}}) {
    for (NodeId slot : layer.list(node)) EXPECT_EQ(slot, kEmptySlot);
  }
  NodeId out[kBaseLinks];
  EXPECT_EQ(layer.read_list(39999, kBaseLinks, out), 0u);
}

TEST(AlignedFloatsTest, LargeArrayReadsAsZeros) {
  const AlignedFloats floats(1 << 20);
  ASSERT_EQ(floats.size(), std::size_t{1} << 20);
  EXPECT_EQ(floats.data()[0], 0.0f);
  EXPECT_EQ(floats.data()[(1 << 20) - 1], 0.0f);
}

// Memory that cannot be had (more than any address space holds, or a size
// that overflows) throws std::bad_alloc, and a failed growth keeps the buffer.
TEST(LargeBufferTest, ImpossibleSizesThrowBadAlloc) {
  EXPECT_THROW(LargeBuffer(std::size_t{1} << 60), std::bad_alloc);
  EXPECT_THROW(LargeBuffer(~std::size_t{0}), std::bad_alloc);
  EXPECT_THROW(AlignedFloats(~std::size_t{0} / 2), std::bad_alloc);
  EXPECT_THROW(LinkLayer(std::size_t{1} << 58, kBaseLinks), std::bad_alloc);
  AlignedFloats floats(16);
  floats.data()[15] = 3.0f;
  EXPECT_THROW(floats.reserve(std::size_t{1} << 58), std::bad_alloc);
  ASSERT_EQ(floats.size(), 16u);
  EXPECT_EQ(floats.data()[15], 3.0f);
}

}  // namespace
}  // namespace sorvid::hnsw
