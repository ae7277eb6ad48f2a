// Mapping whole files of the real file system, and opening a store from a
// mapped snapshot.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "core/file.h"
#include "core/posix_file_system.h"
#include "core/store_core.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

class PosixMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvid-map-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string put(const std::string& name, const std::string& bytes) const {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::filesystem::path dir_;
};

// A mapping shows the bytes the file had, however long (none included), and
// keeps showing them after another file is renamed over its name, as a
// compaction replaces the snapshot.
TEST_F(PosixMappingTest, ShowsTheFileAsMappedAfterAReplacementByRename) {
  for (const std::string& bytes : {std::string(), std::string("x"), std::string(5 * 4096 + 7, 'q')}) {
    const std::string path = put("file", bytes);
    Result<File, StoreError> file = File::open(default_file_system(), path, OpenMode::kRead);
    ASSERT_TRUE(succeeded(file));
    Result<std::unique_ptr<FileMapping>, OsError> mapping = file.value().map_whole();
    ASSERT_TRUE(mapping.ok());
    std::filesystem::rename(put("replacement", "other bytes"), path);
    EXPECT_EQ(mapping.value()->bytes(), bytes);
  }
}

TEST_F(PosixMappingTest, DirectoryCannotBeMapped) {
  Result<File, StoreError> dir = File::open(default_file_system(), dir_.string(), OpenMode::kRead);
  ASSERT_TRUE(succeeded(dir));
  Result<std::unique_ptr<FileMapping>, OsError> mapping = dir.value().map_whole();
  ASSERT_FALSE(mapping.ok());
  EXPECT_EQ(mapping.error().code, ENODEV);
}

// A large snapshot opened from a real mapping gives the store that reading
// it gives.
TEST_F(PosixMappingTest, MappedSnapshotOpensAsARead) {
  std::string text = R"({"dim":2,"entries":[)";
  for (int i = 0; i < 40000; ++i) {
    text += R"({"id":"e)" + std::to_string(i) + R"(","embedding":[)" + std::to_string(i) + R"(.25,-0.0123456789],)" +
            R"("metadata":"m","created_at":"t"},)";
  }
  text.back() = ']';
  text += '}';
  ASSERT_GT(text.size(), std::size_t{1} << 20);
  const std::string path = put("store.snap", text);
  MemoryFileSystem memory;
  memory.put_file("store.snap", text);
  memory.fail_every(FsOp::kMapWhole, ENODEV);
  Result<StoreCore, StoreError> mapped = StoreCore::open(path, (dir_ / "store.wal").string(), default_file_system());
  Result<StoreCore, StoreError> read = StoreCore::open("store.snap", "store.wal", memory);
  ASSERT_TRUE(succeeded(mapped));
  ASSERT_TRUE(succeeded(read));
  EXPECT_EQ(mapped.value().len(), 40000u);
  EXPECT_EQ(state_of(mapped.value()), state_of(read.value()));
}

}  // namespace
}  // namespace sorvid::testing
