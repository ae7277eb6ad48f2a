// Batched and filtered queries, and sync() against a power cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/store_core.h"
#include "hnsw/cosine_distance.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

constexpr std::size_t kDim = 12;

std::vector<float> random_vector(std::mt19937& generator) {
  std::normal_distribution<float> normal;
  std::vector<float> values(kDim);
  for (float& value : values) value = normal(generator);
  return values;
}

// (id, distance) pairs of hits, which compare whole.
std::vector<std::pair<std::string, float>> named(const std::vector<SearchHit>& hits) {
  std::vector<std::pair<std::string, float>> pairs;
  for (const SearchHit& hit : hits) pairs.emplace_back(hit.entry->id, hit.distance);
  return pairs;
}

class StoreQueryTest : public ::testing::Test {
 protected:
  // Entries "e0".."e<count-1>" with random embeddings; replaces some and
  // deletes some afterwards when `churn`, so that the index has changes to
  // take in before the next query.
  void fill(int count, bool churn) {
    std::vector<VectorEntry> batch;
    for (int i = 0; i < count; ++i) batch.push_back(make_entry("e" + std::to_string(i), random_vector(generator)));
    ASSERT_TRUE(succeeded(store.upsert_batch(batch)));
    if (!churn) return;
    ASSERT_TRUE(succeeded(store.search(random_vector(generator), 1)));  // the graph before the changes
    for (int i = 0; i < count; i += 7)
      ASSERT_TRUE(succeeded(store.upsert(make_entry("e" + std::to_string(i), random_vector(generator)))));
    for (int i = 3; i < count; i += 11) ASSERT_TRUE(succeeded(store.remove("e" + std::to_string(i))));
  }

  // Every live entry whose id is allowed, nearest first by (distance, id), at
  // the exact distance.
  std::vector<std::pair<std::string, float>> exact_among(const std::vector<float>& query,
                                                         const std::set<std::string>& allowed, std::size_t top_k) {
    std::vector<std::pair<std::string, float>> all;
    for (const auto& [id, entry] : store.entries()) {
      if (allowed.contains(id)) all.emplace_back(id, hnsw::cosine_distance(query, entry.embedding));
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    all.resize(std::min({all.size(), top_k, std::size_t{100}}));
    return all;
  }

  std::mt19937 generator{11};
  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
};

TEST_F(StoreQueryTest, BatchGivesEachQueryWhatSearchGives) {
  for (bool churn : {false, true}) {
    fill(600, churn);
    std::vector<std::vector<float>> queries;
    for (int i = 0; i < 40; ++i) queries.push_back(random_vector(generator));
    const std::vector<std::span<const float>> views(queries.begin(), queries.end());
    Result<std::vector<std::vector<SearchHit>>, StoreError> batch = store.search_batch(views, 15);
    ASSERT_TRUE(succeeded(batch));
    ASSERT_EQ(batch.value().size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
      Result<std::vector<SearchHit>, StoreError> single = store.search(queries[i], 15);
      ASSERT_TRUE(succeeded(single));
      EXPECT_EQ(named(batch.value()[i]), named(single.value())) << "query " << i;
    }
  }
}

TEST_F(StoreQueryTest, BatchWithOneRefusedQueryIsRefusedBeforeTheIndexIsTouched) {
  fill(50, /*churn=*/false);
  const std::vector<float> good = random_vector(generator);
  const std::vector<float> short_query(kDim - 1, 1.0f);
  const std::vector<std::span<const float>> views{good, short_query, good};
  EXPECT_TRUE(fails_with(store.search_batch(views, 5), StoreErrorKind::kDimensionMismatch,
                         "Dimension mismatch: store is 12D, got 11D"));
  EXPECT_TRUE(store.dirty());
  Result<std::vector<std::vector<SearchHit>>, StoreError> none = store.search_batch({}, 5);
  ASSERT_TRUE(succeeded(none));
  EXPECT_TRUE(none.value().empty());
}

TEST_F(StoreQueryTest, FilteredSearchIsTheExactNearestAmongAllowedLiveEntries) {
  fill(400, /*churn=*/true);
  std::uniform_real_distribution<double> coin;
  for (double share : {0.0, 0.01, 0.1, 0.5, 1.0}) {
    std::set<std::string> allowed{"absent", "e3"};  // e3 was deleted
    std::vector<std::string> listed(allowed.begin(), allowed.end());
    for (int i = 0; i < 400; ++i) {
      if (coin(generator) < share) {
        allowed.insert("e" + std::to_string(i));
        listed.push_back("e" + std::to_string(i));
        listed.push_back("e" + std::to_string(i));  // repeats count once
      }
    }
    for (std::uint64_t top_k : {1u, 10u, 150u}) {
      SCOPED_TRACE("share " + std::to_string(share) + ", top_k " + std::to_string(top_k));
      const std::vector<float> query = random_vector(generator);
      Result<std::vector<SearchHit>, StoreError> hits = store.search_filtered(query, listed, top_k);
      ASSERT_TRUE(succeeded(hits));
      EXPECT_EQ(named(hits.value()), exact_among(query, allowed, top_k));
    }
  }
}

TEST_F(StoreQueryTest, FilteredSearchChecksTheQueryLikeSearch) {
  fill(20, /*churn=*/false);
  const std::vector<std::string> allowed{"e1"};
  EXPECT_TRUE(fails_with(store.search_filtered(std::vector<float>{}, allowed, 3), StoreErrorKind::kEmptyEmbedding,
                         StoreError::empty_embedding().message));
  EXPECT_TRUE(fails_with(store.search_filtered(std::vector<float>(3, 1.0f), allowed, 3),
                         StoreErrorKind::kDimensionMismatch, "Dimension mismatch: store is 12D, got 3D"));
}

// What a power cut leaves of the entries, reopened.
StoreState after_power_cut(const MemoryFileSystem& fs, PowerCut model) {
  std::unique_ptr<MemoryFileSystem> survivor = fs.after_power_cut(model);
  Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *survivor);
  EXPECT_TRUE(succeeded(reopened));
  return reopened.ok() ? state_of(reopened.value()) : StoreState{};
}

class SyncTest : public ::testing::TestWithParam<PowerCut> {};

TEST_P(SyncTest, SyncedWritesSurviveAPowerCutAndUnsyncedOnesNeedNot) {
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.sync()));  // no log yet: nothing to do, nothing made
  EXPECT_FALSE(fs.exists("store.wal"));

  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.sync()));
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  ASSERT_TRUE(succeeded(store.remove("a")));
  ASSERT_TRUE(succeeded(store.sync()));
  EXPECT_EQ(after_power_cut(fs, GetParam()), holding({entry_b()}, 3));

  // Compaction empties the log; the next append writes it from the start.
  ASSERT_TRUE(succeeded(store.compact()));
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.sync()));
  EXPECT_EQ(after_power_cut(fs, GetParam()), holding({entry_b(), entry_a()}, 3));
}

INSTANTIATE_TEST_SUITE_P(Models, SyncTest, ::testing::Values(PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata));

TEST(SyncTest, WithoutSyncAPowerCutMayLoseTheLog) {
  // The counterpart that shows the syncs above are what keeps the data.
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_EQ(after_power_cut(fs, PowerCut::kLoseUnsynced), holding({}, std::nullopt));
}

}  // namespace
}  // namespace sorvid::testing
