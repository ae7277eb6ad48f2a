// Mutations of a store and the exact bytes they leave in the log.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/store_core.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

class StoreMutationTest : public ::testing::Test {
 protected:
  std::string log() const { return fs.contents("store.wal").value_or("<missing>"); }

  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
};

TEST_F(StoreMutationTest, NewStoreIsEmptyAndTouchesNoFile) {
  EXPECT_EQ(store.len(), 0u);
  EXPECT_EQ(store.dim(), std::nullopt);
  EXPECT_EQ(store.wal_pending(), 0u);
  EXPECT_FALSE(store.dirty());
  EXPECT_EQ(store.get("a"), nullptr);
  EXPECT_EQ(fs.operation_count(), 0u);
}

TEST_F(StoreMutationTest, LogLinesMatchTheFileFormatByteForByte) {
  ASSERT_TRUE(succeeded(store.upsert(make_entry("doc-7", {0.5f, -1.0f, 100.0f, 1e-7f}, "say \"hi\"\n", ""))));
  ASSERT_TRUE(succeeded(store.remove("doc-7")));
  EXPECT_EQ(log(),
            "{\"op\":\"upsert\",\"data\":{\"id\":\"doc-7\",\"embedding\":[0.5,-1.0,100.0,1e-7],"
            "\"metadata\":\"say \\\"hi\\\"\\n\",\"created_at\":\"\"}}\n"
            "{\"op\":\"delete\",\"data\":{\"id\":\"doc-7\"}}\n");
  EXPECT_EQ(store.wal_pending(), 2u);
  EXPECT_EQ(fs.open_handle_count(), 0);
}

TEST_F(StoreMutationTest, FirstUpsertFixesDimensionWhichOutlivesTheEntry) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_EQ(store.dim(), 3u);
  EXPECT_TRUE(store.dirty());
  ASSERT_TRUE(succeeded(store.remove("a")));
  EXPECT_EQ(store.len(), 0u);
  EXPECT_EQ(store.dim(), 3u);
  EXPECT_EQ(log(), kLineA + kDeleteA);
}

TEST_F(StoreMutationTest, UpsertOfPresentIdReplacesAndLogsBothLines) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  VectorEntry replacement = make_entry("a", {-0.5f, 2.0f, 1e-7f}, "blue", "t1");
  ASSERT_TRUE(succeeded(store.upsert(replacement)));
  EXPECT_EQ(store.len(), 1u);
  EXPECT_EQ(store.wal_pending(), 2u);
  ASSERT_NE(store.get("a"), nullptr);
  EXPECT_EQ(*store.get("a"), replacement);
  EXPECT_EQ(log(),
            kLineA +
                R"({"op":"upsert","data":{"id":"a","embedding":[-0.5,2.0,1e-7],"metadata":"blue","created_at":"t1"}})"
                "\n");
}

TEST_F(StoreMutationTest, IdsMatchByBytesOnly) {
  ASSERT_TRUE(succeeded(store.upsert(make_entry("\xC3\xA9", {1.0f}))));   // é precomposed
  ASSERT_TRUE(succeeded(store.upsert(make_entry("e\xCC\x81", {2.0f}))));  // e + combining acute
  ASSERT_TRUE(succeeded(store.upsert(make_entry("E", {3.0f}))));
  EXPECT_EQ(store.len(), 3u);
  EXPECT_EQ(store.get("e"), nullptr);
  ASSERT_NE(store.get("e\xCC\x81"), nullptr);
  EXPECT_EQ(store.get("e\xCC\x81")->embedding, std::vector<float>{2.0f});
}

TEST_F(StoreMutationTest, EmptyCreatedAtIsKeptAsGiven) {
  ASSERT_TRUE(succeeded(store.upsert(make_entry("x", {1.0f}, "m", ""))));
  ASSERT_NE(store.get("x"), nullptr);
  EXPECT_EQ(store.get("x")->created_at, "");
  EXPECT_EQ(log(), R"({"op":"upsert","data":{"id":"x","embedding":[1.0],"metadata":"m","created_at":""}})"
                   "\n");
}

TEST_F(StoreMutationTest, DeleteOfAbsentIdWritesNothing) {
  ASSERT_TRUE(succeeded(store.remove("nope")));
  EXPECT_FALSE(fs.exists("store.wal"));
  EXPECT_EQ(store.wal_pending(), 0u);
  EXPECT_FALSE(store.dirty());
}

TEST_F(StoreMutationTest, BatchWithOneIdTwiceKeepsTheLaterEntryAndLogsBoth) {
  std::vector<VectorEntry> batch = {entry_a(), entry_b(), make_entry("a", {7.0f, 8.0f, 9.0f})};
  ASSERT_TRUE(succeeded(store.upsert_batch(batch)));
  EXPECT_EQ(store.len(), 2u);
  EXPECT_EQ(store.wal_pending(), 3u);
  EXPECT_EQ(store.get("a")->embedding, (std::vector<float>{7.0f, 8.0f, 9.0f}));
  EXPECT_EQ(log(), kLineA + kLineB +
                       R"({"op":"upsert","data":{"id":"a","embedding":[7.0,8.0,9.0],"metadata":"","created_at":""}})"
                       "\n");
}

TEST_F(StoreMutationTest, EmptyBatchCreatesEmptyLogAndChangesNothingElse) {
  ASSERT_TRUE(succeeded(store.upsert_batch({})));
  EXPECT_EQ(fs.contents("store.wal"), "");
  EXPECT_EQ(store.wal_pending(), 0u);
  EXPECT_FALSE(store.dirty());
  EXPECT_EQ(fs.open_handle_count(), 0);
}

TEST_F(StoreMutationTest, EmptyBatchLeavesAnExistingLogAsItIs) {
  fs.put_file("store.wal", kLineA + "{\"op\":");  // torn tail included
  ASSERT_TRUE(succeeded(store.upsert_batch({})));
  EXPECT_EQ(log(), kLineA + "{\"op\":");
}

TEST_F(StoreMutationTest, NewStoreAppendsToAnExistingLog) {
  fs.put_file("store.wal", kLineB);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_EQ(log(), kLineB + kLineA);
  EXPECT_EQ(store.len(), 1u);  // nothing was read
}

TEST_F(StoreMutationTest, BatchLargerThanTheBufferIsLoggedWhole) {
  std::vector<VectorEntry> batch;
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    const std::string id = "entry-" + std::to_string(i);
    batch.push_back(make_entry(id, {1.0f, 0.0f, 0.25f}));
    expected += R"({"op":"upsert","data":{"id":")" + id +
                R"(","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""}})"
                "\n";
  }
  ASSERT_TRUE(succeeded(store.upsert_batch(batch)));
  EXPECT_GT(expected.size(), 3 * 8192u);
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(store.wal_pending(), 300u);
}

// --- Refused embeddings: nothing is written or stored, and only an admitted
// embedding fixes the dimension.

struct RefusalCase {
  const char* name;
  std::optional<std::uint64_t> dim_before;  // set by a first upsert of that length
  std::vector<std::vector<float>> batch;    // one element: a single upsert
  StoreErrorKind kind;
  const char* message;
  std::optional<std::uint64_t> dim_after;
};

class StoreRefusal : public StoreMutationTest, public ::testing::WithParamInterface<RefusalCase> {};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST_P(StoreRefusal, WritesAndStoresNothing) {
  const RefusalCase& c = GetParam();
  std::string log_before = "<missing>";
  if (c.dim_before) {
    ASSERT_TRUE(succeeded(store.upsert(make_entry("seed", std::vector<float>(*c.dim_before, 1.0f)))));
    log_before = log();
  }
  const std::uint64_t len_before = store.len();
  const bool dirty_before = store.dirty();
  std::vector<VectorEntry> entries;
  for (std::size_t i = 0; i < c.batch.size(); ++i) entries.push_back(make_entry("e" + std::to_string(i), c.batch[i]));

  if (entries.size() == 1) {
    EXPECT_TRUE(fails_with(store.upsert(entries[0]), c.kind, c.message));
  } else {
    EXPECT_TRUE(fails_with(store.upsert_batch(entries), c.kind, c.message));
  }
  EXPECT_EQ(log(), log_before);
  EXPECT_EQ(store.len(), len_before);
  EXPECT_EQ(store.dirty(), dirty_before);
  EXPECT_EQ(store.dim(), c.dim_after);
  EXPECT_EQ(store.wal_pending(), c.dim_before ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreRefusal,
    ::testing::Values(RefusalCase{"EmptyIntoNewStore",
                                  std::nullopt,
                                  {{}},
                                  StoreErrorKind::kEmptyEmbedding,
                                  "Embedding must not be empty",
                                  std::nullopt},
                      RefusalCase{
                          "EmptyIntoDim3", 3, {{}}, StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty", 3},
                      RefusalCase{"Length4IntoDim3",
                                  3,
                                  {{1, 2, 3, 4}},
                                  StoreErrorKind::kDimensionMismatch,
                                  "Dimension mismatch: store is 3D, got 4D",
                                  3},
                      RefusalCase{"NaNIntoNewStore",
                                  std::nullopt,
                                  {{1, kNaN}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  std::nullopt},
                      RefusalCase{"InfinityIntoNewStore",
                                  std::nullopt,
                                  {{kInf}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  std::nullopt},
                      RefusalCase{"MinusInfinityIntoNewStore",
                                  std::nullopt,
                                  {{0, -kInf, 0}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  std::nullopt},
                      // Finiteness is judged before the dimension.
                      RefusalCase{"NaNOfWrongLength",
                                  3,
                                  {{kNaN}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  3},
                      RefusalCase{"BatchLengths3Then0",
                                  std::nullopt,
                                  {{1, 2, 3}, {}},
                                  StoreErrorKind::kEmptyEmbedding,
                                  "Embedding must not be empty",
                                  3},
                      RefusalCase{"BatchLengths3Then4",
                                  std::nullopt,
                                  {{1, 2, 3}, {1, 2, 3, 4}},
                                  StoreErrorKind::kDimensionMismatch,
                                  "Dimension mismatch: store is 3D, got 4D",
                                  3},
                      RefusalCase{"BatchFirstNonFinite",
                                  std::nullopt,
                                  {{kNaN, 1}, {1, 2, 3}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  std::nullopt},
                      RefusalCase{"BatchSecondNonFinite",
                                  std::nullopt,
                                  {{1, 2}, {kInf, 2}},
                                  StoreErrorKind::kNonFiniteEmbedding,
                                  "Embedding must contain only finite values",
                                  2},
                      RefusalCase{"BatchEmptyBeforeNonFinite",
                                  std::nullopt,
                                  {{}, {kNaN}},
                                  StoreErrorKind::kEmptyEmbedding,
                                  "Embedding must not be empty",
                                  std::nullopt},
                      RefusalCase{"BatchMismatchBeforeLaterNaN",
                                  2,
                                  {{1, 2}, {1, 2, 3}, {kNaN, 1}},
                                  StoreErrorKind::kDimensionMismatch,
                                  "Dimension mismatch: store is 2D, got 3D",
                                  2}),
    [](const ::testing::TestParamInfo<RefusalCase>& param_info) { return param_info.param.name; });

TEST_F(StoreMutationTest, LargestFiniteValuesAreAccepted) {
  const float max = std::numeric_limits<float>::max();
  const float tiny = std::numeric_limits<float>::denorm_min();
  ASSERT_TRUE(succeeded(store.upsert(make_entry("m", {max, -max, tiny, -0.0f}))));
  EXPECT_EQ(
      log(),
      R"({"op":"upsert","data":{"id":"m","embedding":[3.4028235e+38,-3.4028235e+38,1e-45,-0.0],"metadata":"","created_at":""}})"
      "\n");
}

}  // namespace
}  // namespace sorvid::testing
