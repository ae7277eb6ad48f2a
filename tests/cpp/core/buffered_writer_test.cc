#include "core/buffered_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

std::vector<std::string> writes_in(const std::vector<std::string>& log) {
  std::vector<std::string> writes;
  for (const std::string& line : log) {
    if (line.rfind("write ", 0) == 0) writes.push_back(line);
  }
  return writes;
}

class BufferedWriterTest : public ::testing::Test {
 protected:
  BufferedWriter open_writer() {
    Result<File, StoreError> file = File::open(fs, "f", OpenMode::kReadAppend);
    EXPECT_TRUE(file.ok());
    fs.reset_faults();  // the log starts after the open
    return BufferedWriter(std::move(file).value());
  }
  MemoryFileSystem fs;
};

TEST_F(BufferedWriterTest, CollectsPiecesThatFitAndWritesOutWhenTheNextDoesNot) {
  BufferedWriter writer = open_writer();
  ASSERT_TRUE(succeeded(writer.write(std::string(8000, 'a'))));
  ASSERT_TRUE(succeeded(writer.write(std::string(192, 'b'))));  // fills the buffer exactly
  EXPECT_TRUE(writes_in(fs.operation_log()).empty());
  ASSERT_TRUE(succeeded(writer.write("c")));
  ASSERT_TRUE(succeeded(writer.write(std::string(9000, 'd'))));  // out of the buffer, then directly
  ASSERT_TRUE(succeeded(writer.flush()));
  EXPECT_EQ(writes_in(fs.operation_log()), (std::vector<std::string>{"write f 8192", "write f 1", "write f 9000"}));
  EXPECT_EQ(fs.contents("f"), std::string(8000, 'a') + std::string(192, 'b') + "c" + std::string(9000, 'd'));
}

TEST_F(BufferedWriterTest, PieceOfExactlyTheCapacityGoesDirectly) {
  BufferedWriter writer = open_writer();
  ASSERT_TRUE(succeeded(writer.write(std::string(8192, 'x'))));
  EXPECT_EQ(writes_in(fs.operation_log()), std::vector<std::string>{"write f 8192"});
  ASSERT_TRUE(succeeded(writer.flush()));
  EXPECT_EQ(writes_in(fs.operation_log()).size(), 1u);  // nothing was buffered
}

TEST_F(BufferedWriterTest, ShortAndInterruptedWritesAreRepeated) {
  BufferedWriter writer = open_writer();
  fs.limit_writes(5);
  fs.fail_operation(2, EINTR);
  ASSERT_TRUE(succeeded(writer.write("0123456789abc")));
  ASSERT_TRUE(succeeded(writer.write(std::string(9000, 'z'))));
  ASSERT_TRUE(succeeded(writer.flush()));
  EXPECT_EQ(fs.contents("f"), "0123456789abc" + std::string(9000, 'z'));
}

struct ZeroWriteCase {
  std::size_t piece_size;
  const char* message;
};

class BufferedWriterZeroWrite : public BufferedWriterTest, public ::testing::WithParamInterface<ZeroWriteCase> {};

TEST_P(BufferedWriterZeroWrite, NamesTheKindOfWrite) {
  BufferedWriter writer = open_writer();
  fs.limit_writes(0);
  Result<void, StoreError> written = writer.write(std::string(GetParam().piece_size, 'q'));
  if (written) written = writer.flush();
  EXPECT_TRUE(fails_with(written, StoreErrorKind::kIo, GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferedWriterZeroWrite,
                         ::testing::Values(ZeroWriteCase{10, "failed to write the buffered data"},
                                           ZeroWriteCase{8191, "failed to write the buffered data"},
                                           ZeroWriteCase{8192, "failed to write whole buffer"},
                                           ZeroWriteCase{20000, "failed to write whole buffer"}));

}  // namespace
}  // namespace sorvid::testing
