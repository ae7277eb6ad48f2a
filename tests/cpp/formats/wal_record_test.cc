// The log line: encoding, both member orders, the forms of "op", the array
// form, and the errors with their positions.
#include "formats/wal_record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "formats/entry_json.h"
#include "outcome.h"

// Every operator new of this test binary goes through this counter: it adds
// up the bytes requested on a thread while a counter is set there.
namespace {
thread_local std::size_t* requested_bytes = nullptr;
}  // namespace

// None of them is inlined, so that the compiler sees no new-expression met
// by free() or malloc() met by a delete-expression.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (requested_bytes != nullptr) *requested_bytes += size;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace sorvid {
namespace {

using testing::record_outcome;

VectorEntry doc7() { return VectorEntry{"doc-7", {0.5f, -1.0f, 100.0f, 0.0000001f}, "say \"hi\"\n", ""}; }

TEST(WalRecordEncoding, WritesUpsertAndDeleteLines) {
  EXPECT_EQ(encode_record(UpsertRecord{doc7()}),
            "{\"op\":\"upsert\",\"data\":{\"id\":\"doc-7\",\"embedding\":[0.5,-1.0,100.0,1e-7],"
            "\"metadata\":\"say \\\"hi\\\"\\n\",\"created_at\":\"\"}}");
  EXPECT_EQ(encode_record(DeleteRecord{"doc-7"}), "{\"op\":\"delete\",\"data\":{\"id\":\"doc-7\"}}");
}

TEST(WalRecordEncoding, AppendingFormsMatchTheWholeLine) {
  std::string out = "prefix";
  encode_upsert_record(doc7(), out);
  EXPECT_EQ(out,
            "prefix{\"op\":\"upsert\",\"data\":{\"id\":\"doc-7\",\"embedding\":[0.5,-1.0,100.0,1e-7],"
            "\"metadata\":\"say \\\"hi\\\"\\n\",\"created_at\":\"\"}}");
  out = "prefix";
  encode_delete_record("x\ty", out);
  EXPECT_EQ(out, "prefix{\"op\":\"delete\",\"data\":{\"id\":\"x\\ty\"}}");
}

TEST(WalRecordEncoding, EmptyTextsAreWrittenAsTwoQuotes) {
  std::string out;
  encode_entry(VectorEntry{"", {}, "", ""}, out);
  EXPECT_EQ(out, "{\"id\":\"\",\"embedding\":[],\"metadata\":\"\",\"created_at\":\"\"}");
}

TEST(WalRecordDecoding, UpsertLineRoundTrips) {
  auto record = decode_record(encode_record(UpsertRecord{doc7()}));
  ASSERT_TRUE(record) << record.error().message();
  ASSERT_TRUE(std::holds_alternative<UpsertRecord>(record.value()));
  EXPECT_EQ(std::get<UpsertRecord>(record.value()).entry, doc7());
}

class DeleteOfX : public ::testing::TestWithParam<std::string> {};

TEST_P(DeleteOfX, DecodesToTheDeletionOfX) {
  auto record = decode_record(GetParam());
  ASSERT_TRUE(record) << record.error().message();
  ASSERT_TRUE(std::holds_alternative<DeleteRecord>(record.value()));
  EXPECT_EQ(std::get<DeleteRecord>(record.value()).id, "x");
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedForms, DeleteOfX,
    ::testing::Values("{\"op\":\"delete\",\"data\":{\"id\":\"x\"}}", "{\"data\":{\"id\":\"x\"},\"op\":\"delete\"}",
                      "[\"delete\",{\"id\":\"x\"}]", "{\"op\":{\"delete\":null},\"data\":{\"id\":\"x\"}}",
                      "{\"op\":\"delete\",\"data\":{\"id\":\"x\"},\"extra\":[1,[2,{}]]}",
                      "{\"a\":1,\"op\":\"delete\",\"b\":[],\"data\":{\"z\":0,\"id\":\"x\"},\"c\":null}",
                      "{\"data\":{\"id\":\"x\",\"more\":[1e5]},\"op\":{\"delete\":null}}",
                      " \t{ \"op\" : \"delete\" , \"data\" : { \"id\" : \"x\" } } \r\n",
                      "{\"op\":\"d\\u0065lete\",\"data\":{\"\\u0069d\":\"x\"}}"));

TEST(WalRecordDecoding, UpsertEntryInArrayForm) {
  for (const char* line :
       {"{\"op\":\"upsert\",\"data\":[\"a\",[1,2],\"m\",\"c\"]}",
        "{\"data\":[\"a\",[1,2],\"m\",\"c\"],\"op\":\"upsert\"}", "[\"upsert\",[\"a\",[1,2],\"m\",\"c\"]]"}) {
    auto record = decode_record(line);
    ASSERT_TRUE(record) << line << ": " << record.error().message();
    EXPECT_EQ(std::get<UpsertRecord>(record.value()).entry, (VectorEntry{"a", {1.0f, 2.0f}, "m", "c"})) << line;
  }
}

struct Case {
  std::string text;
  std::string outcome;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.text; }

class WalRecordErrors : public ::testing::TestWithParam<Case> {};
TEST_P(WalRecordErrors, GivesOutcome) { EXPECT_EQ(record_outcome(GetParam().text), GetParam().outcome); }

INSTANTIATE_TEST_SUITE_P(
    LineExamples, WalRecordErrors,
    ::testing::Values(Case{"{\"op\":\"delete\"}", "missing field `data` at line 1 column 15"},
                      Case{"{\"op\":\"remove\",\"data\":{\"id\":\"x\"}}",
                           "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 14"},
                      Case{"{\"op\":\"upsert\",\"data\":{\"id\":\"a\",\"embedding\":[1.0,null],\"metadata\":\"\","
                           "\"created_at\":\"\"}}",
                           "invalid type: null, expected f32 at line 1 column 53"},
                      Case{"", "EOF while parsing a value at line 1 column 0"},
                      Case{"   ", "EOF while parsing a value at line 1 column 3"},
                      Case{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
                      Case{"{\"op\":\"upsert\",\"data\":[\"a\",[1,2],\"m\"]}",
                           "invalid length 3, expected struct VectorEntry with 4 elements at line 1 column 37"},
                      Case{"[\"delete\",[\"x\"]]",
                           "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column 11"},
                      Case{"[\"delete\",[]]",
                           "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column 12"},
                      Case{"{\"op\":\"upsert\",\"data\":{\"id\":\"a\",\"embedding\":[],\"metadata\":\"\"}}",
                           "missing field `created_at` at line 1 column 61"},
                      Case{"{\"op\":\"upsert\",\"data\":{\"embedding\":[],\"metadata\":\"\"}}",
                           "missing field `id` at line 1 column 52"},
                      Case{"{\"op\":\"Upsert\",\"data\":{}}",
                           "unknown variant `Upsert`, expected `upsert` or `delete` at line 1 column 14"},
                      Case{"{\"op\":\"delete\",\"data\":{\"id\":\"x\"}} ", "ok"},
                      Case{"{\"op\":\"delete\",\"data\":{\"id\":\"x\"}}{\"op\":\"delete\",\"data\":{\"id\":\"y\"}}",
                           "trailing characters at line 1 column 34"}));

INSTANTIATE_TEST_SUITE_P(
    RecordShape, WalRecordErrors,
    ::testing::Values(
        Case{"\"delete\"",
             "invalid type: string \"delete\", expected adjacently tagged enum WalRecord at line 1 column 8"},
        Case{"null", "invalid type: null, expected adjacently tagged enum WalRecord at line 1 column 4"},
        Case{"{}", "missing field `op` at line 1 column 2"}, Case{"{\"x\":1}", "missing field `op` at line 1 column 7"},
        Case{"{\"data\":{\"id\":\"x\"}}", "missing field `op` at line 1 column 19"},
        Case{"{\"op\":\"delete\",\"op\":\"delete\"}", "duplicate field `op` at line 1 column 19"},
        Case{"{\"data\":1,\"data\":2}", "duplicate field `data` at line 1 column 16"},
        Case{"{\"op\":\"delete\",\"data\":{\"id\":\"x\"},\"op\":1}", "duplicate field `op` at line 1 column 37"},
        Case{"{\"op\":\"delete\",\"data\":{\"id\":\"x\"},\"data\":1}", "duplicate field `data` at line 1 column 39"},
        Case{"{\"data\":{\"id\":\"x\"},\"op\":\"delete\",\"data\":1}", "duplicate field `data` at line 1 column 39"},
        Case{"[]", "invalid length 0, expected adjacently tagged enum WalRecord at line 1 column 2"},
        Case{"[\"delete\"]", "invalid length 1, expected adjacently tagged enum WalRecord at line 1 column 10"},
        Case{"[1,{}]", "invalid type: integer `1`, expected variant identifier at line 1 column 2"},
        Case{"[{\"delete\":null},{}]", "invalid type: map, expected variant identifier at line 1 column 1"},
        Case{"[\"remove\",{}]", "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 9"},
        Case{"[\"delete\",{\"id\":\"x\"},1]", "trailing characters at line 1 column 22"},
        Case{"[\"delete\",{\"id\":\"x\"},]", "trailing comma at line 1 column 22"}));

INSTANTIATE_TEST_SUITE_P(
    OpValue, WalRecordErrors,
    ::testing::Values(
        Case{"{\"op\":1,\"data\":{}}", "expected value at line 1 column 7"},
        Case{"{\"op\":null,\"data\":{}}", "expected value at line 1 column 7"},
        Case{"{\"op\":[\"delete\"],\"data\":{}}", "expected value at line 1 column 7"},
        Case{"{\"op\":true}", "expected value at line 1 column 7"},
        Case{"{\"op\":", "EOF while parsing a value at line 1 column 6"},
        Case{"{\"op\":{\"delete\":1},\"data\":{}}", "invalid type: integer `1`, expected unit at line 1 column 17"},
        Case{"{\"op\":{\"delete\":[]},\"data\":{}}", "invalid type: sequence, expected unit at line 1 column 16"},
        Case{"{\"op\":{\"delete\":null,\"x\":1},\"data\":{}}", "expected value at line 1 column 20"},
        Case{"{\"op\":{\"delete\":null", "EOF while parsing an object at line 1 column 20"},
        Case{"{\"op\":{\"delete\"}}", "expected `:` at line 1 column 16"},
        Case{"{\"op\":{}}", "expected value at line 1 column 8"},
        Case{"{\"op\":{1:null}}", "invalid type: integer `1`, expected variant identifier at line 1 column 8"},
        Case{"{\"op\":{\"remove\":null}}",
             "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 15"}));

INSTANTIATE_TEST_SUITE_P(
    DeleteContent, WalRecordErrors,
    ::testing::Values(Case{"{\"op\":\"delete\",\"data\":{}}", "missing field `id` at line 1 column 24"},
                      Case{"{\"op\":\"delete\",\"data\":{\"id\":\"x\",\"id\":\"y\"}}",
                           "duplicate field `id` at line 1 column 36"},
                      Case{"{\"op\":\"delete\",\"data\":\"x\"}",
                           "invalid type: string \"x\", expected struct variant WalRecord::Delete at line 1 column 25"},
                      Case{"{\"op\":\"delete\",\"data\":null}",
                           "invalid type: null, expected struct variant WalRecord::Delete at line 1 column 26"},
                      Case{"{\"op\":\"delete\",\"data\":{\"id\":5}}",
                           "invalid type: integer `5`, expected a string at line 1 column 29"},
                      Case{"{\"op\":\"delete\",\"data\":[ ]}",
                           "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column 25"}));

// With "data" first, the kept value is decoded after "op": its errors stand
// where the reader is after the "op" member (past the closing brace when
// "op" is last), and extra array elements are counted.
INSTANTIATE_TEST_SUITE_P(
    DataBeforeOp, WalRecordErrors,
    ::testing::Values(
        Case{"{\"data\":[\"a\",[1],\"m\",\"c\",5],\"op\":\"upsert\"}",
             "invalid length 5, expected 4 elements in sequence at line 1 column 42"},
        Case{"{\"data\":[\"a\",[1],\"m\"],\"op\":\"upsert\"}",
             "invalid length 3, expected struct VectorEntry with 4 elements at line 1 column 36"},
        Case{"{\"data\":{\"id\":\"a\",\"embedding\":[null],\"metadata\":\"\",\"created_at\":\"\"},\"op\":\"upsert\","
             "\"z\":1}",
             "invalid type: null, expected f32 at line 1 column 81"},
        Case{"{\"data\":{\"id\":\"a\",\"embedding\":[1],\"metadata\":\"\",\"created_at\":\"\"},\"op\":\"upsert\" }",
             "ok"},
        Case{"{\"data\":{\"id\":1},\"op\":\"upsert\"}",
             "invalid type: integer `1`, expected a string at line 1 column 31"},
        Case{"{\"data\":{\"id\":\"x\",\"id\":\"y\"},\"op\":\"delete\"}", "duplicate field `id` at line 1 column 42"},
        Case{"{\"data\":{},\"op\":\"delete\"}", "missing field `id` at line 1 column 25"},
        Case{"{\"data\":[\"x\"],\"op\":\"delete\"}",
             "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column 28"},
        Case{"{\"data\":\"x\",\"op\":\"upsert\"}",
             "invalid type: string \"x\", expected struct VectorEntry at line 1 column 26"},
        Case{"{\"data\":[1e400],\"op\":\"upsert\"}", "number out of range at line 1 column 14"},
        Case{"{\"data\":[1,],\"op\":\"upsert\"}", "trailing comma at line 1 column 12"},
        Case{"{\"data\":{\"id\":\"x\"},\"op\":\"remove\"}",
             "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 32"},
        // The data is read by the rules of a decoded value even where a
        // decoder skips: strings decoded, numbers evaluated, nesting limited.
        Case{"{\"data\":{\"id\":\"x\",\"z\":\"\\ud800\"},\"op\":\"delete\"}",
             "unexpected end of hex escape at line 1 column 30"},
        Case{"{\"data\":{\"id\":\"x\",\"z\":1e400},\"op\":\"delete\"}", "number out of range at line 1 column 27"},
        Case{"{\"data\":{\"id\":\"x\",\"z\":" + std::string(130, '[') + std::string(130, ']') + "},\"op\":\"delete\"}",
             "recursion limit exceeded at line 1 column 148"},
        Case{"{\"data\":{\"id\":\"x\"", "EOF while parsing an object at line 1 column 17"}));

// Decoding a line requests memory in proportion to its text whatever the
// order of its members: a "data" that comes before "op" is not held in some
// intermediate form until "op" names the variant.
TEST(WalRecordDecoding, RequestsMemoryInProportionToTheLineInEveryMemberOrder) {
  VectorEntry entry{"big", {}, "m", "c"};
  for (int i = 0; i < 100000; ++i) entry.embedding.push_back(static_cast<float>(i) * 0.37f - 15000.0f);
  std::string data;
  encode_entry(entry, data);
  const std::string numbers = data.substr(data.find('['), data.find(']') - data.find('[') + 1);
  const std::string delete_data = "{\"id\":\"big\",\"pad\":" + numbers + "}";
  for (const std::string& line :
       {"{\"op\":\"upsert\",\"data\":" + data + "}", "[\"upsert\"," + data + "]",
        "{\"data\":" + data + ",\"op\":\"upsert\"}", "{\"data\":" + data + ",\"op\":{\"upsert\":null}}",
        "{\"op\":\"delete\",\"data\":" + delete_data + "}", "{\"data\":" + delete_data + ",\"op\":\"delete\"}"}) {
    SCOPED_TRACE(line.substr(0, 24));
    std::size_t bytes = 0;
    requested_bytes = &bytes;
    Result<WalRecord, JsonError> decoded = decode_record(line);
    requested_bytes = nullptr;
    ASSERT_TRUE(decoded) << decoded.error().message();
    if (const auto* upsert = std::get_if<UpsertRecord>(&decoded.value())) {
      EXPECT_EQ(upsert->entry, entry);
    } else {
      EXPECT_EQ(std::get<DeleteRecord>(decoded.value()).id, "big");
    }
    EXPECT_LE(bytes, 2 * line.size());
  }
}

TEST(WalRecordRoundTrip, EveryFiniteBitPatternSurvivesEncodeAndDecode) {
  // Random 32-bit patterns (all finite values: both zeros, subnormals and the
  // extremes included by construction), in lines of 256 values.
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next_bits = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state >> 16);
  };
  std::vector<std::uint32_t> patterns = {0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x00800000u,
                                         0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800000u, 0x4B800001u, 0x15AE43FDu, 0x95AE43FDu};
  while (patterns.size() < 400000) {
    const std::uint32_t bits = next_bits();
    if ((bits & 0x7F800000u) != 0x7F800000u) patterns.push_back(bits);
  }
  for (std::size_t start = 0; start < patterns.size(); start += 256) {
    VectorEntry entry{"id", {}, "", ""};
    for (std::size_t i = start; i < std::min(patterns.size(), start + 256); ++i) {
      entry.embedding.push_back(std::bit_cast<float>(patterns[i]));
    }
    const std::string line = encode_record(UpsertRecord{entry});
    auto decoded = decode_record(line);
    ASSERT_TRUE(decoded) << decoded.error().message();
    const std::vector<float>& back = std::get<UpsertRecord>(decoded.value()).entry.embedding;
    ASSERT_EQ(back.size(), entry.embedding.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back[i]), std::bit_cast<std::uint32_t>(entry.embedding[i]))
          << "value " << entry.embedding[i];
    }
    // Writing the decoded entry again gives the same text.
    ASSERT_EQ(encode_record(decoded.value()), line);
  }
}

}  // namespace
}  // namespace sorvid
