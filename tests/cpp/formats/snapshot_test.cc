// The snapshot document: its bytes, both forms, and the errors.
#include "formats/snapshot.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "outcome.h"

namespace sorvid {
namespace {

using testing::snapshot_outcome;

std::string encode(std::uint64_t dim, const std::vector<VectorEntry>& entries) {
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : entries) pointers.push_back(&entry);
  std::string out;
  encode_snapshot(dim, pointers, out);
  return out;
}

const char kTwoEntries[] =
    "{\"dim\":3,\"entries\":[{\"id\":\"a\",\"embedding\":[1.0,0.0,0.25],\"metadata\":\"\",\"created_at\":\"\"},"
    "{\"id\":\"b\",\"embedding\":[-0.5,2.0,1e-7],\"metadata\":\"blue\",\"created_at\":\"t1\"}]}";

TEST(SnapshotEncoding, WritesTheDocumentInTheOrderGiven) {
  const std::vector<VectorEntry> entries = {{"a", {1.0f, 0.0f, 0.25f}, "", ""},
                                            {"b", {-0.5f, 2.0f, 1e-7f}, "blue", "t1"}};
  EXPECT_EQ(encode(3, entries), kTwoEntries);
  EXPECT_EQ(encode(0, {}), "{\"dim\":0,\"entries\":[]}");
  EXPECT_EQ(encode(3, {}), "{\"dim\":3,\"entries\":[]}");
}

TEST(SnapshotEncoding, AppendsToWhatTheBufferHolds) {
  std::string out = "x";
  encode_snapshot(7, {}, out);
  EXPECT_EQ(out, "x{\"dim\":7,\"entries\":[]}");
}

// The pieces joined are the document, whatever the piece size (down to one
// entry per piece); a sink that refuses a piece gets no more.
class SnapshotPieces : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SnapshotPieces, JoinToTheWholeDocument) {
  std::vector<VectorEntry> entries;
  for (int i = 0; i < 40; ++i) entries.push_back({"e" + std::to_string(i), {float(i), 0.5f, -2.0f}, "m", ""});
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : entries) pointers.push_back(&entry);
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, entries.size()}) {
    const auto listed = std::span<const VectorEntry* const>(pointers).first(count);
    std::string whole;
    encode_snapshot(3, listed, whole);
    std::string joined;
    std::size_t pieces = 0;
    EXPECT_TRUE(encode_snapshot_in_pieces(3, listed, GetParam(), [&](std::string_view piece) {
      joined.append(piece);
      return ++pieces > 0;
    }));
    EXPECT_EQ(joined, whole);
    if (GetParam() == 1) {
      EXPECT_EQ(pieces, count + 1);
    }
  }
  std::size_t offered = 0;
  EXPECT_FALSE(encode_snapshot_in_pieces(3, pointers, 1, [&](std::string_view) { return ++offered < 3; }));
  EXPECT_EQ(offered, 3u);
}

INSTANTIATE_TEST_SUITE_P(PieceBytes, SnapshotPieces, ::testing::Values(1, 200, 1000, 1 << 20));

TEST(SnapshotDecoding, ReadsTheDocumentBack) {
  auto snapshot = decode_snapshot(kTwoEntries);
  ASSERT_TRUE(snapshot) << snapshot.error().message();
  EXPECT_EQ(snapshot.value().dim, 3u);
  ASSERT_EQ(snapshot.value().entries.size(), 2u);
  EXPECT_EQ(snapshot.value().entries[1], (VectorEntry{"b", {-0.5f, 2.0f, 1e-7f}, "blue", "t1"}));
  EXPECT_EQ(encode(snapshot.value().dim, snapshot.value().entries), kTwoEntries);
}

class SameAsDim2 : public ::testing::TestWithParam<std::string> {};

TEST_P(SameAsDim2, DecodesToDimensionTwoWithoutEntries) {
  auto snapshot = decode_snapshot(GetParam());
  ASSERT_TRUE(snapshot) << snapshot.error().message();
  EXPECT_EQ(snapshot.value().dim, 2u);
  EXPECT_TRUE(snapshot.value().entries.empty());
}

INSTANTIATE_TEST_SUITE_P(Forms, SameAsDim2,
                         ::testing::Values("{\"dim\":2,\"entries\":[]}", "{\"entries\":[],\"dim\":2}", "[2,[]]",
                                           "{\"dim\":2,\"entries\":[]}\n",
                                           "{\n  \"dim\": 2,\n  \"entries\": [\n  ]\n}\n",
                                           "{\"x\":{\"dim\":5},\"dim\":2,\"y\":[1e999],\"entries\":[]}"));

TEST(SnapshotDecoding, LargestDimension) {
  auto snapshot = decode_snapshot("{\"dim\":18446744073709551615,\"entries\":[]}");
  ASSERT_TRUE(snapshot) << snapshot.error().message();
  EXPECT_EQ(snapshot.value().dim, 18446744073709551615u);
}

struct Case {
  std::string text;
  std::string outcome;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.text; }

class SnapshotErrors : public ::testing::TestWithParam<Case> {};
TEST_P(SnapshotErrors, GivesOutcome) { EXPECT_EQ(snapshot_outcome(GetParam().text), GetParam().outcome); }

INSTANTIATE_TEST_SUITE_P(
    Examples, SnapshotErrors,
    ::testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"\xEF\xBB\xBF{\"dim\":0,\"entries\":[]}", "expected value at line 1 column 1"},
        Case{"{\"dim\":2}", "missing field `entries` at line 1 column 9"},
        Case{"{\"entries\":[]}", "missing field `dim` at line 1 column 14"},
        Case{"{}", "missing field `dim` at line 1 column 2"},
        Case{"{\"dim\":-1,\"entries\":[]}", "invalid value: integer `-1`, expected usize at line 1 column 9"},
        Case{"{\"dim\":3.0,\"entries\":[]}", "invalid type: floating point `3.0`, expected usize at line 1 column 10"},
        Case{"{\"dim\":-0,\"entries\":[]}", "invalid type: floating point `-0.0`, expected usize at line 1 column 9"},
        Case{"{\"dim\":1e2,\"entries\":[]}",
             "invalid type: floating point `100.0`, expected usize at line 1 column 10"},
        Case{"{\"dim\":18446744073709551616,\"entries\":[]}",
             "invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 27"},
        Case{"{\"dim\":-9223372036854775808,\"entries\":[]}",
             "invalid value: integer `-9223372036854775808`, expected usize at line 1 column 27"},
        Case{"{\"dim\":\"3\",\"entries\":[]}", "invalid type: string \"3\", expected usize at line 1 column 10"},
        Case{"{\"dim\":[3],\"entries\":[]}", "invalid type: sequence, expected usize at line 1 column 7"},
        Case{"{\"dim\":1e400,\"entries\":[]}", "number out of range at line 1 column 12"},
        Case{"{\"dim\":1,\"entries\":{}}", "invalid type: map, expected a sequence at line 1 column 19"},
        Case{"{\"dim\":1,\"entries\":null}", "invalid type: null, expected a sequence at line 1 column 23"},
        Case{"{\"dim\":1,\"dim\":1,\"entries\":[]}", "duplicate field `dim` at line 1 column 14"},
        Case{"{\"dim\":1,\"entries\":[],\"entries\":[]}", "duplicate field `entries` at line 1 column 31"},
        Case{"{\"dim\":1,\"entries\":[7]}",
             "invalid type: integer `7`, expected struct VectorEntry at line 1 column 21"},
        Case{"[]", "invalid length 0, expected struct Snapshot with 2 elements at line 1 column 2"},
        Case{"[1]", "invalid length 1, expected struct Snapshot with 2 elements at line 1 column 3"},
        Case{"[1,[],3]", "trailing characters at line 1 column 7"},
        Case{"[1,[],]", "trailing comma at line 1 column 7"},
        Case{"5", "invalid type: integer `5`, expected struct Snapshot at line 1 column 1"},
        Case{"\"snap\"", "invalid type: string \"snap\", expected struct Snapshot at line 1 column 6"},
        Case{"{\"dim\":0,\"entries\":[]}{\"dim\":0,\"entries\":[]}", "trailing characters at line 1 column 23"},
        Case{"{\n\"dim\":1,\n\"entries\":[\n{\"id\":\"a\",\"embedding\":[1.0,\nnull]}]}",
             "invalid type: null, expected f32 at line 5 column 4"}));

TEST(SnapshotDecoding, NonFiniteValuesAreWrittenNullAndRefused) {
  const std::string text = encode(2, {{"a", {1.0f, std::numeric_limits<float>::quiet_NaN()}, "", ""}});
  EXPECT_EQ(text,
            "{\"dim\":2,\"entries\":[{\"id\":\"a\",\"embedding\":[1.0,null],\"metadata\":\"\",\"created_at\":\"\"}]}");
  EXPECT_EQ(snapshot_outcome(text), "invalid type: null, expected f32 at line 1 column 51");
}

// Encode, decode, encode again: the same entries, bit-identical values,
// the same text.
TEST(SnapshotRoundTrip, EntriesSurviveBitForBit) {
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  std::vector<VectorEntry> entries;
  for (int i = 0; i < 200; ++i) {
    VectorEntry entry{"id-" + std::to_string(i) + "\t\xC3\xA9\"", {}, "m\n" + std::to_string(i), i % 2 ? "" : "t"};
    for (int j = 0; j < 16; ++j) entry.embedding.push_back(normal(random) * std::pow(10.0f, float(j % 9) - 4.0f));
    entries.push_back(entry);
  }
  entries[0].embedding[0] = -0.0f;
  entries[1].embedding[1] = std::numeric_limits<float>::denorm_min();
  entries[2].embedding[2] = -std::numeric_limits<float>::max();
  const std::string text = encode(16, entries);
  auto snapshot = decode_snapshot(text);
  ASSERT_TRUE(snapshot) << snapshot.error().message();
  ASSERT_EQ(snapshot.value().entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const VectorEntry& back = snapshot.value().entries[i];
    EXPECT_EQ(back.id, entries[i].id);
    ASSERT_EQ(back.embedding.size(), entries[i].embedding.size());
    for (std::size_t j = 0; j < back.embedding.size(); ++j) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(back.embedding[j]), std::bit_cast<std::uint32_t>(entries[i].embedding[j]));
    }
  }
  EXPECT_EQ(encode(snapshot.value().dim, snapshot.value().entries), text);
}

}  // namespace
}  // namespace sorvid
