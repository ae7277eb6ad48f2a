// Search with the lazy index rebuild.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/store_core.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

// Cosine distance in double precision, as a reference for the index's floats.
double reference_distance(const std::vector<float>& a, const std::vector<float>& b) {
  double dot = 0, norm_a = 0, norm_b = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += double(a[i]) * b[i];
    norm_a += double(a[i]) * a[i];
    norm_b += double(b[i]) * b[i];
  }
  if (norm_a * norm_b == 0) return 2.0;
  return std::clamp(1.0 - dot / std::sqrt(norm_a * norm_b), 0.0, 2.0);
}

class StoreSearchTest : public ::testing::Test {
 protected:
  // Adds `count` entries "e<i>" with random 8-dimensional embeddings.
  void add_random_entries(int count, std::uint32_t seed = 7) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal;
    std::vector<VectorEntry> batch;
    for (int i = 0; i < count; ++i) {
      std::vector<float> embedding(8);
      for (float& value : embedding) value = normal(generator);
      batch.push_back(make_entry("e" + std::to_string(i), embedding));
    }
    ASSERT_TRUE(succeeded(store.upsert_batch(batch)));
  }

  std::vector<SearchHit> search(const std::vector<float>& query, std::uint64_t top_k) {
    Result<std::vector<SearchHit>, StoreError> hits = store.search(query, top_k);
    EXPECT_TRUE(succeeded(hits));
    return hits.ok() ? hits.value() : std::vector<SearchHit>{};
  }

  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
};

TEST_F(StoreSearchTest, EmptyQueryIsRefusedEvenOnAnEmptyStore) {
  EXPECT_TRUE(fails_with(store.search({}, 10), StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty"));
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_TRUE(fails_with(store.search({}, 10), StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty"));
  EXPECT_TRUE(store.dirty());  // refused before any rebuild
  EXPECT_FALSE(store.has_index());
}

TEST_F(StoreSearchTest, QueryOfAnotherLengthIsRefusedAlsoWhenEverythingWasDeleted) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_TRUE(fails_with(store.search(std::vector<float>{1, 2}, 10), StoreErrorKind::kDimensionMismatch,
                         "Dimension mismatch: store is 3D, got 2D"));
  ASSERT_TRUE(succeeded(store.remove("a")));
  EXPECT_TRUE(fails_with(store.search(std::vector<float>{1, 2}, 10), StoreErrorKind::kDimensionMismatch,
                         "Dimension mismatch: store is 3D, got 2D"));
  EXPECT_TRUE(search({1, 2, 3}, 10).empty());
  EXPECT_FALSE(store.has_index());
}

TEST_F(StoreSearchTest, NewStoreAnswersAnyLengthWithNothingAndKeepsDimensionUnset) {
  EXPECT_TRUE(search({1, 2, 3, 4, 5}, 10).empty());
  EXPECT_TRUE(search({1}, 10).empty());
  EXPECT_EQ(store.dim(), std::nullopt);
}

TEST_F(StoreSearchTest, TopKZeroGivesNothingButStillRebuilds) {
  add_random_entries(20);
  EXPECT_TRUE(search(std::vector<float>(8, 1.0f), 0).empty());
  EXPECT_FALSE(store.dirty());
  EXPECT_TRUE(store.has_index());
}

TEST_F(StoreSearchTest, AtMostOneHundredHits) {
  add_random_entries(150);
  const std::vector<SearchHit> hits = search(std::vector<float>(8, 0.5f), 1000);
  EXPECT_LE(hits.size(), 100u);
  EXPECT_GE(hits.size(), 50u);
}

TEST_F(StoreSearchTest, AtMostAsManyHitsAsEntries) {
  add_random_entries(5);
  EXPECT_LE(search(std::vector<float>(8, 0.5f), 10).size(), 5u);
  EXPECT_EQ(search(std::vector<float>(8, 0.5f), 3).size(), 3u);
}

TEST_F(StoreSearchTest, HitsAreTheirEntriesAtTheirDistancesNearestFirst) {
  add_random_entries(300);
  std::mt19937 generator(99);
  std::normal_distribution<float> normal;
  for (int round = 0; round < 5; ++round) {
    std::vector<float> query(8);
    for (float& value : query) value = normal(generator);
    const std::vector<SearchHit> hits = search(query, 50);
    ASSERT_EQ(hits.size(), 50u);
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_NEAR(hits[i].distance, reference_distance(query, hits[i].entry->embedding), 1e-5);
      if (i > 0) {
        EXPECT_LE(hits[i - 1].distance, hits[i].distance);
      }
    }
  }
}

TEST_F(StoreSearchTest, StoredEmbeddingFindsItsEntryFirst) {
  add_random_entries(200);
  const VectorEntry target = *store.get("e42");
  const std::vector<SearchHit> hits = search(target.embedding, 5);
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].entry->id, "e42");
  EXPECT_GE(hits[0].distance, 0.0f);
  EXPECT_NEAR(hits[0].distance, 0.0f, 1e-6);
}

TEST_F(StoreSearchTest, ZeroVectorsAreAtDistanceTwo) {
  ASSERT_TRUE(succeeded(store.upsert_batch({make_entry("zero", {0, 0, 0}), entry_a(), entry_b()})));
  for (const SearchHit& hit : search({0, 0, 0}, 10)) EXPECT_EQ(hit.distance, 2.0f);
  bool saw_zero = false;
  for (const SearchHit& hit : search({1, 1, 1}, 10)) {
    if (hit.entry->id == "zero") {
      saw_zero = true;
      EXPECT_EQ(hit.distance, 2.0f);
    }
  }
  EXPECT_TRUE(saw_zero);
}

TEST_F(StoreSearchTest, RepeatedSearchesReuseTheIndexUntilAMutation) {
  add_random_entries(120);
  const std::vector<float> query(8, 0.25f);
  const std::vector<SearchHit> first = search(query, 20);
  const std::vector<SearchHit> second = search(query, 20);
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].entry, second[i].entry);
    EXPECT_EQ(first[i].distance, second[i].distance);
  }

  ASSERT_TRUE(succeeded(store.upsert(make_entry("new", query))));
  EXPECT_TRUE(store.dirty());
  const std::vector<SearchHit> after = search(query, 1);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].entry->id, "new");
}

TEST_F(StoreSearchTest, DeletedEntryIsNotFound) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  ASSERT_FALSE(search({1, 0, 0.25f}, 10).empty());
  ASSERT_TRUE(succeeded(store.remove("a")));
  for (const SearchHit& hit : search({1, 0, 0.25f}, 10)) EXPECT_NE(hit.entry->id, "a");
}

TEST_F(StoreSearchTest, IndexIdsAreSortedByBytes) {
  for (const char* id : {"b", "\xC3\xA9", "a", "z", "ab", "", "B", "\x7F"}) {
    ASSERT_TRUE(succeeded(store.upsert(make_entry(id, {1, 2}))));
  }
  ASSERT_TRUE(succeeded(store.search(std::vector<float>{1, 2}, 1)));
  EXPECT_EQ(store.index_ids(), (std::vector<std::string>{"", "B", "a", "ab", "b", "z", "\x7F", "\xC3\xA9"}));
}

TEST_F(StoreSearchTest, CompactionRebuildsSoTheNextSearchDoesNot) {
  add_random_entries(30);
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_FALSE(store.dirty());
  EXPECT_TRUE(store.has_index());
  EXPECT_EQ(store.index_ids().size(), 30u);

  for (int i = 0; i < 30; ++i) ASSERT_TRUE(succeeded(store.remove("e" + std::to_string(i))));
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_FALSE(store.has_index());
  EXPECT_TRUE(search(std::vector<float>(8, 1.0f), 10).empty());
}

TEST_F(StoreSearchTest, OpenedStoreBuildsAtItsFirstSearch) {
  add_random_entries(40);
  Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(opened));
  EXPECT_TRUE(opened.value().dirty());
  EXPECT_FALSE(opened.value().has_index());
  Result<std::vector<SearchHit>, StoreError> hits = opened.value().search(store.get("e3")->embedding, 1);
  ASSERT_TRUE(succeeded(hits));
  ASSERT_EQ(hits.value().size(), 1u);
  EXPECT_EQ(hits.value()[0].entry->id, "e3");
}

}  // namespace
}  // namespace sorvid::testing
