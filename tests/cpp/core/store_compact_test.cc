// Compaction: atomic replacement of the snapshot, faults at every file
// operation, and power cuts at every point.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/store_core.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

const std::string kSnapshotA =
    R"({"dim":3,"entries":[{"id":"a","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""}]})";

class StoreCompactTest : public ::testing::Test {
 protected:
  Result<StoreCore, StoreError> reopen(MemoryFileSystem& on) { return StoreCore::open("store.snap", "store.wal", on); }

  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
};

TEST_F(StoreCompactTest, NothingPendingTouchesNoFile) {
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.operation_count(), 0u);
  EXPECT_TRUE(fs.paths().empty());

  fs.put_file("store.snap", "not even json");
  Result<StoreCore, StoreError> opened = StoreCore::open("other.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(opened));
  fs.reset_faults();
  ASSERT_TRUE(succeeded(opened.value().compact()));
  EXPECT_TRUE(fs.operation_log().empty());
}

TEST_F(StoreCompactTest, WritesTheSnapshotAndEmptiesTheLog) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.contents("store.snap"), kSnapshotA);
  EXPECT_EQ(fs.contents("store.wal"), "");
  EXPECT_EQ(store.wal_pending(), 0u);
  EXPECT_FALSE(store.dirty());
  // The embeddings and the graph are saved beside the snapshot; no
  // temporary file is left.
  EXPECT_EQ(fs.paths(), (std::vector<std::string>{"store.snap", "store.snap.f32", "store.snap.hnsw", "store.wal"}));
  EXPECT_EQ(fs.open_handle_count(), 0);

  Result<StoreCore, StoreError> reopened = reopen(fs);
  ASSERT_TRUE(succeeded(reopened));
  EXPECT_EQ(reopened.value().len(), 1u);
  EXPECT_EQ(*reopened.value().get("a"), entry_a());
  EXPECT_EQ(reopened.value().wal_pending(), 0u);
}

TEST_F(StoreCompactTest, NewStoreReplacesExistingFilesWithItsOwnEntriesOnly) {
  fs.put_file("store.snap", R"({"dim":3,"entries":[{"id":"old","embedding":[1,1,1],"metadata":"","created_at":""}]})");
  fs.put_file("store.wal", kLineB);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  EXPECT_EQ(fs.contents("store.wal"), kLineB + kLineA);
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.contents("store.snap"), kSnapshotA);
}

TEST_F(StoreCompactTest, DeletesOfAbsentIdsGiveDimensionZeroWhichReopensUnset) {
  fs.put_file("store.wal", kDeleteA + kDeleteA);
  Result<StoreCore, StoreError> opened = reopen(fs);
  ASSERT_TRUE(succeeded(opened));
  EXPECT_EQ(opened.value().wal_pending(), 2u);
  ASSERT_TRUE(succeeded(opened.value().compact()));
  EXPECT_EQ(fs.contents("store.snap"), R"({"dim":0,"entries":[]})");

  Result<StoreCore, StoreError> again = reopen(fs);
  ASSERT_TRUE(succeeded(again));
  EXPECT_EQ(again.value().dim(), std::nullopt);
  ASSERT_TRUE(succeeded(again.value().upsert(make_entry("x", {1, 2, 3, 4, 5}))));
  EXPECT_EQ(again.value().dim(), 5u);
}

TEST_F(StoreCompactTest, DimensionSurvivesDeletingEverything) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.remove("a")));
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.contents("store.snap"), R"({"dim":3,"entries":[]})");
  EXPECT_EQ(store.dim(), 3u);
}

// Position (from 1) of the first logged operation `op`, or 0.
std::uint64_t position_of(const std::vector<std::string>& log, const std::string& op) {
  auto found = std::find(log.begin(), log.end(), op);
  return found == log.end() ? 0 : static_cast<std::uint64_t>(found - log.begin()) + 1;
}

TEST_F(StoreCompactTest, FailedSyncIsNotRetried) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  for (const char* synced : {"sync store.wal", "sync store.snap.tmp"}) {
    SCOPED_TRACE(synced);
    MemoryFileSystem probe;
    StoreCore twin("store.snap", "store.wal", probe);
    ASSERT_TRUE(succeeded(twin.upsert(entry_a())));
    probe.reset_faults();
    ASSERT_TRUE(succeeded(twin.compact()));
    const std::uint64_t k = position_of(probe.operation_log(), synced);
    ASSERT_GT(k, 0u);

    fs.reset_faults();
    fs.fail_operation(k, EIO);
    EXPECT_TRUE(fails_with(store.compact(), StoreErrorKind::kIo, "Input/output error (os error 5)"));
    EXPECT_EQ(std::count(fs.operation_log().begin(), fs.operation_log().end(), synced), 1);
    EXPECT_EQ(fs.paths(), std::vector<std::string>{"store.wal"});
    EXPECT_EQ(fs.contents("store.wal"), kLineA);
  }
}

TEST_F(StoreCompactTest, HoldsTheLogLockedThroughEveryFileStep) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  for (const char* path : {"store.wal", "store.snap", "store.snap.tmp"}) fs.guard_with_lock(path, "store.wal");
  fs.reset_faults();
  ASSERT_TRUE(succeeded(store.compact()));
  EXPECT_EQ(fs.unguarded_uses(), std::vector<std::string>{});
  EXPECT_EQ(fs.operation_log().at(1), "lock_exclusive store.wal");
  EXPECT_EQ(fs.lock_state("store.wal"), LockState::kUnlocked);
}

TEST_F(StoreCompactTest, SnapshotWriteThatAcceptsNothingFails) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  fs.limit_writes(0);
  EXPECT_TRUE(fails_with(store.compact(), StoreErrorKind::kIo, "failed to write whole buffer"));
  EXPECT_EQ(store.wal_pending(), 1u);
  EXPECT_EQ(fs.paths(), std::vector<std::string>{"store.wal"});
}

// --- A store with an old snapshot and a log of changes since, on which
// compaction is made to fail or is cut short at every file operation.

class CompactionUnderFaults : public ::testing::Test {
 protected:
  static const std::string& old_snapshot() {
    static const std::string text =
        R"({"dim":3,"entries":[{"id":"a","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""},)"
        R"({"id":"gone","embedding":[3.0,3.0,3.0],"metadata":"","created_at":""}]})";
    return text;
  }
  static std::string old_log() {
    return R"({"op":"delete","data":{"id":"gone"}})"
           "\n" +
           kLineB;
  }

  // Files as a crash would find them before the compaction, all durable.
  // Every use of the two files must hold the log's lock.
  std::unique_ptr<MemoryFileSystem> prepare() {
    auto fs = std::make_unique<MemoryFileSystem>();
    fs->put_file("store.snap", old_snapshot());
    fs->put_file("store.wal", old_log());
    fs->sync_everything();
    for (const char* path : {"store.wal", "store.snap", "store.snap.tmp"}) fs->guard_with_lock(path, "store.wal");
    fs->reset_faults();
    return fs;
  }

  // The live state of the prepared files: a and b, dimension 3.
  static void expect_live_state(const StoreCore& store) {
    EXPECT_EQ(store.len(), 2u);
    EXPECT_EQ(store.dim(), 3u);
    ASSERT_NE(store.get("a"), nullptr);
    EXPECT_EQ(*store.get("a"), entry_a());
    ASSERT_NE(store.get("b"), nullptr);
    EXPECT_EQ(*store.get("b"), entry_b());
  }

  // The operations of a compaction that nothing disturbs.
  std::vector<std::string> operations_of_clean_compaction() {
    auto fs = prepare();
    Result<StoreCore, StoreError> store = StoreCore::open("store.snap", "store.wal", *fs);
    EXPECT_TRUE(succeeded(store));
    fs->reset_faults();
    EXPECT_TRUE(succeeded(store.value().compact()));
    EXPECT_EQ(fs->unguarded_uses(), std::vector<std::string>{});
    return fs->operation_log();
  }
};

TEST_F(CompactionUnderFaults, FailureAtAnyOperationKeepsOldSnapshotOrLogAndLosesNothing) {
  const std::vector<std::string> clean = operations_of_clean_compaction();
  const std::uint64_t rename = position_of(clean, "rename store.snap.tmp store.snap");
  ASSERT_GT(rename, 0u);
  // After the log is emptied only the graph is saved, which is a cache: a
  // failure there fails no compaction.
  const std::uint64_t emptied = position_of(clean, "truncate store.wal");
  ASSERT_GT(emptied, rename);
  for (std::uint64_t k = 1;; ++k) {
    auto fs = prepare();
    Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(opened));
    StoreCore& store = opened.value();
    fs->reset_faults();
    fs->fail_operation(k, EIO);
    Result<void, StoreError> compacted = store.compact();
    EXPECT_EQ(fs->open_handle_count(), 0);
    EXPECT_EQ(fs->unguarded_uses(), std::vector<std::string>{});
    if (compacted.ok()) {
      EXPECT_GT(k, emptied);
      EXPECT_EQ(fs->contents("store.wal"), "");
      EXPECT_EQ(store.wal_pending(), 0u);
      EXPECT_FALSE(fs->exists("store.snap.hnsw.tmp"));
      if (k > clean.size()) break;  // past the last operation: the compaction ran untouched
      continue;
    }
    ASSERT_LE(k, clean.size());
    SCOPED_TRACE("failing " + clean[k - 1]);

    EXPECT_TRUE(fails_with(compacted, StoreErrorKind::kIo, "Input/output error (os error 5)"));
    EXPECT_EQ(store.wal_pending(), 2u);
    expect_live_state(store);
    EXPECT_EQ(fs->contents("store.wal"), old_log());
    EXPECT_FALSE(fs->exists("store.snap.tmp"));
    // Once the rename is done the new snapshot stands; before it, the old.
    if (k <= rename) {
      EXPECT_EQ(fs->contents("store.snap"), old_snapshot());
    } else {
      EXPECT_NE(fs->contents("store.snap"), old_snapshot());
    }

    fs->reset_faults();
    Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(reopened));
    expect_live_state(reopened.value());
  }
}

TEST_F(CompactionUnderFaults, PowerCutAtAnyPointReopensToTheSameEntries) {
  const std::uint64_t operations = operations_of_clean_compaction().size();
  for (PowerCut model : {PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata}) {
    for (std::uint64_t k = 0; k <= operations; ++k) {
      SCOPED_TRACE("power cut after operation " + std::to_string(k) + " (model " +
                   std::to_string(static_cast<int>(model)) + ")");
      auto fs = prepare();
      Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", *fs);
      ASSERT_TRUE(succeeded(opened));
      fs->reset_faults();
      fs->halt_after(k);
      (void)opened.value().compact();

      std::unique_ptr<MemoryFileSystem> survivor = fs->after_power_cut(model);
      Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *survivor);
      ASSERT_TRUE(succeeded(reopened));
      expect_live_state(reopened.value());
    }
  }
}

TEST_F(CompactionUnderFaults, PowerCutAfterCompactionKeepsTheNewSnapshot) {
  for (PowerCut model : {PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata}) {
    auto fs = prepare();
    Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(opened));
    ASSERT_TRUE(succeeded(opened.value().compact()));
    std::unique_ptr<MemoryFileSystem> survivor = fs->after_power_cut(model);
    ASSERT_NE(survivor->contents("store.snap"), old_snapshot());
    Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *survivor);
    ASSERT_TRUE(succeeded(reopened));
    expect_live_state(reopened.value());
  }
}

// --- Power cuts when the log holds records that were never synced (appends
// never sync): the durable files then hold an older state than memory.

class CompactionOfUnsyncedLog : public ::testing::Test {
 protected:
  static VectorEntry version(const char* id, float value) { return make_entry(id, {value, 1.0f, 2.0f}); }

  // A durable snapshot {a} and durable log lines (x = 1, y), then, through
  // the store and never synced: x = 2, y deleted, a = 3.
  void SetUp() override { prepare(); }

  void prepare() {
    store.reset();
    fs = std::make_unique<MemoryFileSystem>();
    fs->put_file("store.snap",
                 R"({"dim":3,"entries":[{"id":"a","embedding":[1.0,1.0,2.0],"metadata":"","created_at":""}]})");
    fs->put_file("store.wal",
                 R"({"op":"upsert","data":{"id":"x","embedding":[1.0,1.0,2.0],"metadata":"","created_at":""}})"
                 "\n"
                 R"({"op":"upsert","data":{"id":"y","embedding":[1.0,1.0,2.0],"metadata":"","created_at":""}})"
                 "\n");
    fs->sync_everything();
    Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(opened));
    store = std::make_unique<StoreCore>(std::move(opened).value());
    ASSERT_TRUE(succeeded(store->upsert(version("x", 2))));
    ASSERT_TRUE(succeeded(store->remove("y")));
    ASSERT_TRUE(succeeded(store->upsert(version("a", 3))));
    fs->reset_faults();
  }

  static StoreState state_on(MemoryFileSystem& on) {
    Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", on);
    EXPECT_TRUE(succeeded(opened));
    return opened ? state_of(opened.value()) : StoreState{};
  }

  std::unique_ptr<MemoryFileSystem> fs;
  std::unique_ptr<StoreCore> store;
  // What survives a power cut before the compaction, and what it writes.
  const StoreState durable = holding({version("a", 1), version("x", 1), version("y", 1)}, 3);
  const StoreState live = holding({version("a", 3), version("x", 2)}, 3);
};

// Without the log synced before the new snapshot is in place, a cut between
// the two would replay only the log's durable first part over the new
// snapshot: x back at 1 and y back from the dead.
TEST_F(CompactionOfUnsyncedLog, PowerCutAtAnyPointGivesTheDurableOrTheCompactedState) {
  MemoryFileSystem probe;
  probe.put_file("store.snap", *fs->contents("store.snap"));
  probe.put_file("store.wal", *fs->contents("store.wal"));
  Result<StoreCore, StoreError> twin = StoreCore::open("store.snap", "store.wal", probe);
  ASSERT_TRUE(succeeded(twin));
  probe.reset_faults();
  ASSERT_TRUE(succeeded(twin.value().compact()));
  const std::uint64_t operations = probe.operation_count();
  // Once the log is emptied the compaction has succeeded; the graph that is
  // saved after it is a cache.
  const std::uint64_t emptied = position_of(probe.operation_log(), "truncate store.wal");
  ASSERT_GT(emptied, 0u);

  for (PowerCut model : {PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata}) {
    for (std::uint64_t k = 0; k <= operations; ++k) {
      SCOPED_TRACE("power cut after operation " + std::to_string(k) + " (model " +
                   std::to_string(static_cast<int>(model)) + ")");
      prepare();
      fs->halt_after(k);
      const bool compacted = store->compact().ok();
      EXPECT_EQ(compacted, k >= emptied);
      std::unique_ptr<MemoryFileSystem> survivor = fs->after_power_cut(model);
      const StoreState reopened = state_on(*survivor);
      if (compacted) {
        EXPECT_EQ(reopened, live);
      } else {
        EXPECT_TRUE(reopened == durable || reopened == live) << ::testing::PrintToString(reopened);
      }
    }
  }
}

// A compaction, a delete, a second compaction: after a power cut the entry
// must stay deleted, although the log was emptied twice without a sync.
TEST_F(CompactionOfUnsyncedLog, PowerCutAfterLaterCompactionsKeepsDeletesDeleted) {
  ASSERT_TRUE(succeeded(store->compact()));
  const StoreState first = live;
  ASSERT_TRUE(succeeded(store->remove("x")));
  ASSERT_TRUE(succeeded(store->upsert(version("a", 4))));
  const StoreState second = holding({version("a", 4)}, 3);

  MemoryFileSystem probe;
  for (const auto& path : fs->paths()) probe.put_file(path, *fs->contents(path));
  Result<StoreCore, StoreError> twin = StoreCore::open("store.snap", "store.wal", probe);
  ASSERT_TRUE(succeeded(twin));
  probe.reset_faults();
  ASSERT_TRUE(succeeded(twin.value().compact()));
  const std::uint64_t operations = probe.operation_count();

  for (PowerCut model : {PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata}) {
    for (std::uint64_t k = 0; k <= operations; ++k) {
      SCOPED_TRACE("power cut after operation " + std::to_string(k) + " of the second compaction (model " +
                   std::to_string(static_cast<int>(model)) + ")");
      prepare();
      ASSERT_TRUE(succeeded(store->compact()));
      ASSERT_TRUE(succeeded(store->remove("x")));
      ASSERT_TRUE(succeeded(store->upsert(version("a", 4))));
      fs->reset_faults();
      fs->halt_after(k);
      const bool compacted = store->compact().ok();
      const StoreState reopened = state_on(*fs->after_power_cut(model));
      if (compacted) {
        EXPECT_EQ(reopened, second);
      } else {
        EXPECT_TRUE(reopened == first || reopened == second) << ::testing::PrintToString(reopened);
      }
    }
  }
}

// --- The real file system.

TEST(PosixCompactTest, CompactsInPlaceAndLeavesNoTemporaryFile) {
  std::string pattern = (std::filesystem::temp_directory_path() / "sorvid-compact-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string snap = (dir / "store.snap").string();
  const std::string wal = (dir / "store.wal").string();
  {
    StoreCore store(snap, wal);
    ASSERT_TRUE(succeeded(store.upsert(entry_a())));
    ASSERT_TRUE(succeeded(store.compact()));
    ASSERT_TRUE(succeeded(store.upsert(entry_b())));
    ASSERT_TRUE(succeeded(store.compact()));
  }
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"store.snap", "store.snap.f32", "store.snap.hnsw", "store.wal"}));
  EXPECT_EQ(std::filesystem::file_size(wal), 0u);

  Result<StoreCore, StoreError> reopened = StoreCore::open(snap, wal);
  ASSERT_TRUE(succeeded(reopened));
  EXPECT_EQ(reopened.value().len(), 2u);
  EXPECT_EQ(*reopened.value().get("b"), entry_b());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace sorvid::testing
