// Compaction: atomic replacement of the snapshot, faults at every file
// operation, and power cuts at every point.
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

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
  EXPECT_EQ(fs.paths(), (std::vector<std::string>{"store.snap", "store.wal"}));  // no temporary file left
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

TEST_F(StoreCompactTest, FailedSyncIsNotRetried) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  fs.reset_faults();
  fs.fail_every(FsOp::Sync, EIO);
  EXPECT_TRUE(fails_with(store.compact(), StoreErrorKind::Io, "Input/output error (os error 5)"));
  EXPECT_EQ(std::count(fs.operation_log().begin(), fs.operation_log().end(), "sync store.snap.tmp"), 1);
  EXPECT_EQ(fs.paths(), std::vector<std::string>{"store.wal"});
}

TEST_F(StoreCompactTest, SnapshotWriteThatAcceptsNothingFails) {
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  fs.limit_writes(0);
  EXPECT_TRUE(fails_with(store.compact(), StoreErrorKind::Io, "failed to write whole buffer"));
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
  std::unique_ptr<MemoryFileSystem> prepare() {
    auto fs = std::make_unique<MemoryFileSystem>();
    fs->put_file("store.snap", old_snapshot());
    fs->put_file("store.wal", old_log());
    fs->sync_everything();
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

  std::uint64_t operations_of_clean_compaction() {
    auto fs = prepare();
    Result<StoreCore, StoreError> store = StoreCore::open("store.snap", "store.wal", *fs);
    EXPECT_TRUE(succeeded(store));
    fs->reset_faults();
    EXPECT_TRUE(succeeded(store.value().compact()));
    return fs->operation_count();
  }
};

TEST_F(CompactionUnderFaults, FailureAtAnyOperationKeepsOldSnapshotOrLogAndLosesNothing) {
  const std::uint64_t operations = operations_of_clean_compaction();
  ASSERT_GE(operations, 6u);
  for (std::uint64_t k = 1; k <= operations; ++k) {
    auto fs = prepare();
    Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(opened));
    StoreCore& store = opened.value();
    fs->reset_faults();
    fs->fail_operation(k, EIO);
    Result<void, StoreError> compacted = store.compact();
    const std::string failed_op = fs->operation_log()[k - 1];
    SCOPED_TRACE("failing " + failed_op);

    EXPECT_TRUE(fails_with(compacted, StoreErrorKind::Io, "Input/output error (os error 5)"));
    EXPECT_EQ(store.wal_pending(), 2u);
    expect_live_state(store);
    EXPECT_EQ(fs->contents("store.wal"), old_log());
    EXPECT_FALSE(fs->exists("store.snap.tmp"));
    EXPECT_EQ(fs->open_handle_count(), 0);
    // Once the rename is done the new snapshot stands; before it, the old.
    const bool renamed = failed_op == "sync_directory ." || failed_op == "open store.wal";
    if (!renamed) {
      EXPECT_EQ(fs->contents("store.snap"), old_snapshot());
    }

    Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(reopened));
    expect_live_state(reopened.value());
  }
}

TEST_F(CompactionUnderFaults, PowerCutAtAnyPointReopensToTheSameEntries) {
  const std::uint64_t operations = operations_of_clean_compaction();
  for (PowerCut model : {PowerCut::LoseUnsynced, PowerCut::KeepMetadata}) {
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
  for (PowerCut model : {PowerCut::LoseUnsynced, PowerCut::KeepMetadata}) {
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

// --- The real file system.

TEST(PosixCompactTest, CompactsInPlaceAndLeavesOnlyTheTwoFiles) {
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
  EXPECT_EQ(names, (std::vector<std::string>{"store.snap", "store.wal"}));
  EXPECT_EQ(std::filesystem::file_size(wal), 0u);

  Result<StoreCore, StoreError> reopened = StoreCore::open(snap, wal);
  ASSERT_TRUE(succeeded(reopened));
  EXPECT_EQ(reopened.value().len(), 2u);
  EXPECT_EQ(*reopened.value().get("b"), entry_b());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace sorvid::testing
