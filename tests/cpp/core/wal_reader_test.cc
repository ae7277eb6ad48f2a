// Reading the log: which lines are records, blank or a torn tail, where the
// valid prefix ends, and that the appender's tail check judges alike.
#include "core/wal_reader.h"

#include <gtest/gtest.h>

#include <variant>

#include "memory_file_system.h"
#include "store_test_support.h"

namespace sorvid {

// How a failed expectation shows a tail (found by argument-dependent lookup,
// so it lives in the namespace of LogTail).
void PrintTo(const LogTail& tail, std::ostream* out) {
  *out << "{valid_end " << tail.valid_end << (tail.needs_line_feed ? ", needs line feed}" : "}");
}

namespace testing {
namespace {

File open_log(MemoryFileSystem& fs, const std::string& contents) {
  fs.put_file("store.wal", contents);
  Result<File, StoreError> file = File::open(fs, "store.wal", OpenMode::kRead);
  EXPECT_TRUE(succeeded(file));
  return std::move(file).value();
}

// "+id" for an upsert, "-id" for a deletion.
std::string summary(const WalRecord& record) {
  if (const auto* deletion = std::get_if<DeleteRecord>(&record)) return "-" + deletion->id;
  return "+" + std::get<UpsertRecord>(record).entry.id;
}

const std::string kRecordA = kLineA.substr(0, kLineA.size() - 1);
const std::string kRecordDeleteA = kDeleteA.substr(0, kDeleteA.size() - 1);
const std::string kCutRecord = R"({"op":"upsert","data":{"id":"z")";
const std::string kLongGarbage(20000, 'g');
const std::string kLongId(20000, 'r');
const std::string kLongRecord =
    R"({"op":"upsert","data":{"id":")" + kLongId + R"(","embedding":[1.0],"metadata":"","created_at":""}})";

struct ReadCase {
  const char* name;
  std::string log;
  std::vector<std::string> records;
  LogTail tail;
};

void PrintTo(const ReadCase& read_case, std::ostream* out) { *out << read_case.name; }

class WalRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(WalRead, HandsOutTheRecordsAndFindsTheTail) {
  MemoryFileSystem fs;
  WalReader reader(open_log(fs, GetParam().log));
  std::vector<std::string> records;
  for (;;) {
    Result<bool, StoreError> more = reader.next();
    ASSERT_TRUE(succeeded(more));
    if (!more.value()) break;
    records.push_back(summary(reader.record()));
  }
  EXPECT_EQ(records, GetParam().records);
  EXPECT_EQ(reader.record_count(), GetParam().records.size());
  EXPECT_EQ(reader.tail(), GetParam().tail);
}

// The appender reads only the last line; it must come to the same tail.
TEST_P(WalRead, TailFromTheLastLineAloneIsTheSame) {
  MemoryFileSystem fs;
  File log = open_log(fs, GetParam().log);
  Result<LogTail, StoreError> tail = WalReader::read_tail(log, GetParam().log.size());
  ASSERT_TRUE(succeeded(tail));
  EXPECT_EQ(tail.value(), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalRead,
    ::testing::Values(ReadCase{"Empty", "", {}, {0, false}},
                      ReadCase{"WholeLines",
                               kLineA + kDeleteA + kLineB,
                               {"+a", "-a", "+b"},
                               {kLineA.size() + kDeleteA.size() + kLineB.size()}},
                      ReadCase{"BlankLinesAreSkippedButValid",
                               "\n \t\n" + kLineA + "\xC2\xA0\xE3\x80\x80\n\n",
                               {"+a"},
                               {2 + 3 + kLineA.size() + 5 + 1}},
                      ReadCase{"CarriageReturnLineFeed",
                               kRecordA + "\r\n" + kRecordDeleteA + "\r\r\n",
                               {"+a", "-a"},
                               {kLineA.size() + 1 + kDeleteA.size() + 2}},
                      ReadCase{"LastRecordWithoutLineFeed",
                               kLineA + kRecordDeleteA,
                               {"+a", "-a"},
                               {kLineA.size() + kRecordDeleteA.size(), true}},
                      ReadCase{"LastRecordThenCarriageReturn", kRecordDeleteA + "\r", {"-a"}, {kDeleteA.size(), true}},
                      ReadCase{"LongLastRecordWithoutLineFeed",
                               kLineA + kLongRecord,
                               {"+a", "+" + kLongId},
                               {kLineA.size() + kLongRecord.size(), true}},
                      // Torn tails: dropped, and the valid prefix ends before them.
                      ReadCase{"TornCutRecord", kLineA + kCutRecord, {"+a"}, {kLineA.size()}},
                      ReadCase{"TornOnlyLine", kCutRecord, {}, {0}}, ReadCase{"TornOpeningBraceOnly", "{", {}, {0}},
                      ReadCase{"TornCutInsideACharacter",
                               kLineA + "{\"op\":\"delete\",\"data\":{\"id\":\"\xE2\x82",
                               {"+a"},
                               {kLineA.size()}},
                      ReadCase{"TornWholeRecordNotUtf8",
                               kLineA + "{\"op\":\"delete\",\"data\":{\"id\":\"\xFF\"}}",
                               {"+a"},
                               {kLineA.size()}},
                      ReadCase{"TornNotUtf8", kLineB + "\xFF\xFE", {"+b"}, {kLineB.size()}},
                      ReadCase{"TornBlank", kLineA + " \t", {"+a"}, {kLineA.size()}},
                      ReadCase{"TornCarriageReturnOnly", kLineA + "\r", {"+a"}, {kLineA.size()}},
                      ReadCase{"TornAfterBlankLines", kLineA + "\n\n" + kCutRecord, {"+a"}, {kLineA.size() + 2}},
                      ReadCase{"TornLongerThanTheReadBuffer", kLineA + kLongGarbage, {"+a"}, {kLineA.size()}},
                      // A carriage return alone separates nothing: two records on one line.
                      ReadCase{"TornRecordsSeparatedByCarriageReturnOnly",
                               kLineA + kRecordA + "\r" + kRecordDeleteA,
                               {"+a"},
                               {kLineA.size()}}),
    [](const ::testing::TestParamInfo<ReadCase>& param_info) { return param_info.param.name; });

// --- Corruption: a bad line that has its line feed fails the read, after
// the records before it.

struct CorruptCase {
  const char* name;
  std::string log;
  std::vector<std::string> records_before;
  StoreErrorKind kind;
  const char* message;
};

void PrintTo(const CorruptCase& corrupt_case, std::ostream* out) { *out << corrupt_case.name; }

class CorruptWal : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptWal, FailsAtTheBadLine) {
  MemoryFileSystem fs;
  WalReader reader(open_log(fs, GetParam().log));
  std::vector<std::string> records;
  Result<bool, StoreError> more = reader.next();
  for (; more.ok() && more.value(); more = reader.next()) records.push_back(summary(reader.record()));
  EXPECT_TRUE(fails_with(more, GetParam().kind, GetParam().message));
  EXPECT_EQ(records, GetParam().records_before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorruptWal,
    ::testing::Values(CorruptCase{"CutRecordInTheMiddle",
                                  kLineA + kCutRecord + "\n" + kLineB,
                                  {"+a"},
                                  StoreErrorKind::kJson,
                                  "EOF while parsing an object at line 1 column 31"},
                      CorruptCase{"BadLineBeforeATornTail",
                                  kLineA + "[]\n" + kCutRecord,
                                  {"+a"},
                                  StoreErrorKind::kJson,
                                  "invalid length 0, expected adjacently tagged enum WalRecord at line 1 column 2"},
                      CorruptCase{"RecordsSeparatedByCarriageReturnOnly",
                                  kRecordA + "\r" + kLineB,
                                  {},
                                  StoreErrorKind::kJson,
                                  "trailing characters at line 1 column 92"}),
    [](const ::testing::TestParamInfo<CorruptCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace testing
}  // namespace sorvid
