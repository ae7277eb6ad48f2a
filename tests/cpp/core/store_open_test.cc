// Opening a store from its snapshot and log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/store_core.h"
#include "formats/snapshot.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

const std::string kSnapshotAB =
    R"({"dim":3,"entries":[{"id":"a","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""},)"
    R"({"id":"b","embedding":[-0.5,2.0,1e-7],"metadata":"blue","created_at":"t1"}]})";

class StoreOpenTest : public ::testing::Test {
 protected:
  Result<StoreCore, StoreError> open() { return StoreCore::open("store.snap", "store.wal", fs); }

  MemoryFileSystem fs;
};

TEST_F(StoreOpenTest, NeitherFileGivesAnEmptyStoreAndCreatesNothing) {
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().len(), 0u);
  EXPECT_EQ(store.value().dim(), std::nullopt);
  EXPECT_EQ(store.value().wal_pending(), 0u);
  EXPECT_FALSE(store.value().dirty());
  EXPECT_TRUE(fs.paths().empty());
}

TEST_F(StoreOpenTest, OnlyASnapshotGivesItsEntries) {
  fs.put_file("store.snap", kSnapshotAB);
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().len(), 2u);
  EXPECT_EQ(store.value().dim(), 3u);
  EXPECT_EQ(store.value().wal_pending(), 0u);
  EXPECT_TRUE(store.value().dirty());
  ASSERT_NE(store.value().get("b"), nullptr);
  EXPECT_EQ(*store.value().get("b"), entry_b());
  EXPECT_FALSE(fs.exists("store.wal"));
}

TEST_F(StoreOpenTest, SnapshotOfDimensionZeroLeavesItUnset) {
  fs.put_file("store.snap", R"({"dim":0,"entries":[]})");
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().dim(), std::nullopt);
  EXPECT_FALSE(store.value().dirty());
}

TEST_F(StoreOpenTest, SnapshotEntriesMustShareTheDimension) {
  fs.put_file("store.snap", R"({"dim":2,"entries":[["x",[1,2],"",""],["y",[4],"",""]]})");
  EXPECT_TRUE(fails_with(open(), StoreErrorKind::kDimensionMismatch,
                         "Dimension mismatch in the snapshot: entry \"y\" has 1 values, the store is 2D"));
  fs.put_file("store.snap", R"({"dim":0,"entries":[["x",[1,2,3],"",""],["y",[],"",""]]})");
  EXPECT_TRUE(fails_with(open(), StoreErrorKind::kDimensionMismatch,
                         "Dimension mismatch in the snapshot: entry \"y\" has 0 values, the store is 3D"));
}

TEST_F(StoreOpenTest, LaterSnapshotEntryWithTheSameIdWins) {
  fs.put_file("store.snap", R"({"dim":1,"entries":[["x",[3],"",""],["x",[4],"",""]]})");
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().len(), 1u);
  EXPECT_EQ(store.value().get("x")->embedding, std::vector<float>{4.0f});
}

TEST_F(StoreOpenTest, LogIsReplayedInOrderOverTheSnapshot) {
  fs.put_file("store.snap", kSnapshotAB);
  fs.put_file("store.wal",
              kDeleteA +
                  R"({"op":"upsert","data":{"id":"a","embedding":[9,9,9],"metadata":"v2","created_at":""}})"
                  "\n" +
                  R"({"op":"delete","data":{"id":"b"}})"
                  "\n" +
                  kDeleteA + kLineA);
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().len(), 1u);
  EXPECT_EQ(*store.value().get("a"), entry_a());
  EXPECT_EQ(store.value().get("b"), nullptr);
  EXPECT_EQ(store.value().wal_pending(), 5u);
}

TEST_F(StoreOpenTest, BlankLinesAndCarriageReturnsAreSkippedAndNotCounted) {
  const std::string unicode_blank = "\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\xC2\x85\v\f";  // NBSP, U+3000, U+2028, NEL
  fs.put_file("store.wal",
              "\n   \n\t\t\n" + kLineA.substr(0, kLineA.size() - 1) + "\r\n" + unicode_blank + "\n\r\n" + kLineB);
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().wal_pending(), 2u);
  EXPECT_EQ(store.value().len(), 2u);
}

TEST_F(StoreOpenTest, LastLineWithoutLineFeedIsApplied) {
  fs.put_file("store.wal", kLineA + kLineB.substr(0, kLineB.size() - 1));
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().wal_pending(), 2u);
  EXPECT_NE(store.value().get("b"), nullptr);
}

TEST_F(StoreOpenTest, LinesLongerThanTheReadBufferAreReadWhole) {
  const std::vector<float> long_embedding(4000, 0.125f);
  std::string values;
  for (std::size_t i = 0; i < long_embedding.size(); ++i) values += (i ? ",0.125" : "0.125");
  fs.put_file("store.wal", R"({"op":"upsert","data":{"id":"long","embedding":[)" + values +
                               R"(],"metadata":"","created_at":""}})"
                               "\n" +
                               kDeleteA);
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  EXPECT_EQ(store.value().get("long")->embedding, long_embedding);
  EXPECT_EQ(store.value().wal_pending(), 2u);
}

TEST_F(StoreOpenTest, OpeningWritesNothing) {
  fs.put_file("store.snap", kSnapshotAB);
  fs.put_file("store.wal", kLineA + "{\"op\":\"ups");
  ASSERT_TRUE(succeeded(open()));
  for (const std::string& op : fs.operation_log()) {
    EXPECT_TRUE(op.rfind("attributes ", 0) == 0 || op.rfind("open ", 0) == 0 || op.rfind("read ", 0) == 0 ||
                op.rfind("size ", 0) == 0 || op == "lock_shared store.wal")
        << op;
  }
  EXPECT_EQ(fs.contents("store.wal"), kLineA + "{\"op\":\"ups");
  EXPECT_EQ(fs.open_handle_count(), 0);
}

// --- A torn tail, dropped by the open and cut by the next append (which
// lines are torn tails is pinned by the reader's tests).

TEST_F(StoreOpenTest, TornTailIsIgnoredAndThenCutByTheNextAppend) {
  fs.put_file("store.wal", kLineA + R"({"op":"upsert","data":{"id":"z")");
  Result<StoreCore, StoreError> store = open();
  ASSERT_TRUE(succeeded(store));
  ASSERT_TRUE(succeeded(store.value().upsert(entry_b())));
  EXPECT_EQ(fs.contents("store.wal"), kLineA + kLineB);
  Result<StoreCore, StoreError> reopened = open();
  ASSERT_TRUE(succeeded(reopened));
  EXPECT_EQ(reopened.value().len(), 2u);
  EXPECT_EQ(reopened.value().wal_pending(), 2u);
}

// --- Failures: the first error, and no store.

struct OpenFailureCase {
  const char* name;
  std::optional<std::string> snapshot;
  std::optional<std::string> log;
  StoreErrorKind kind;
  const char* message;
};

class OpenFailure : public StoreOpenTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailure, ReportsTheFirstError) {
  if (GetParam().snapshot) fs.put_file("store.snap", *GetParam().snapshot);
  if (GetParam().log) fs.put_file("store.wal", *GetParam().log);
  EXPECT_TRUE(fails_with(open(), GetParam().kind, GetParam().message));
  EXPECT_EQ(fs.open_handle_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailure,
    ::testing::Values(
        OpenFailureCase{"EmptySnapshot", "", std::nullopt, StoreErrorKind::kJson,
                        "EOF while parsing a value at line 1 column 0"},
        OpenFailureCase{"SnapshotNotUtf8", "{\"dim\":0,\"entries\":[]}\xC0", std::nullopt, StoreErrorKind::kIo,
                        "stream did not contain valid UTF-8"},
        OpenFailureCase{"SnapshotTrailingDocument", R"({"dim":0,"entries":[]}{"dim":0,"entries":[]})", std::nullopt,
                        StoreErrorKind::kJson, "trailing characters at line 1 column 23"},
        OpenFailureCase{"SnapshotValueBeyondFloatRange",
                        R"({"dim":1,"entries":[{"id":"x","embedding":[1e39],"metadata":"","created_at":""}]})",
                        std::nullopt, StoreErrorKind::kNonFiniteEmbedding, "Embedding must contain only finite values"},
        OpenFailureCase{"LogLineOpeningBrace", std::nullopt, "{\n", StoreErrorKind::kJson,
                        "EOF while parsing an object at line 1 column 1"},
        OpenFailureCase{"LogLineNotUtf8", std::nullopt, kLineA + "\xFF\n" + kLineB, StoreErrorKind::kIo,
                        "stream did not contain valid UTF-8"},
        OpenFailureCase{"LogUpsertOfEmptyEmbedding", std::nullopt,
                        R"({"op":"upsert","data":{"id":"e","embedding":[],"metadata":"","created_at":""}})"
                        "\n",
                        StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty"},
        OpenFailureCase{"LogUpsertAgainstSnapshotDimension", R"({"dim":3,"entries":[]})",
                        R"({"op":"upsert","data":{"id":"e","embedding":[1,2,3,4],"metadata":"","created_at":""}})"
                        "\n",
                        StoreErrorKind::kDimensionMismatch, "Dimension mismatch: store is 3D, got 4D"},
        OpenFailureCase{"LogUpsertAgainstEarlierRecord", std::nullopt,
                        kLineA + R"({"op":"upsert","data":{"id":"e","embedding":[1],"metadata":"","created_at":""}})",
                        StoreErrorKind::kDimensionMismatch, "Dimension mismatch: store is 3D, got 1D"},
        OpenFailureCase{"LogUpsertBeyondFloatRange", std::nullopt,
                        R"({"op":"upsert","data":{"id":"e","embedding":[1,-1e39],"metadata":"","created_at":""}})"
                        "\n",
                        StoreErrorKind::kNonFiniteEmbedding, "Embedding must contain only finite values"},
        OpenFailureCase{"LogUnknownOperation", std::nullopt, "{\"op\":\"remove\",\"data\":{\"id\":\"x\"}}\r\n",
                        StoreErrorKind::kJson,
                        "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 14"}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& param_info) { return param_info.param.name; });

TEST_F(StoreOpenTest, SnapshotThatIsADirectoryFailsToRead) {
  fs.make_directory("store.snap");
  EXPECT_TRUE(fails_with(open(), StoreErrorKind::kIo, "Is a directory (os error 21)"));
}

TEST_F(StoreOpenTest, SnapshotAndLogMustBeDifferentFiles) {
  const std::pair<const char*, const char*> cases[] = {
      {"store.snap", "snapshot_path and wal_path name the same file"},
      {"store.snap.hnsw", "wal_path names the file where compaction saves the graph (snapshot_path + \".hnsw\")"},
      {"store.snap.f32", "wal_path names the file where compaction saves the embeddings (snapshot_path + \".f32\")"}};
  for (const auto& [log, message] : cases) {
    EXPECT_EQ(StoreCore::create("store.snap", log, fs).ok(), false) << log;
    EXPECT_TRUE(fails_with(StoreCore::open("store.snap", log, fs), StoreErrorKind::kSameFile, message));
  }
  EXPECT_TRUE(fs.paths().empty());
}

// Every failure fails the open, even one that only hides whether a file is
// there (a directory that cannot be searched): a store must not open without
// files it cannot see. Only the files compaction saves beside the snapshot
// (the graph, the embeddings) may be unreadable: the first search then
// builds, and the text gives the embeddings. A snapshot large enough to be
// mapped may also fail to map: it is then read, and a failure of the read
// reads as it always did.
TEST_F(StoreOpenTest, FailureAtAnyOperationFailsTheOpenUnlessItIsOnASavedFileOrTheMapping) {
  std::string large = kSnapshotAB;
  large.replace(large.find("blue"), 4, std::string(std::size_t{1} << 20, 'm'));
  for (const std::string& snapshot : {kSnapshotAB, large}) {
    fs.put_file("store.snap", snapshot);
    fs.put_file("store.wal", kDeleteA + kLineA);
    fs.put_file("store.snap.hnsw", "not a graph");
    fs.put_file("store.snap.f32", "not embeddings");
    fs.reset_faults();
    ASSERT_TRUE(succeeded(open()));
    const std::vector<std::string> operations = fs.operation_log();
    EXPECT_EQ(std::count(operations.begin(), operations.end(), "map_whole store.snap"), snapshot == large ? 1 : 0);
    // The first look at a saved file's path belongs to the check of the
    // paths; the later ones may fail.
    const auto may_fail = [&](std::size_t k, const std::string& saved) {
      const auto path_check = std::find(operations.begin(), operations.end(), "attributes " + saved);
      return operations[k - 1].ends_with(" " + saved) &&
             k > static_cast<std::size_t>(path_check - operations.begin()) + 1;
    };
    for (std::size_t k = 1; k <= operations.size(); ++k) {
      const std::string& op = operations[k - 1];
      SCOPED_TRACE("failing " + op);
      fs.reset_faults();
      fs.fail_operation(k, EACCES);
      Result<StoreCore, StoreError> store = open();
      if (may_fail(k, "store.snap.hnsw") || may_fail(k, "store.snap.f32") || op.starts_with("map_whole ")) {
        ASSERT_TRUE(succeeded(store));
        EXPECT_EQ(store.value().len(), 2u);
        EXPECT_EQ(store.value().get("b")->metadata.size(), snapshot == large ? std::size_t{1} << 20 : 4u);
      } else {
        EXPECT_TRUE(fails_with(store, StoreErrorKind::kIo, "Permission denied (os error 13)"));
      }
      EXPECT_EQ(fs.open_handle_count(), 0);
    }
  }
}

// A mapped snapshot ends where its file does (the tests' mapping is exactly
// as long as the file, so AddressSanitizer sees any read past it): every cut
// of the text near its end, through the values the quick reading takes,
// opens or fails just as the text read into a buffer does.
TEST_F(StoreOpenTest, MappedSnapshotIsReadToItsEndAndNoFurther) {
  const std::string head = R"({"dim":6,"entries":[{"id":"a","embedding":[1,2,3,4,5,6],"metadata":")" +
                           std::string(std::size_t{1} << 20, 'm') + R"(","created_at":""},)";
  const std::string tail =
      R"({"id":"b","metadata":"","created_at":"","embedding":[-0.123456789,1.5e-05,2.25,0.33333334,-7.0,1e-7]}]})";
  for (std::size_t cut = 0; cut <= tail.size(); ++cut) {
    SCOPED_TRACE(tail.substr(0, cut));
    fs.put_file("store.snap", head + tail.substr(0, cut));
    fs.reset_faults();
    Result<StoreCore, StoreError> mapped = open();
    fs.fail_every(FsOp::kMapWhole, ENODEV);
    Result<StoreCore, StoreError> read = open();
    ASSERT_EQ(mapped.ok(), cut == tail.size());
    ASSERT_EQ(read.ok(), mapped.ok());
    if (read.ok()) {
      EXPECT_EQ(state_of(mapped.value()), state_of(read.value()));
      EXPECT_EQ(mapped.value().get("b")->embedding,
                (std::vector<float>{-0.123456789f, 1.5e-05f, 2.25f, 0.33333334f, -7.0f, 1e-7f}));
    } else {
      EXPECT_EQ(mapped.error().message, read.error().message);
    }
  }
}

// A snapshot of many megabytes is checked and decoded in pieces on the
// worker pool: its metadata of three-byte characters puts piece cuts inside
// characters unless they are moved, and its faults lie far apart.
struct LargeSnapshotCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> replaced;  // each first occurrence of the one by the other
  StoreErrorKind kind;
  const char* message;  // empty: the open succeeds
};

void PrintTo(const LargeSnapshotCase& c, std::ostream* os) { *os << c.name; }

class LargeSnapshot : public StoreOpenTest, public ::testing::WithParamInterface<LargeSnapshotCase> {};

TEST_P(LargeSnapshot, OpensLikeASmallOne) {
  std::vector<VectorEntry> entries;
  std::vector<const VectorEntry*> listed;
  for (int i = 0; i < 3000; ++i) entries.push_back({"e" + std::to_string(i), {float(i), 0.5f}, "", "t"});
  for (VectorEntry& entry : entries) {
    for (int k = 0; k < 2000; ++k) entry.metadata += "\xE2\x82\xAC";
    listed.push_back(&entry);
  }
  std::string text;
  encode_snapshot(2, listed, text);
  for (const auto& [from, to] : GetParam().replaced) text.replace(text.find(from), from.size(), to);
  fs.put_file("store.snap", text);
  // Decoded from the mapping, and read where the file system cannot map.
  for (const bool can_map : {true, false}) {
    SCOPED_TRACE(can_map ? "mapped" : "read");
    fs.reset_faults();
    if (!can_map) fs.fail_every(FsOp::kMapWhole, ENODEV);
    Result<StoreCore, StoreError> store = open();
    const auto& operations = fs.operation_log();
    EXPECT_EQ(std::count(operations.begin(), operations.end(), "read store.snap") > 0, !can_map);
    if (*GetParam().message != '\0') {
      EXPECT_TRUE(fails_with(store, GetParam().kind, GetParam().message));
      continue;
    }
    ASSERT_TRUE(succeeded(store));
    ASSERT_EQ(store.value().len(), entries.size());
    for (const VectorEntry& entry : entries) EXPECT_EQ(*store.value().get(entry.id), entry);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LargeSnapshot,
                         ::testing::Values(LargeSnapshotCase{"Whole", {}, StoreErrorKind::kIo, ""},
                                           LargeSnapshotCase{"NotUtf8Late",
                                                             {{"\"e2999\"", "\"e2999\xFF\""}},
                                                             StoreErrorKind::kIo,
                                                             "stream did not contain valid UTF-8"},
                                           LargeSnapshotCase{
                                               "JsonErrorsInTwoChunks",
                                               {{"\"e1500\"", "\"e1500\" 7"}, {"\"e2990\"", "\"e2990\"!"}},
                                               StoreErrorKind::kJson,
                                               "expected `,` or `}` at line 1 column 9104315"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace sorvid::testing
