// The log append path under failures: injected faults at every file
// operation, torn tails left by a crash, and real failing files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/store_core.h"
#include "formats/wal_record.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

// A mutation run on a store that holds entry a and whose log starts with
// `initial_log`; `logged` is the log after the mutation succeeded.
struct AppendScenario {
  const char* name;
  std::string initial_log;
  std::function<Result<void, StoreError>(StoreCore&)> mutate;
  std::string logged;
  // The log may also be left with a torn tail cut away (the repair is no
  // trace of the failed append); empty when the repair cuts nothing.
  std::string repaired_log;
  // What reopening the files gives: before the mutation, then after each of
  // its new lines (the last is the state after the mutation). Made when a
  // test runs: the large batch's states hold 80,000 entries in all, too many
  // to build for every process that only lists the tests.
  std::function<std::vector<StoreState>()> states;
};

void PrintTo(const AppendScenario& scenario, std::ostream* out) { *out << scenario.name; }

std::vector<VectorEntry> large_batch() {
  std::vector<VectorEntry> batch;
  for (int i = 0; i < 400; ++i) batch.push_back(make_entry("bulk-" + std::to_string(i), {1.0f, 2.0f, 3.0f}));
  return batch;
}

std::string large_batch_lines() {
  std::string lines;
  for (int i = 0; i < 400; ++i) {
    lines += R"({"op":"upsert","data":{"id":"bulk-)" + std::to_string(i) +
             R"(","embedding":[1.0,2.0,3.0],"metadata":"","created_at":""}})"
             "\n";
  }
  return lines;
}

const std::string kTornValid = kLineB.substr(0, kLineB.size() - 1);  // a whole record, no line feed
const std::string kTornPartial = R"({"op":"upsert","data":{"id":"z","embe)";

// The files' states through the large batch: entry a, then one more bulk
// entry with each line.
std::vector<StoreState> large_batch_states() {
  std::vector<VectorEntry> entries{entry_a()};
  std::vector<StoreState> states{holding(entries, 3)};
  for (const VectorEntry& entry : large_batch()) {
    entries.push_back(entry);
    states.push_back(holding(entries, 3));
  }
  return states;
}

std::vector<AppendScenario> append_scenarios() {
  auto upsert_b = [](StoreCore& s) { return s.upsert(entry_b()); };
  const StoreState only_a = holding({entry_a()}, 3);
  const StoreState a_and_b = holding({entry_a(), entry_b()}, 3);
  // The states of a scenario that are known before any test runs.
  auto fixed = [](std::vector<StoreState> states) { return [states] { return states; }; };
  return {
      {"UpsertIntoMissingLog", "", upsert_b, kLineB, "", fixed({holding({}, std::nullopt), holding({entry_b()}, 3)})},
      {"UpsertAfterWholeLines", kLineA, upsert_b, kLineA + kLineB, "", fixed({only_a, a_and_b})},
      {"UpsertAfterTornValidLine", kLineA + kTornValid, upsert_b, kLineA + kTornValid + "\n" + kLineB, "",
       fixed({a_and_b, a_and_b})},
      {"UpsertAfterTornPartialLine", kLineA + kTornPartial, upsert_b, kLineA + kLineB, kLineA,
       fixed({only_a, a_and_b})},
      {"LargeBatch", kLineA, [](StoreCore& s) { return s.upsert_batch(large_batch()); }, kLineA + large_batch_lines(),
       "", large_batch_states},
      {"BatchAfterTornPartialLine", kLineA + kTornPartial,
       [](StoreCore& s) { return s.upsert_batch({entry_b(), entry_b()}); }, kLineA + kLineB + kLineB, kLineA,
       fixed({only_a, a_and_b, a_and_b})},
      {"Delete", kLineA, [](StoreCore& s) { return s.remove("a"); }, kLineA + kDeleteA, "",
       fixed({only_a, holding({}, 3)})},
  };
}

class AppendUnderFaults : public ::testing::TestWithParam<AppendScenario> {
 protected:
  // A store holding entry a (added by an earlier, successful upsert) on a
  // file system whose log then holds exactly the scenario's initial bytes,
  // all of them durable. Every use of the log must hold its lock.
  std::unique_ptr<MemoryFileSystem> prepare(StoreCore*& store_out) {
    auto fs = std::make_unique<MemoryFileSystem>();
    store_ = std::make_unique<StoreCore>("store.snap", "store.wal", *fs);
    EXPECT_TRUE(succeeded(store_->upsert(entry_a())));
    if (GetParam().initial_log.empty()) {
      EXPECT_TRUE(fs->remove("store.wal").ok());
    } else {
      fs->put_file("store.wal", GetParam().initial_log);
    }
    fs->sync_everything();
    fs->guard_with_lock("store.wal", "store.wal");
    fs->reset_faults();
    store_out = store_.get();
    return fs;
  }

  std::uint64_t operations_of_clean_run(std::optional<std::size_t> write_limit = std::nullopt) {
    StoreCore* store = nullptr;
    auto fs = prepare(store);
    if (write_limit) fs->limit_writes(*write_limit);
    EXPECT_TRUE(succeeded(GetParam().mutate(*store)));
    EXPECT_EQ(fs->contents("store.wal"), GetParam().logged);
    return fs->operation_count();
  }

  static void expect_memory_as_before(const StoreCore& store) {
    EXPECT_EQ(store.len(), 1u);
    ASSERT_NE(store.get("a"), nullptr);
    EXPECT_EQ(*store.get("a"), entry_a());
    EXPECT_EQ(store.wal_pending(), 1u);
  }

  std::unique_ptr<StoreCore> store_;
};

struct InjectedError {
  int code;
  const char* message;
};

// Fails the k-th file operation of the mutation, for k = 1, 2, ... until the
// mutation no longer reaches operation k and succeeds untouched. With short
// writes (about 20 per append), a failure can come after part of a line
// reached the file.
TEST_P(AppendUnderFaults, FailureAtAnyOperationLeavesLogAndMemoryAsBefore) {
  const std::size_t short_write = std::max<std::size_t>(10, GetParam().logged.size() / 20);
  const std::vector<StoreState> states = GetParam().states();
  const StoreState& files_before = states.front();
  const StoreState& files_after = states.back();
  for (const InjectedError injected : {InjectedError{EIO, "Input/output error (os error 5)"},
                                       InjectedError{ENOSPC, "No space left on device (os error 28)"}}) {
    for (std::optional<std::size_t> write_limit :
         {std::optional<std::size_t>(), std::optional<std::size_t>(short_write)}) {
      const std::uint64_t operations = operations_of_clean_run(write_limit);
      for (std::uint64_t k = 1;; ++k) {
        SCOPED_TRACE("failing operation " + std::to_string(k) + " with " + injected.message +
                     (write_limit ? ", short writes" : ""));
        StoreCore* store = nullptr;
        auto fs = prepare(store);
        if (write_limit) fs->limit_writes(*write_limit);
        fs->fail_operation(k, injected.code);
        Result<void, StoreError> result = GetParam().mutate(*store);
        EXPECT_EQ(fs->open_handle_count(), 0);
        EXPECT_EQ(fs->lock_state("store.wal"), LockState::kUnlocked);
        EXPECT_EQ(fs->unguarded_uses(), std::vector<std::string>{});
        fs->reset_faults();
        Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *fs);
        ASSERT_TRUE(succeeded(reopened));
        if (result.ok()) {
          // The fault came after the last operation: nothing was disturbed.
          EXPECT_GT(k, operations);
          EXPECT_EQ(fs->contents("store.wal"), GetParam().logged);
          EXPECT_EQ(state_of(reopened.value()), files_after);
          break;
        }
        ASSERT_LE(k, operations);
        EXPECT_TRUE(fails_with(result, StoreErrorKind::kIo, injected.message));
        const std::string log = fs->contents("store.wal").value_or("");
        if (GetParam().repaired_log.empty()) {
          EXPECT_EQ(log, GetParam().initial_log);
        } else {
          EXPECT_TRUE(log == GetParam().initial_log || log == GetParam().repaired_log) << log;
        }
        expect_memory_as_before(*store);
        EXPECT_EQ(state_of(reopened.value()), files_before);
      }
    }
  }
}

// A crash at any point of the append (every operation from the k-th on
// fails, as when the process is gone): reopening finds the log as before
// plus a whole number of the new lines, never a part of one. A power cut at
// that point loses every byte that was not synced: the log as before.
TEST_P(AppendUnderFaults, CrashOrPowerCutAtAnyPointReopensToWholeLines) {
  const std::vector<StoreState> allowed = GetParam().states();
  const StoreState& durable_before = allowed.front();
  // Short writes (about 20 per append) let the crash come inside a line.
  const std::size_t short_write = std::max<std::size_t>(10, GetParam().logged.size() / 20);
  const std::uint64_t operations = operations_of_clean_run(short_write);
  for (std::uint64_t k = 0; k <= operations; ++k) {
    SCOPED_TRACE("crash after operation " + std::to_string(k));
    StoreCore* store = nullptr;
    auto fs = prepare(store);
    fs->limit_writes(short_write);
    fs->halt_after(k);
    (void)GetParam().mutate(*store);
    for (PowerCut model : {PowerCut::kLoseUnsynced, PowerCut::kKeepMetadata}) {
      std::unique_ptr<MemoryFileSystem> survivor = fs->after_power_cut(model);
      Result<StoreCore, StoreError> after_cut = StoreCore::open("store.snap", "store.wal", *survivor);
      ASSERT_TRUE(succeeded(after_cut));
      EXPECT_EQ(state_of(after_cut.value()), durable_before);
    }
    fs->reset_faults();
    Result<StoreCore, StoreError> reopened = StoreCore::open("store.snap", "store.wal", *fs);
    ASSERT_TRUE(succeeded(reopened));
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), state_of(reopened.value())), allowed.end())
        << ::testing::PrintToString(state_of(reopened.value()));
  }
}

TEST_P(AppendUnderFaults, InterruptedOpenReadOrWriteIsRepeated) {
  const std::uint64_t operations = operations_of_clean_run();
  for (std::uint64_t k = 1; k <= operations; ++k) {
    StoreCore* store = nullptr;
    auto fs = prepare(store);
    fs->halt_after(operations);  // only learns the operation names; nothing fails
    ASSERT_TRUE(succeeded(GetParam().mutate(*store)));
    const std::string op = fs->operation_log()[k - 1];
    if (op.rfind("open", 0) != 0 && op.rfind("read", 0) != 0 && op.rfind("write", 0) != 0) continue;

    SCOPED_TRACE("interrupting " + op);
    fs = prepare(store);
    fs->fail_operation(k, EINTR);
    ASSERT_TRUE(succeeded(GetParam().mutate(*store)));
    EXPECT_EQ(fs->contents("store.wal"), GetParam().logged);
  }
}

TEST_P(AppendUnderFaults, WritesThatAcceptNothingFailWithoutTrace) {
  StoreCore* store = nullptr;
  auto fs = prepare(store);
  fs->limit_writes(0);
  Result<void, StoreError> result = GetParam().mutate(*store);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "failed to write the buffered data");
  EXPECT_EQ(store->wal_pending(), 1u);
  const std::string log = fs->contents("store.wal").value_or("");
  EXPECT_TRUE(log == GetParam().initial_log || log == GetParam().repaired_log) << log;
}

TEST_P(AppendUnderFaults, ShortWritesStillLogEverything) {
  StoreCore* store = nullptr;
  auto fs = prepare(store);
  fs->limit_writes(7);
  ASSERT_TRUE(succeeded(GetParam().mutate(*store)));
  EXPECT_EQ(fs->contents("store.wal"), GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AppendUnderFaults, ::testing::ValuesIn(append_scenarios()),
                         [](const ::testing::TestParamInfo<AppendScenario>& param_info) {
                           return param_info.param.name;
                         });

TEST(AppendTest, ARecordOfTheBufferSizeOrMoreThatIsRefusedNamesTheDirectWrite) {
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  fs.limit_writes(0);
  EXPECT_TRUE(fails_with(store.upsert(make_entry("big", std::vector<float>(3000, 0.5f))), StoreErrorKind::kIo,
                         "failed to write whole buffer"));
  EXPECT_EQ(fs.contents("store.wal"), "");
  EXPECT_EQ(store.len(), 0u);
  EXPECT_EQ(store.dim(), std::nullopt);  // nothing was stored, so nothing fixed it
}

TEST(AppendTest, FailedDeleteKeepsTheEntry) {
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  fs.fail_every(FsOp::kWrite, ENOSPC);
  EXPECT_TRUE(fails_with(store.remove("a"), StoreErrorKind::kIo, "No space left on device (os error 28)"));
  EXPECT_EQ(store.len(), 2u);
  EXPECT_NE(store.get("a"), nullptr);
  EXPECT_EQ(store.wal_pending(), 2u);
  EXPECT_EQ(fs.contents("store.wal"), kLineA + kLineB);
}

TEST(AppendTest, WhenTheCutBackFailsTooTheNextAppendRemovesThePartialLine) {
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  fs.reset_faults();
  fs.limit_writes(10);
  fs.fail_every(FsOp::kTruncate, EIO);
  fs.fail_operation(6, ENOSPC);  // open, lock_exclusive, size, read_at, write (10 bytes), write
  EXPECT_TRUE(fails_with(store.upsert(entry_b()), StoreErrorKind::kIo, "No space left on device (os error 28)"));
  EXPECT_EQ(fs.contents("store.wal"), kLineA + kLineB.substr(0, 10));

  fs.reset_faults();
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  EXPECT_EQ(fs.contents("store.wal"), kLineA + kLineB);
}

// --- Torn tails: the state of the log's last line decides the repair.

struct TornTailCase {
  const char* name;
  std::string initial_log;
  std::string logged;  // after an upsert of entry b
};

class TornTail : public ::testing::TestWithParam<TornTailCase> {};

TEST_P(TornTail, IsRepairedBeforeTheFirstNewByte) {
  MemoryFileSystem fs;
  fs.put_file("store.wal", GetParam().initial_log);
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  EXPECT_EQ(fs.contents("store.wal"), GetParam().logged);
}

const std::string kLongGarbage(20000, 'g');
const std::string kLongRecord = R"({"op":"upsert","data":{"id":")" + std::string(20000, 'r') +
                                R"(","embedding":[1.0],"metadata":"","created_at":""}})";

INSTANTIATE_TEST_SUITE_P(
    Cases, TornTail,
    ::testing::Values(
        TornTailCase{"EmptyLog", "", kLineB}, TornTailCase{"WholeLines", kLineA, kLineA + kLineB},
        TornTailCase{"OnlyLineDecodesWithoutLineFeed", kTornValid, kTornValid + "\n" + kLineB},
        TornTailCase{"LastLineDecodesWithoutLineFeed", kLineA + kTornValid, kLineA + kTornValid + "\n" + kLineB},
        TornTailCase{"DeleteWithoutLineFeed", kDeleteA.substr(0, kDeleteA.size() - 1), kDeleteA + kLineB},
        TornTailCase{"RecordThenCarriageReturn", kTornValid + "\r", kTornValid + "\r\n" + kLineB},
        TornTailCase{"CutInsideARecord", kLineA + kTornPartial, kLineA + kLineB},
        TornTailCase{"OnlyACutRecord", kTornPartial, kLineB},
        TornTailCase{"CutInsideACharacter", kLineA + "{\"op\":\"upsert\",\"data\":{\"id\":\"\xC3", kLineA + kLineB},
        TornTailCase{"BlankTail", kLineA + "   ", kLineA + kLineB},
        TornTailCase{"LongCutRecord", kLineA + kLongRecord.substr(0, 15000), kLineA + kLineB},
        TornTailCase{"LongRecordWithoutLineFeed", kLineA + kLongRecord, kLineA + kLongRecord + "\n" + kLineB},
        TornTailCase{"EmptyLinesThenCut", kLineA + "\n\n" + kTornPartial, kLineA + "\n\n" + kLineB}),
    [](const ::testing::TestParamInfo<TornTailCase>& param_info) { return param_info.param.name; });

// --- A corrupt last line without line feed is no torn tail: opening the store
// fails with its error, and an append fails alike before its first byte,
// leaving every byte of the log in place.

struct CorruptTailCase {
  const char* name;
  std::string log;
  std::string error;
  StoreErrorKind kind = StoreErrorKind::kJson;
};

void PrintTo(const CorruptTailCase& corrupt_case, std::ostream* out) { *out << corrupt_case.name; }

// 1,000 upserts whose lines are separated by carriage returns alone: one
// line of some 95 KB, which must not be taken for a torn tail and cut away.
std::string records_separated_by_carriage_returns() {
  std::string log;
  for (int i = 0; i < 1000; ++i) {
    if (i > 0) log += '\r';
    encode_upsert_record(make_entry("e" + std::to_string(i), {0.5f, -1.25f, 3.0f}), log);
  }
  return log;
}

class CorruptTail : public ::testing::TestWithParam<CorruptTailCase> {};

TEST_P(CorruptTail, FailsTheOpenAndTheAppendAndIsKept) {
  MemoryFileSystem fs;
  fs.put_file("store.wal", GetParam().log);
  EXPECT_TRUE(fails_with(StoreCore::open("store.snap", "store.wal", fs), GetParam().kind, GetParam().error));
  StoreCore store("store.snap", "store.wal", fs);
  EXPECT_TRUE(fails_with(store.upsert(entry_b()), GetParam().kind, GetParam().error));
  EXPECT_EQ(fs.contents("store.wal"), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorruptTail,
    ::testing::Values(CorruptTailCase{"RecordsSeparatedByCarriageReturns", records_separated_by_carriage_returns(),
                                      "trailing characters at line 1 column 94"},
                      CorruptTailCase{"InvalidUtf8WholeRecord",
                                      kLineA + "{\"op\":\"delete\",\"data\":{\"id\":\"\xFF\"}}", kInvalidUtf8Text,
                                      StoreErrorKind::kIo},
                      CorruptTailCase{"LongGarbageTail", kLineA + kLongGarbage, "expected value at line 1 column 1"},
                      CorruptTailCase{"LongGarbageOnly", kLongGarbage, "expected value at line 1 column 1"}),
    [](const ::testing::TestParamInfo<CorruptTailCase>& param_info) { return param_info.param.name; });

TEST(TornTailTest, DeleteRepairsTheTailToo) {
  MemoryFileSystem fs;
  StoreCore store("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(store.upsert(entry_a())));
  fs.put_file("store.wal", kLineA + kTornPartial);
  ASSERT_TRUE(succeeded(store.remove("a")));
  EXPECT_EQ(fs.contents("store.wal"), kLineA + kDeleteA);
}

// --- The real file system.

class PosixAppendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvid-core-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const char* name) const { return (std::filesystem::path(dir_) / name).string(); }
  static std::string read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
};

TEST_F(PosixAppendTest, AppendsAndRepairsOnDisk) {
  const std::string wal = path("store.wal");
  std::ofstream(wal, std::ios::binary) << kLineA << kTornPartial;
  StoreCore store(path("store.snap"), wal);
  ASSERT_TRUE(succeeded(store.upsert(entry_b())));
  ASSERT_TRUE(succeeded(store.upsert_batch({entry_a()})));
  EXPECT_EQ(read_file(wal), kLineA + kLineB + kLineA);
  EXPECT_FALSE(std::filesystem::exists(path("store.snap")));
}

TEST_F(PosixAppendTest, DirectoryAsLogFailsToOpen) {
  StoreCore store(path("store.snap"), dir_);
  EXPECT_TRUE(fails_with(store.upsert(entry_a()), StoreErrorKind::kIo, "Is a directory (os error 21)"));
  EXPECT_EQ(store.len(), 0u);
  EXPECT_EQ(store.wal_pending(), 0u);
  EXPECT_EQ(store.dim(), std::nullopt);
}

TEST_F(PosixAppendTest, MissingDirectoryFailsToOpen) {
  StoreCore store(path("store.snap"), path("no/such/store.wal"));
  EXPECT_TRUE(fails_with(store.upsert_batch({}), StoreErrorKind::kIo, "No such file or directory (os error 2)"));
  EXPECT_FALSE(store.dirty());
}

TEST(PosixDeviceTest, DeviceAsLogIsRefused) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  StoreCore store("store.snap", "/dev/full");
  EXPECT_TRUE(fails_with(store.upsert(entry_a()), StoreErrorKind::kIo, "not a regular file: /dev/full"));
  EXPECT_TRUE(
      fails_with(store.upsert_batch({entry_a(), entry_b()}), StoreErrorKind::kIo, "not a regular file: /dev/full"));
  EXPECT_EQ(store.len(), 0u);
  EXPECT_EQ(store.wal_pending(), 0u);
}

}  // namespace
}  // namespace sorvid::testing
