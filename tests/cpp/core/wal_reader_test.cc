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
                      ReadCase{"TornBlank", kLineA + " \t", {"+a"}, {kLineA.size()}},
                      ReadCase{"TornCarriageReturnOnly", kLineA + "\r", {"+a"}, {kLineA.size()}},
                      ReadCase{"TornAfterBlankLines", kLineA + "\n\n" + kCutRecord, {"+a"}, {kLineA.size() + 2}},
                      ReadCase{"TornLongerThanTheReadBuffer",
                               kLineA + kLongRecord.substr(0, kLongRecord.size() - 60),
                               {"+a"},
                               {kLineA.size()}}),
    [](const ::testing::TestParamInfo<ReadCase>& param_info) { return param_info.param.name; });

// --- The last line without its line feed, after a record. A proper prefix
// of a record (what a crash leaves of an append) is a torn tail; anything
// else is corruption, and fails the read with the error the same line gets
// with its line feed. The appender's tail check judges alike.

struct LastLineCase {
  const char* name;
  std::string line;
  const char* error;  // nullptr for a torn tail
  StoreErrorKind kind = StoreErrorKind::kJson;
};

void PrintTo(const LastLineCase& last_case, std::ostream* out) { *out << last_case.name; }

// What the full read and the tail check make of kLineA followed by `line`,
// which must be the same, a torn tail or the case's error.
void expect_judged_alike(const std::string& line, const char* error, StoreErrorKind kind) {
  MemoryFileSystem fs;
  const std::string log = kLineA + line;
  WalReader reader(open_log(fs, log));
  ASSERT_TRUE(succeeded(reader.next()));
  Result<bool, StoreError> more = reader.next();
  File file = open_log(fs, log);
  Result<LogTail, StoreError> tail = WalReader::read_tail(file, log.size());
  if (error == nullptr) {
    ASSERT_TRUE(succeeded(more) && succeeded(tail));
    EXPECT_FALSE(more.value());
    EXPECT_EQ(reader.tail(), LogTail{kLineA.size()});
    EXPECT_EQ(tail.value(), LogTail{kLineA.size()});
    return;
  }
  EXPECT_TRUE(fails_with(more, kind, error));
  EXPECT_TRUE(fails_with(tail, kind, error));
  WalReader terminated(open_log(fs, log + "\n"));
  ASSERT_TRUE(succeeded(terminated.next()));
  EXPECT_TRUE(fails_with(terminated.next(), kind, error));
}

class LastLine : public ::testing::TestWithParam<LastLineCase> {};

TEST_P(LastLine, IsATornTailOnlyWhenItIsAPrefixOfARecord) {
  expect_judged_alike(GetParam().line, GetParam().error, GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LastLine,
    ::testing::Values(
        LastLineCase{"CutInAString", R"({"op":"upsert","data":{"id":"z)", nullptr},
        LastLineCase{"CutInAnEscape", R"({"op":"delete","data":{"id":"\u00)", nullptr},
        LastLineCase{"CutInANumber", R"({"op":"upsert","data":{"id":"z","embedding":[1e-)", nullptr},
        LastLineCase{"CutInALiteral", R"({"op":{"upsert":nu)", nullptr},
        LastLineCase{"CutInAFourByteCharacter", "{\"op\":\"delete\",\"data\":{\"id\":\"\xF0\x9F\x98", nullptr},
        LastLineCase{"BlankThenACutCharacter", " \xE3\x80", nullptr},
        LastLineCase{"RecordsSeparatedByCarriageReturnOnly", kRecordA + "\r" + kRecordDeleteA,
                     "trailing characters at line 1 column 92"},
        LastLineCase{"Garbage", kLongGarbage, "expected value at line 1 column 1"},
        LastLineCase{"WrongTypeBeforeTheEnd", R"({"op":"upsert","data":{"id":5)",
                     "invalid type: integer `5`, expected a string at line 1 column 29"},
        LastLineCase{"UnknownVariantBeforeTheEnd", R"({"op":"remove","data":)",
                     "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 14"},
        LastLineCase{"SyntaxErrorBeforeTheEnd", R"({"op":"delete"])", "expected `,` or `}` at line 1 column 15"},
        LastLineCase{"NotUtf8BeforeTheEnd", "{\"op\":\"delete\",\"data\":{\"id\":\"\xFF\"}}", kInvalidUtf8Text,
                     StoreErrorKind::kIo},
        LastLineCase{"NotUtf8AtTheEnd", "\xFF\xFE", kInvalidUtf8Text, StoreErrorKind::kIo},
        LastLineCase{"BadSequenceAtTheEnd", "{\"op\":\"delete\",\"data\":{\"id\":\"\xE0\x80", kInvalidUtf8Text,
                     StoreErrorKind::kIo},
        LastLineCase{"RecordThenACutCharacter", kRecordDeleteA + "\xC3", kInvalidUtf8Text, StoreErrorKind::kIo},
        LastLineCase{"GarbageThenACutCharacter", "x\xC3", kInvalidUtf8Text, StoreErrorKind::kIo}),
    [](const ::testing::TestParamInfo<LastLineCase>& param_info) { return param_info.param.name; });

// Every proper prefix of a record is a torn tail, in every form the decoder
// accepts: cuts inside escapes, numbers, literals and characters of two to
// four bytes (those whose second byte has a narrower range included).
TEST(LastLineTest, EveryProperPrefixOfARecordIsATornTail) {
  for (const std::string& record :
       {std::string(R"({"op":"upsert","data":{"id":"\u00e9\"\ud834\udd1e","embedding":[-1.5e-7,0,3E+2],)"
                    "\"metadata\":"
                    "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\","
                    "\"created_at\":\"\"}}"),
        std::string(
            R"( { "data" : { "id" : "x" , "more" : [ true, false, null, {} ] } , "op" : { "delete" : null } })"),
        std::string(R"(["upsert",["a",[1.25],"m","c"]])")}) {
    ASSERT_TRUE(decode_record(record).ok()) << record;
    for (std::size_t cut = 1; cut < record.size(); ++cut) {
      SCOPED_TRACE(record.substr(0, cut));
      expect_judged_alike(record.substr(0, cut), nullptr, StoreErrorKind::kJson);
    }
  }
}

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
