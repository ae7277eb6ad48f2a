// The index kept up to date in place, and the graph saved by compaction and
// loaded by open.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/store_core.h"
#include "hnsw/cosine_distance.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

constexpr std::size_t kDim = 8;
const std::string kGraph = "store.snap.hnsw";

std::vector<float> random_embedding(std::mt19937& generator) {
  std::normal_distribution<float> normal;
  std::vector<float> embedding(kDim);
  for (float& value : embedding) value = normal(generator);
  return embedding;
}

class IndexUpkeepTest : public ::testing::Test {
 protected:
  void add(StoreCore& to, int first, int count) {
    std::vector<VectorEntry> batch;
    for (int i = first; i < first + count; ++i) batch.push_back(make_entry("e" + std::to_string(i), next()));
    ASSERT_TRUE(succeeded(to.upsert_batch(batch)));
  }
  std::vector<float> next() { return random_embedding(generator); }

  static std::vector<std::string> ids_found(StoreCore& in, const std::vector<float>& query, std::uint64_t top_k) {
    Result<std::vector<SearchHit>, StoreError> hits = in.search(query, top_k);
    EXPECT_TRUE(succeeded(hits));
    std::vector<std::string> ids;
    if (hits) {
      for (const SearchHit& hit : hits.value()) ids.push_back(hit.entry->id);
    }
    return ids;
  }
  Result<StoreCore, StoreError> reopen() { return StoreCore::open("store.snap", "store.wal", fs); }

  std::mt19937 generator{11};
  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
};

// Stores this small are searched exhaustively, so every live entry is found
// and the nearest comes first.
TEST_F(IndexUpkeepTest, ChangesAfterASearchAreBroughtInWithoutARebuild) {
  add(store, 0, 50);
  ASSERT_FALSE(ids_found(store, next(), 1).empty());
  const std::vector<std::string> built = store.index_ids();

  const std::vector<float> replaced = next();
  ASSERT_TRUE(succeeded(store.upsert(make_entry("e7", replaced))));
  ASSERT_TRUE(succeeded(store.remove("e8")));
  ASSERT_TRUE(succeeded(store.upsert(make_entry("new", next()))));
  EXPECT_TRUE(store.dirty());
  EXPECT_EQ(ids_found(store, replaced, 1), std::vector<std::string>{"e7"});
  EXPECT_FALSE(store.dirty());
  // The built ids keep their values; the two insertions are appended.
  ASSERT_EQ(store.index_ids().size(), built.size() + 2);
  EXPECT_TRUE(std::equal(built.begin(), built.end(), store.index_ids().begin()));

  const std::vector<std::string> all = ids_found(store, replaced, 100);
  EXPECT_EQ(all.size(), store.len());
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).count("e8"), 0u);
}

TEST_F(IndexUpkeepTest, ManyRemovalsRebuildTheIndexAfresh) {
  add(store, 0, 50);
  ASSERT_FALSE(ids_found(store, next(), 1).empty());
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(succeeded(store.remove("e" + std::to_string(i))));
  EXPECT_EQ(ids_found(store, next(), 100).size(), 30u);
  // A fresh build lists exactly the live ids, in byte order.
  EXPECT_EQ(store.index_ids().size(), 30u);
  EXPECT_TRUE(std::is_sorted(store.index_ids().begin(), store.index_ids().end()));
}

TEST_F(IndexUpkeepTest, CompactedStoreReopensWithItsGraphAndTheLogChangesOnTop) {
  add(store, 0, 60);
  ASSERT_TRUE(succeeded(store.compact()));
  ASSERT_TRUE(fs.exists(kGraph));
  const std::vector<float> query = next();
  const std::vector<std::string> before = ids_found(store, query, 10);

  Result<StoreCore, StoreError> opened = reopen();
  ASSERT_TRUE(succeeded(opened));
  EXPECT_TRUE(opened.value().has_index());
  EXPECT_FALSE(opened.value().dirty());
  EXPECT_EQ(ids_found(opened.value(), query, 10), before);  // the very same graph

  ASSERT_TRUE(succeeded(opened.value().upsert(make_entry("near", query))));
  ASSERT_TRUE(succeeded(opened.value().remove(before[0])));
  Result<StoreCore, StoreError> again = reopen();
  ASSERT_TRUE(succeeded(again));
  EXPECT_TRUE(again.value().has_index());
  EXPECT_TRUE(again.value().dirty());
  const std::vector<std::string> found = ids_found(again.value(), query, 100);
  EXPECT_EQ(found.front(), "near");
  EXPECT_EQ(found.size(), 60u);
  EXPECT_EQ(std::count(found.begin(), found.end(), before[0]), 0);
  EXPECT_EQ(again.value().index_ids().size(), 61u);  // loaded, then one insertion
}

// How an entry's replacement and another's deletion reach an index that
// holds their old points.
enum class ChangedBy { kUpsert, kBatch, kReplayedLog };

class ChangedEntryTest : public IndexUpkeepTest, public ::testing::WithParamInterface<ChangedBy> {};

// The index reads its points in place, and the old points of a replaced and
// a deleted entry stay in the graph, walked through, until a rebuild: a
// query at an old point reads it exactly (its decision distance is near 0).
// So the old embeddings must outlive the change (AddressSanitizer catches a
// read of a freed one), and every distance returned stays the exact one.
TEST_P(ChangedEntryTest, OldPointsStayReadableAndDistancesExact) {
  add(store, 0, 60);
  ASSERT_TRUE(succeeded(store.compact()));  // a fresh index, and its graph saved
  const std::vector<float> old7 = store.get("e7")->embedding;
  const std::vector<float> old8 = store.get("e8")->embedding;
  const std::vector<float> new7 = next();
  if (GetParam() == ChangedBy::kBatch) {
    ASSERT_TRUE(succeeded(store.upsert_batch({make_entry("e7", next()), make_entry("e7", new7)})));
  } else {
    ASSERT_TRUE(succeeded(store.upsert(make_entry("e7", new7))));
  }
  ASSERT_TRUE(succeeded(store.remove("e8")));
  Result<StoreCore, StoreError> opened = reopen();  // the saved graph, then the log replayed over it
  ASSERT_TRUE(succeeded(opened));
  StoreCore& changed = GetParam() == ChangedBy::kReplayedLog ? opened.value() : store;
  for (const std::vector<float>* query : {&old7, &old8, &new7}) {
    Result<std::vector<SearchHit>, StoreError> hits = changed.search(*query, 100);
    ASSERT_TRUE(succeeded(hits));
    ASSERT_EQ(hits.value().size(), 59u);
    for (const SearchHit& hit : hits.value()) {
      ASSERT_NE(hit.entry->id, "e8");
      ASSERT_EQ(std::bit_cast<std::uint32_t>(hnsw::cosine_distance(*query, hit.entry->embedding)),
                std::bit_cast<std::uint32_t>(hit.distance))
          << hit.entry->id;
    }
  }
  EXPECT_EQ(changed.search(new7, 1).value()[0].entry->id, "e7");
  EXPECT_EQ(changed.index_ids().size(), 61u) << "updated in place, not rebuilt";
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedEntryTest,
                         ::testing::Values(ChangedBy::kUpsert, ChangedBy::kBatch, ChangedBy::kReplayedLog));

enum class Damage { kMissing, kEmpty, kTruncated, kFlipped, kStale, kDirectory };

class DamagedGraphTest : public IndexUpkeepTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedGraphTest, IsIgnoredAndTheFirstSearchBuilds) {
  add(store, 0, 40);
  ASSERT_TRUE(succeeded(store.compact()));
  std::string graph = *fs.contents(kGraph);
  switch (GetParam()) {
    case Damage::kMissing: ASSERT_TRUE(fs.remove(kGraph).ok()); break;
    case Damage::kEmpty: fs.put_file(kGraph, ""); break;
    case Damage::kTruncated: fs.put_file(kGraph, graph.substr(0, graph.size() / 2)); break;
    case Damage::kFlipped:
      graph[graph.size() / 3] ^= 0x10;
      fs.put_file(kGraph, graph);
      break;
    case Damage::kStale: fs.put_file("store.snap", " " + *fs.contents("store.snap")); break;
    case Damage::kDirectory:
      ASSERT_TRUE(fs.remove(kGraph).ok());
      fs.make_directory(kGraph);
      break;
  }
  Result<StoreCore, StoreError> opened = reopen();
  ASSERT_TRUE(succeeded(opened));
  EXPECT_FALSE(opened.value().has_index());
  EXPECT_TRUE(opened.value().dirty());
  const std::vector<float> query = opened.value().get("e5")->embedding;
  EXPECT_EQ(ids_found(opened.value(), query, 1), std::vector<std::string>{"e5"});
  EXPECT_TRUE(opened.value().has_index());
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedGraphTest,
                         ::testing::Values(Damage::kMissing, Damage::kEmpty, Damage::kTruncated, Damage::kFlipped,
                                           Damage::kStale, Damage::kDirectory));

// The graph is a cache: failing to save it fails no compaction and leaves
// no temporary file; the snapshot and the emptied log stand.
TEST_F(IndexUpkeepTest, FailureToSaveTheGraphIsNotAFailureOfCompaction) {
  add(store, 0, 10);
  MemoryFileSystem probe;
  StoreCore twin("store.snap", "store.wal", probe);
  add(twin, 0, 10);
  probe.reset_faults();
  ASSERT_TRUE(succeeded(twin.compact()));
  const std::vector<std::string>& operations = probe.operation_log();
  const auto rename = std::find(operations.begin(), operations.end(), "rename store.snap.hnsw.tmp " + kGraph);
  ASSERT_NE(rename, operations.end());

  fs.reset_faults();
  fs.fail_operation(static_cast<std::uint64_t>(rename - operations.begin()) + 1, EIO);
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.paths(), (std::vector<std::string>{"store.snap", "store.snap.f32", "store.wal"}));
  EXPECT_EQ(store.wal_pending(), 0u);
}

}  // namespace
}  // namespace sorvid::testing
