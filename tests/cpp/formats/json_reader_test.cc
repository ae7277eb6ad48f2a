// The reader rules: whitespace, syntax errors and their positions, string
// escapes, numbers, nesting, ignored members, and robustness on any input.
#include "formats/json_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "formats/wal_record.h"
#include "outcome.h"

namespace sorvid {
namespace {

using testing::entry_outcome;
using testing::record_outcome;
using testing::snapshot_outcome;

struct Case {
  std::string text;
  std::string outcome;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.text; }

// A snapshot with `member` (any text) as the value of the ignored key "x".
std::string with_ignored(std::string_view member) {
  return "{\"dim\":0,\"entries\":[],\"x\":" + std::string(member) + "}";
}

// An entry whose embedding array holds `elements` (the first at column 23).
std::string entry_with_embedding(std::string_view elements) {
  return "{\"id\":\"\",\"embedding\":[" + std::string(elements) + "],\"metadata\":\"\",\"created_at\":\"\"}";
}

class SnapshotSyntax : public ::testing::TestWithParam<Case> {};
TEST_P(SnapshotSyntax, GivesOutcome) { EXPECT_EQ(snapshot_outcome(GetParam().text), GetParam().outcome); }

INSTANTIATE_TEST_SUITE_P(
    WhitespaceAndTopLevel, SnapshotSyntax,
    ::testing::Values(Case{"", "EOF while parsing a value at line 1 column 0"},
                      Case{"   ", "EOF while parsing a value at line 1 column 3"},
                      Case{"\n", "EOF while parsing a value at line 2 column 0"},
                      Case{" \t\r\n {\"dim\":0,\"entries\":[]} \t\r\n ", "ok"},
                      Case{"\xEF\xBB\xBF{\"dim\":0,\"entries\":[]}", "expected value at line 1 column 1"},
                      Case{"\x0C{\"dim\":0,\"entries\":[]}", "expected value at line 1 column 1"},
                      Case{"\x0B{\"dim\":0,\"entries\":[]}", "expected value at line 1 column 1"},
                      Case{"\xC2\xA0{\"dim\":0,\"entries\":[]}", "expected value at line 1 column 1"},
                      Case{"{\"dim\":0,\"entries\":[]}x", "trailing characters at line 1 column 23"},
                      Case{"{\"dim\":0,\"entries\":[]}\x0C", "trailing characters at line 1 column 23"},
                      Case{"{\"dim\":0,\"entries\":[]} {\"dim\":0,\"entries\":[]}",
                           "trailing characters at line 1 column 24"},
                      Case{"{\n  \"dim\": 0,\n  \"entries\": [],\n}", "trailing comma at line 4 column 1"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":\"\\\n\"}", "invalid escape at line 2 column 0"}));

INSTANTIATE_TEST_SUITE_P(ObjectSyntax, SnapshotSyntax,
                         ::testing::Values(Case{"{", "EOF while parsing an object at line 1 column 1"},
                                           Case{"{\"dim\"", "EOF while parsing an object at line 1 column 6"},
                                           Case{"{\"dim\":", "EOF while parsing a value at line 1 column 7"},
                                           Case{"{\"dim\":0", "EOF while parsing an object at line 1 column 8"},
                                           Case{"{\"dim\":0,", "EOF while parsing a value at line 1 column 9"},
                                           Case{"{\"dim\" 0}", "expected `:` at line 1 column 8"},
                                           Case{"{\"dim\":0 \"entries\":[]}",
                                                "expected `,` or `}` at line 1 column 10"},
                                           Case{"{\"dim\":0,}", "trailing comma at line 1 column 10"},
                                           Case{"{1:2}", "key must be a string at line 1 column 2"},
                                           Case{"{,\"dim\":0}", "key must be a string at line 1 column 2"},
                                           Case{"{\"dim\":0,,}", "key must be a string at line 1 column 10"}));

INSTANTIATE_TEST_SUITE_P(
    IgnoredMemberSyntax, SnapshotSyntax,
    ::testing::Values(Case{with_ignored("[1,\"s\",{\"k\":[null,true,false,-0.5e-3]},[]]"), "ok"},
                      Case{with_ignored("1e999"), "ok"}, Case{with_ignored("-1e-999"), "ok"},
                      Case{with_ignored("\"\\uDC00\""), "ok"},
                      Case{with_ignored("[1 2]"), "expected `,` or `]` at line 1 column 30"},
                      Case{with_ignored("{\"k\" 1}"), "expected `:` at line 1 column 32"},
                      Case{with_ignored("{\"k\":1 2}"), "expected `,` or `}` at line 1 column 34"},
                      Case{with_ignored("[1,]"), "trailing comma at line 1 column 30"},
                      Case{with_ignored("{\"k\":1,}"), "trailing comma at line 1 column 34"},
                      Case{with_ignored("{1:1}"), "key must be a string at line 1 column 28"},
                      Case{with_ignored("tru"), "expected ident at line 1 column 30"},
                      Case{with_ignored("nulL"), "expected ident at line 1 column 30"},
                      Case{with_ignored("+1"), "expected value at line 1 column 27"},
                      Case{with_ignored("01"), "invalid number at line 1 column 28"},
                      Case{with_ignored("1.e5"), "invalid number at line 1 column 29"},
                      Case{with_ignored("\"a\\qb\""), "invalid escape at line 1 column 30"},
                      Case{with_ignored("\"\\u12G4\""), "invalid escape at line 1 column 32"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":nul", "EOF while parsing a value at line 1 column 29"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":-", "EOF while parsing a value at line 1 column 27"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":[", "EOF while parsing a list at line 1 column 27"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":[1,", "EOF while parsing a value at line 1 column 29"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":{", "EOF while parsing an object at line 1 column 27"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":{\"k\":1,",
                           "EOF while parsing a value at line 1 column 33"},
                      Case{"{\"dim\":0,\"entries\":[],\"x\":\"ab", "EOF while parsing a string at line 1 column 29"}));

class EntrySyntax : public ::testing::TestWithParam<Case> {};
TEST_P(EntrySyntax, GivesOutcome) { EXPECT_EQ(entry_outcome(GetParam().text), GetParam().outcome); }

INSTANTIATE_TEST_SUITE_P(
    StringRules, EntrySyntax,
    ::testing::Values(
        Case{"{\"id\":\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 13"},
        Case{"{\"id\":\"\\uD800x\"", "unexpected end of hex escape at line 1 column 14"},
        Case{"{\"id\":\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 15"},
        Case{"{\"id\":\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 19"},
        Case{"{\"id\":\"\\uD800", "EOF while parsing a string at line 1 column 13"},
        Case{"{\"id\":\"\\uD800\\", "EOF while parsing a string at line 1 column 14"},
        Case{"{\"id\":\"\\u12", "EOF while parsing a string at line 1 column 11"},
        Case{"{\"id\":\"\\", "EOF while parsing a string at line 1 column 8"},
        Case{"{\"id\":\"abc", "EOF while parsing a string at line 1 column 10"},
        Case{"{\"id\":\"a\\x\"", "invalid escape at line 1 column 10"},
        Case{"{\"id\":\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        Case{"{\"id\":\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        Case{std::string("{\"id\":\"a\0b\"", 11),
             "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        Case{"{\"id\":\"\xC3\"", "invalid unicode code point at line 1 column 9"},
        Case{"{\"id\":\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 11"}));

INSTANTIATE_TEST_SUITE_P(
    NumberRules, EntrySyntax,
    ::testing::Values(
        Case{entry_with_embedding("01"), "invalid number at line 1 column 24"},
        Case{entry_with_embedding("-"), "invalid number at line 1 column 24"},
        Case{entry_with_embedding("-x"), "invalid number at line 1 column 24"},
        Case{entry_with_embedding("1."), "invalid number at line 1 column 25"},
        Case{entry_with_embedding("1e"), "invalid number at line 1 column 25"},
        Case{entry_with_embedding("1e+"), "invalid number at line 1 column 26"},
        Case{entry_with_embedding("+1"), "expected value at line 1 column 23"},
        Case{entry_with_embedding(".5"), "expected value at line 1 column 23"},
        Case{entry_with_embedding("NaN"), "expected value at line 1 column 23"},
        Case{entry_with_embedding("Infinity"), "expected value at line 1 column 23"},
        Case{entry_with_embedding("nan"), "expected ident at line 1 column 24"},
        Case{entry_with_embedding("1e400"), "number out of range at line 1 column 27"},
        Case{entry_with_embedding("-1.5e309"), "number out of range at line 1 column 30"},
        Case{entry_with_embedding("1e99999999999999999999"), "number out of range at line 1 column 44"},
        Case{entry_with_embedding("0.001e312"), "number out of range at line 1 column 31"},
        Case{entry_with_embedding("1,]"), "trailing comma at line 1 column 25"},
        Case{entry_with_embedding("1 2"), "expected `,` or `]` at line 1 column 25"},
        Case{entry_with_embedding("null"), "invalid type: null, expected f32 at line 1 column 26"},
        Case{entry_with_embedding("true"), "invalid type: boolean `true`, expected f32 at line 1 column 26"},
        Case{entry_with_embedding("\"1\""), "invalid type: string \"1\", expected f32 at line 1 column 25"},
        Case{entry_with_embedding("[1]"), "invalid type: sequence, expected f32 at line 1 column 22"},
        Case{entry_with_embedding("{}"), "invalid type: map, expected f32 at line 1 column 22"},
        Case{"{\"id\":\"\",\"embedding\":[-", "EOF while parsing a value at line 1 column 23"},
        Case{"{\"id\":\"\",\"embedding\":[1.", "EOF while parsing a value at line 1 column 24"},
        Case{"{\"id\":\"\",\"embedding\":[1e-", "EOF while parsing a value at line 1 column 25"},
        Case{"{\"id\":\"\",\"embedding\":[1", "EOF while parsing a list at line 1 column 23"},
        Case{"{\"id\":\"\",\"embedding\":[1,", "EOF while parsing a value at line 1 column 24"},
        Case{"{\"id\":\"\",\"embedding\":[", "EOF while parsing a list at line 1 column 22"}));

INSTANTIATE_TEST_SUITE_P(
    FieldTypes, EntrySyntax,
    ::testing::Values(
        Case{"{\"id\":1}", "invalid type: integer `1`, expected a string at line 1 column 7"},
        Case{"{\"id\":-1.5}", "invalid type: floating point `-1.5`, expected a string at line 1 column 10"},
        Case{"{\"id\":1e20}", "invalid type: floating point `1e+20`, expected a string at line 1 column 10"},
        Case{"{\"id\":[]}", "invalid type: sequence, expected a string at line 1 column 6"},
        Case{"{\"id\":null}", "invalid type: null, expected a string at line 1 column 10"},
        Case{"{\"id\":\"\",\"embedding\":\"x\\\"y\"}",
             "invalid type: string \"x\\\"y\", expected a sequence at line 1 column 27"},
        Case{"{\"id\":\"\",\"embedding\":{}}", "invalid type: map, expected a sequence at line 1 column 21"},
        Case{"\"entry\"", "invalid type: string \"entry\", expected struct VectorEntry at line 1 column 7"},
        Case{"{\"id\":\"a\",\"id\":\"b\"}", "duplicate field `id` at line 1 column 14"},
        Case{"{\"id\":\"a\",\"id\" :\"b\"}", "duplicate field `id` at line 1 column 15"},
        Case{"{\"id\":\"\",\"embedding\":[],\"metadata\":\"\"}", "missing field `created_at` at line 1 column 38"},
        Case{"{\"embedding\":[],\"metadata\":\"\"}", "missing field `id` at line 1 column 30"},
        Case{"[\"a\",[1,2],\"m\"]",
             "invalid length 3, expected struct VectorEntry with 4 elements at line 1 column 15"},
        Case{"[\"a\",[1,2],\"m\",\"c\",5]", "trailing characters at line 1 column 20"},
        Case{"[\"a\",[1,2],\"m\",\"c\", ]", "trailing comma at line 1 column 21"}));

TEST(NumberValues, EmbeddingValuesRoundToNearestFloat) {
  auto entry = decode_entry(
      entry_with_embedding("1,-0,1e39,1e-50,2.5E+0,-1e39,16777217,18446744073709551615,-9223372036854775808,"
                           "3.4028235677973366e38,3.4028235677973362e38,1.5e-45,0.1,1e-46,100000000000000000000000"));
  ASSERT_TRUE(entry) << entry.error().message();
  const std::vector<float>& v = entry.value().embedding;
  ASSERT_EQ(v.size(), 15u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(v[0]), std::bit_cast<std::uint32_t>(1.0f));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(v[1]), std::bit_cast<std::uint32_t>(-0.0f));
  EXPECT_EQ(v[2], std::numeric_limits<float>::infinity());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(v[3]), 0u);
  EXPECT_EQ(v[4], 2.5f);
  EXPECT_EQ(v[5], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(v[6], 16777216.0f);
  EXPECT_EQ(v[7], 18446744073709551616.0f);
  EXPECT_EQ(v[8], -9223372036854775808.0f);
  EXPECT_EQ(v[9], std::numeric_limits<float>::infinity());  // halfway to 2^128: ties to even
  EXPECT_EQ(v[10], std::numeric_limits<float>::max());
  EXPECT_EQ(v[11], std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(v[12], 0.1f);
  EXPECT_EQ(v[13], 0.0f);
  EXPECT_EQ(v[14], 1e23f);
}

struct FloatCase {
  std::string text;
  std::uint32_t bits;  // of the float it reads as
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.text; }

// Each number read as an embedding value, in the array loop of a decoded
// entry and as a kept value (a log line with "data" before "op"): both
// give the float worked out with exact rational arithmetic. Decimals round
// to the nearest double and then to the nearest float; integers of 64 bits
// round to the nearest float directly.
class FloatValue : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatValue, ReadsAsTheSameFloatBothWays) {
  const std::string& text = GetParam().text;
  auto entry = decode_entry(entry_with_embedding(text));
  ASSERT_TRUE(entry) << entry.error().message();
  ASSERT_EQ(entry.value().embedding.size(), 1u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(entry.value().embedding[0]), GetParam().bits);
  auto kept = decode_record("{\"data\":" + entry_with_embedding(text) + ",\"op\":\"upsert\"}");
  ASSERT_TRUE(kept) << kept.error().message();
  EXPECT_EQ(std::bit_cast<std::uint32_t>(std::get<UpsertRecord>(kept.value()).entry.embedding[0]), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(
    SignificandLimits, FloatValue,
    ::testing::Values(FloatCase{"9007199254740992", 0x5a000000}, FloatCase{"9007199254740993", 0x5a000000},
                      FloatCase{"9007199254740993.0", 0x5a000000}, FloatCase{"-9007199254740993e0", 0xda000000},
                      FloatCase{"1234567890123456789", 0x5d891088}, FloatCase{"12345678901234567890", 0x5f2b54aa},
                      FloatCase{"123456789012345678901", 0x60d629d4}, FloatCase{"18446744073709551616", 0x5f800000},
                      FloatCase{"0.1234567890123456789", 0x3dfcd6ea},
                      FloatCase{"0.12345678901234567890123", 0x3dfcd6ea},
                      FloatCase{"0.0000000000000000000000001234567", 0x1618d4fd},
                      // 2^60 + 2^36 + 1: as an integer, just above a midpoint
                      // between floats; as a decimal, first rounded to the
                      // midpoint's double, then to even.
                      FloatCase{"1152921573326323713", 0x5d800001}, FloatCase{"1152921573326323713.0", 0x5d800000}));

INSTANTIATE_TEST_SUITE_P(
    ExponentLimits, FloatValue,
    ::testing::Values(FloatCase{"1e22", 0x64078678}, FloatCase{"1e23", 0x65a96816}, FloatCase{"1e-22", 0x1af1c901},
                      FloatCase{"1e-23", 0x19416d9a}, FloatCase{"4.5e22", 0x65187747}, FloatCase{"4.5e-23", 0x1a599b4d},
                      FloatCase{"123456789e-30", 0x1b154007},
                      // Its nearest double is a midpoint between floats.
                      FloatCase{"7.038531e-26", 0x15ae43fe},
                      FloatCase{"0.000000000000000000000000000000000000000000001401298464324817", 0x00000001}));

INSTANTIATE_TEST_SUITE_P(Zeros, FloatValue,
                         ::testing::Values(FloatCase{"-0", 0x80000000}, FloatCase{"-0.0", 0x80000000},
                                           FloatCase{"-0e5", 0x80000000}, FloatCase{"0e-999999999999", 0x00000000},
                                           FloatCase{"-1e-400", 0x80000000},
                                           FloatCase{"1e-99999999999999999999", 0x00000000},
                                           FloatCase{"0.0e99999999999999999999", 0x00000000}));

TEST(StringValues, EscapesAndSurrogatePairsDecode) {
  auto entry = decode_entry(
      "{\"id\":\"a\\u00e9\\/\\b\\f\\n\\r\\t\\\"\\\\\\uD83D\\uDE00\\u0000\",\"embedding\":[],"
      "\"metadata\":\"\xC3\xA9\",\"created_at\":\"\"}");
  ASSERT_TRUE(entry) << entry.error().message();
  EXPECT_EQ(entry.value().id, std::string("a\xC3\xA9/\b\f\n\r\t\"\\\xF0\x9F\x98\x80\0", 16));
  EXPECT_EQ(entry.value().metadata, "\xC3\xA9");
}

TEST(StringValues, KeysAreComparedAfterDecoding) {
  auto entry = decode_entry("{\"\\u0069d\":\"a\",\"embedding\":[],\"metadata\":\"\",\"created_at\":\"\",\"ID\":1}");
  ASSERT_TRUE(entry) << entry.error().message();
  EXPECT_EQ(entry.value().id, "a");
}

// A log line whose "data" comes first is kept as a generic value, the only
// place where decoded containers can nest deeply: 127 levels are accepted,
// the opening bracket at level 128 is refused.
TEST(Nesting, DecodedValuesNestUpTo127Deep) {
  const auto line_with_depth = [](int arrays_inside_record) {
    return "{\"data\":" + std::string(arrays_inside_record, '[') + std::string(arrays_inside_record, ']') +
           ",\"op\":\"delete\"}";
  };
  const std::string deepest = line_with_depth(126);
  EXPECT_EQ(record_outcome(deepest),
            "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column " +
                std::to_string(deepest.size()));
  EXPECT_EQ(record_outcome(line_with_depth(127)), "recursion limit exceeded at line 1 column 135");
}

TEST(Nesting, IgnoredMembersAreNotDepthLimited) {
  constexpr int kDepth = 100000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_EQ(snapshot_outcome(with_ignored(arrays)), "ok");
  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"k\":";
  objects += "1" + std::string(kDepth, '}');
  EXPECT_EQ(snapshot_outcome(with_ignored(objects)), "ok");
  const std::string unclosed = "{\"dim\":0,\"entries\":[],\"x\":" + std::string(kDepth, '[');
  EXPECT_EQ(snapshot_outcome(unclosed), "EOF while parsing a list at line 1 column " + std::to_string(unclosed.size()));
  EXPECT_EQ(record_outcome("{\"x\":" + arrays + ",\"op\":\"delete\",\"data\":{\"id\":\"x\"}}"), "ok");
}

TEST(Nesting, DeepKeptDataFailsWithoutExhaustingTheStack) {
  const std::string line = "{\"data\":" + std::string(100000, '[');
  EXPECT_EQ(record_outcome(line), "recursion limit exceeded at line 1 column 135");
}

const std::string kFullSnapshot =
    "{\"dim\":2,\"entries\":[{\"id\":\"a\\n\\u00e9\",\"embedding\":[0.5,-1e-7],\"metadata\":\"m\","
    "\"created_at\":\"c\"},[\"b\",[1,2],\"\",\"\"]],\"x\":[1,\"s\",{\"k\":null},true,false,-2.5E+3]}";

// Every prefix of a document is incomplete, so each must fail cleanly, with
// a position inside the prefix.
TEST(Robustness, EveryTruncationFailsWithinTheText) {
  ASSERT_EQ(snapshot_outcome(kFullSnapshot), "ok");
  for (std::size_t length = 0; length < kFullSnapshot.size(); ++length) {
    auto decoded = decode_snapshot(std::string_view(kFullSnapshot).substr(0, length));
    ASSERT_FALSE(decoded) << "prefix of " << length << " bytes decoded";
    EXPECT_EQ(decoded.error().line, 1u);
    EXPECT_LE(decoded.error().column, length);
  }
}

// Any byte at any place: an error or a result, never a read beyond the
// text (the sanitizer build checks that), and positions inside the text.
TEST(Robustness, EveryByteValueAtEveryPosition) {
  for (std::size_t position = 0; position < kFullSnapshot.size(); ++position) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string text = kFullSnapshot;
      text[position] = static_cast<char>(byte);
      // An exact-size heap copy, so that a read past the end is caught.
      const std::vector<char> exact(text.begin(), text.end());
      auto decoded = decode_snapshot(std::string_view(exact.data(), exact.size()));
      if (!decoded) {
        EXPECT_LE(decoded.error().column, text.size());
      }
      auto record = decode_record(std::string_view(exact.data(), exact.size()));
      if (!record) {
        EXPECT_LE(record.error().column, text.size());
      }
    }
  }
}

TEST(Robustness, ValueCheckStopsAtTheEndOfItsInput) {
  for (const char* text : {"[", "{\"a\"", "\"\\u", "-", "1e", "tr", "[1,{\"k\":[\"\\uD800\\u"}) {
    const std::string_view view(text);
    const std::vector<char> exact(view.begin(), view.end());
    JsonReader reader(std::string_view(exact.data(), exact.size()));
    auto value = reader.check_value();
    ASSERT_FALSE(value) << text;
    EXPECT_EQ(value.error().consumed, view.size()) << text;
  }
}

}  // namespace
}  // namespace sorvid
