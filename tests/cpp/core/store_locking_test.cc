// Two stores on the same files: the log's advisory lock keeps appends from
// interleaving inside a line, keeps an open from seeing half an append, and
// keeps it from seeing a compaction halfway.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/posix_file_system.h"
#include "core/store_core.h"
#include "formats/wal_record.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

constexpr const char* kWouldBlock = "Resource temporarily unavailable (os error 11)";

// --- The in-memory model, where a lock that would have to wait fails.

class LockedByAnotherHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(succeeded(store.upsert(entry_a())));
    ASSERT_TRUE(succeeded(store.upsert(entry_b())));
    before = fs.contents("store.wal").value();
  }

  // Another store's handle on the log, holding the given lock.
  FileHandle hold(FsOp kind) {
    Result<FileHandle, OsError> handle = fs.open("store.wal", OpenMode::kRead);
    EXPECT_TRUE(handle.ok());
    EXPECT_TRUE(
        (kind == FsOp::kLockExclusive ? fs.lock_exclusive(handle.value()) : fs.lock_shared(handle.value())).ok());
    return handle.value();
  }

  MemoryFileSystem fs;
  StoreCore store{"store.snap", "store.wal", fs};
  std::string before;
};

struct LockedCall {
  const char* name;
  std::function<Result<void, StoreError>(StoreCore&)> call;
};

void PrintTo(const LockedCall& call, std::ostream* out) { *out << call.name; }

class MutationWaitsForTheLock : public LockedByAnotherHandle, public ::testing::WithParamInterface<LockedCall> {};

// Every writing call waits for any other lock, shared or exclusive; here the
// wait shows as the model's refusal, with nothing written and memory as before.
TEST_P(MutationWaitsForTheLock, WritesNothingWhileAnotherHandleHoldsAnyLock) {
  for (FsOp held : {FsOp::kLockShared, FsOp::kLockExclusive}) {
    SCOPED_TRACE(held == FsOp::kLockShared ? "shared" : "exclusive");
    const FileHandle other = hold(held);
    EXPECT_TRUE(fails_with(GetParam().call(store), StoreErrorKind::kIo, kWouldBlock));
    EXPECT_EQ(fs.contents("store.wal"), before);
    EXPECT_FALSE(fs.exists("store.snap"));
    EXPECT_EQ(store.len(), 2u);
    EXPECT_EQ(store.wal_pending(), 2u);
    fs.close(other);
  }
  ASSERT_TRUE(succeeded(GetParam().call(store)));
  EXPECT_EQ(fs.lock_state("store.wal"), LockState::kUnlocked);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MutationWaitsForTheLock,
    ::testing::Values(LockedCall{"Upsert", [](StoreCore& s) { return s.upsert(make_entry("c", {1, 2, 3})); }},
                      LockedCall{"Batch", [](StoreCore& s) { return s.upsert_batch({make_entry("c", {1, 2, 3})}); }},
                      LockedCall{"EmptyBatch", [](StoreCore& s) { return s.upsert_batch({}); }},
                      LockedCall{"Delete", [](StoreCore& s) { return s.remove("a"); }},
                      LockedCall{"Compact", [](StoreCore& s) { return s.compact(); }}),
    [](const ::testing::TestParamInfo<LockedCall>& param_info) { return param_info.param.name; });

TEST_F(LockedByAnotherHandle, OpenSharesTheLogWithReadersButWaitsForAWriter) {
  const FileHandle reader = hold(FsOp::kLockShared);
  Result<StoreCore, StoreError> shared = StoreCore::open("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(shared));
  EXPECT_EQ(shared.value().len(), 2u);
  fs.close(reader);

  const FileHandle writer = hold(FsOp::kLockExclusive);
  EXPECT_TRUE(fails_with(StoreCore::open("store.snap", "store.wal", fs), StoreErrorKind::kIo, kWouldBlock));
  fs.close(writer);
}

TEST_F(LockedByAnotherHandle, OpenReadsBothFilesUnderTheLogsSharedLock) {
  ASSERT_TRUE(succeeded(store.compact()));
  ASSERT_TRUE(succeeded(store.upsert(make_entry("c", {1, 2, 3}))));
  fs.guard_with_lock("store.snap", "store.wal");
  fs.guard_with_lock("store.wal", "store.wal");
  Result<StoreCore, StoreError> opened = StoreCore::open("store.snap", "store.wal", fs);
  ASSERT_TRUE(succeeded(opened));
  EXPECT_EQ(opened.value().len(), 3u);
  EXPECT_EQ(fs.unguarded_uses(), std::vector<std::string>{});
  EXPECT_EQ(fs.lock_state("store.wal"), LockState::kUnlocked);
}

// --- The real file system.

class PosixLockingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvid-lock-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    snap_ = (dir_ / "store.snap").string();
    wal_ = (dir_ / "store.wal").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `body` in a child process; its result is the child's exit status.
  static pid_t spawn(const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return pid;
  }
  static bool exited_cleanly(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string read_log() const {
    std::ifstream in(wal_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
  std::string snap_;
  std::string wal_;
};

// One batch of `size` entries of 384 values whose text is long (about 4 KB
// a line), so that one batch spans many writes of the 8192-byte buffer.
std::vector<VectorEntry> batch_of(const std::string& writer, int batch, int size) {
  std::vector<VectorEntry> entries;
  entries.reserve(size);
  for (int k = 0; k < size; ++k) {
    std::vector<float> values(384);
    for (int i = 0; i < 384; ++i) values[i] = 0.1234567f + static_cast<float>(batch * 131 + k * 17 + i) * 1.0e-6f;
    entries.push_back(make_entry(writer + "-" + std::to_string(batch) + "-" + std::to_string(k), std::move(values)));
  }
  return entries;
}

TEST_F(PosixLockingTest, LockBelongsToTheHandleAndOtherClosesKeepIt) {
  PosixFileSystem fs;
  Result<FileHandle, OsError> first = fs.open(wal_, OpenMode::kReadAppend);
  Result<FileHandle, OsError> second = fs.open(wal_, OpenMode::kRead);
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_TRUE(fs.lock_exclusive(first.value()).ok());
  // A second handle in the same process is excluded too.
  EXPECT_EQ(flock(second.value(), LOCK_SH | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  // Closing some other descriptor of the file (which drops an fcntl record
  // lock) leaves the lock held.
  Result<FileHandle, OsError> third = fs.open(wal_, OpenMode::kRead);
  ASSERT_TRUE(third.ok());
  fs.close(third.value());
  EXPECT_EQ(flock(second.value(), LOCK_SH | LOCK_NB), -1);
  fs.close(first.value());
  EXPECT_EQ(flock(second.value(), LOCK_SH | LOCK_NB), 0);
  fs.close(second.value());
}

// Two processes each append 200 batches of 50 entries: the log is whole
// lines only, and every entry of both is there.
TEST_F(PosixLockingTest, TwoWritersNeverInterleaveInsideALine) {
  constexpr int kBatches = 200;
  constexpr int kBatchSize = 50;
  auto writer = [this](const std::string& name) {
    return spawn([this, name] {
      StoreCore store(snap_, wal_);
      for (int batch = 0; batch < kBatches; ++batch) {
        if (!store.upsert_batch(batch_of(name, batch, kBatchSize)).ok()) return false;
      }
      return true;
    });
  };
  const pid_t first = writer("p");
  const pid_t second = writer("q");
  ASSERT_TRUE(exited_cleanly(first));
  ASSERT_TRUE(exited_cleanly(second));

  const std::string log = read_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), '\n');
  std::size_t lines = 0;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = log.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    ASSERT_TRUE(decode_record(std::string_view(log).substr(start, end - start)).ok()) << "line " << lines + 1;
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 2u * kBatches * kBatchSize);

  Result<StoreCore, StoreError> reopened = StoreCore::open(snap_, wal_);
  ASSERT_TRUE(succeeded(reopened));
  EXPECT_EQ(reopened.value().len(), 2u * kBatches * kBatchSize);
  for (const char* name : {"p", "q"}) {
    const std::vector<VectorEntry> last = batch_of(name, kBatches - 1, kBatchSize);
    ASSERT_NE(reopened.value().get(last.back().id), nullptr);
    EXPECT_EQ(*reopened.value().get(last.back().id), last.back());
  }
}

// While one process appends batches (and, in the second run, compacts after
// every few), stores opened by another process see whole batches only and
// never fewer entries than an earlier open saw: never half an append, and
// never a new snapshot without the log lines it does not hold yet.
TEST_F(PosixLockingTest, OpensDuringAppendsAndCompactionsSeeWholeStates) {
  constexpr int kBatches = 60;
  constexpr int kBatchSize = 10;
  for (const int compact_every : {0, 4}) {
    SCOPED_TRACE(compact_every ? "with compactions" : "appends only");
    std::filesystem::remove(snap_);
    std::filesystem::remove(wal_);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = spawn([&] {
      close(ready[0]);
      StoreCore store(snap_, wal_);
      bool ok = store.upsert_batch(batch_of("w", 0, kBatchSize)).ok();
      ok = ok && write(ready[1], "x", 1) == 1;
      close(ready[1]);
      for (int batch = 1; ok && batch < kBatches; ++batch) {
        ok = store.upsert_batch(batch_of("w", batch, kBatchSize)).ok();
        if (ok && compact_every && batch % compact_every == 0) ok = store.compact().ok();
      }
      return ok;
    });
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);  // the log exists now
    close(ready[0]);

    std::uint64_t seen = 0;
    int opens = 0;
    int status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
      Result<StoreCore, StoreError> opened = StoreCore::open(snap_, wal_);
      ASSERT_TRUE(succeeded(opened));
      const std::uint64_t count = opened.value().len();
      EXPECT_EQ(count % kBatchSize, 0u) << "part of a batch after " << seen;
      EXPECT_GE(count, seen);
      seen = count;
      ++opens;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(opens, 0);
    Result<StoreCore, StoreError> last = StoreCore::open(snap_, wal_);
    ASSERT_TRUE(succeeded(last));
    EXPECT_EQ(last.value().len(), std::uint64_t{kBatches} * kBatchSize);
  }
}

}  // namespace
}  // namespace sorvid::testing
