// Splitting the log into lines, and which lines count as blank.
#include "core/line_reader.h"

#include <gtest/gtest.h>

#include "core/white_space.h"
#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid::testing {
namespace {

struct Line {
  std::string text;
  bool terminated;
  bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) {
  *out << ::testing::PrintToString(line.text) << (line.terminated ? " terminated" : " unterminated");
}

std::vector<Line> split(const std::string& contents) {
  MemoryFileSystem fs;
  fs.put_file("f", contents);
  Result<File, StoreError> file = File::open(fs, "f", OpenMode::kRead);
  EXPECT_TRUE(file.ok());
  LineReader reader(std::move(file).value());
  std::vector<Line> lines;
  for (;;) {
    Result<bool, StoreError> more = reader.next();
    EXPECT_TRUE(succeeded(more));
    if (!more.ok() || !more.value()) return lines;
    lines.push_back({reader.line(), reader.terminated()});
  }
}

struct SplitCase {
  const char* name;
  std::string contents;
  std::vector<Line> lines;
};

class LineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitting, GivesEachLine) { EXPECT_EQ(split(GetParam().contents), GetParam().lines); }

const std::string k8191(8191, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, LineSplitting,
    ::testing::Values(
        SplitCase{"Empty", "", {}}, SplitCase{"OneTerminated", "a\n", {{"a", true}}},
        SplitCase{"LastUnterminated", "a\nb", {{"a", true}, {"b", false}}},
        SplitCase{"EmptyLines", "\n\n", {{"", true}, {"", true}}},
        SplitCase{"OneCarriageReturnRemoved", "a\r\r\nb\r\n", {{"a\r", true}, {"b", true}}},
        SplitCase{"CarriageReturnWithoutLineFeedStays", "a\rb\r", {{"a\rb\r", false}}},
        SplitCase{"CarriageReturnAtBufferEnd", k8191 + "\r\nz\n", {{k8191, true}, {"z", true}}},
        SplitCase{"LineFeedAtBufferEnd", k8191 + "\ny", {{k8191, true}, {"y", false}}},
        SplitCase{"LineAcrossSeveralBuffers", std::string(20000, 'q') + "\n", {{std::string(20000, 'q'), true}}}),
    [](const ::testing::TestParamInfo<SplitCase>& param_info) { return param_info.param.name; });

TEST(LineReaderTest, ReadFailureIsReported) {
  MemoryFileSystem fs;
  fs.put_file("f", "a\nb\n");
  Result<File, StoreError> file = File::open(fs, "f", OpenMode::kRead);
  ASSERT_TRUE(file.ok());
  LineReader reader(std::move(file).value());
  fs.fail_every(FsOp::kRead, EIO);
  EXPECT_TRUE(fails_with(reader.next(), StoreErrorKind::kIo, "Input/output error (os error 5)"));
}

struct BlankCase {
  const char* text;
  bool blank;
};

class BlankLine : public ::testing::TestWithParam<BlankCase> {};

TEST_P(BlankLine, FollowsUnicodeWhiteSpace) {
  EXPECT_EQ(is_blank_line(GetParam().text), GetParam().blank) << ::testing::PrintToString(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Characters, BlankLine,
                         ::testing::Values(BlankCase{"", true}, BlankCase{" \t\v\f\r", true},
                                           BlankCase{"\xC2\x85", true}, BlankCase{"\xC2\xA0", true},
                                           BlankCase{"\xE1\x9A\x80", true}, BlankCase{"\xE2\x80\x80", true},
                                           BlankCase{"\xE2\x80\x8A", true}, BlankCase{"\xE2\x80\xA8\xE2\x80\xA9", true},
                                           BlankCase{"\xE2\x80\xAF", true}, BlankCase{"\xE2\x81\x9F", true},
                                           BlankCase{"\xE3\x80\x80", true},
                                           BlankCase{"\x1C", false},  // information separators are not White_Space
                                           BlankCase{"\xE2\x80\x8B", false},  // U+200B zero width space
                                           BlankCase{"\xE1\xA0\x8E", false},  // U+180E Mongolian vowel separator
                                           BlankCase{"\xEF\xBB\xBF", false},  // U+FEFF byte order mark
                                           BlankCase{"  x  ", false}, BlankCase{"\xC2\xA0{}", false}));

}  // namespace
}  // namespace sorvid::testing
