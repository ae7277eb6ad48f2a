// Decoding a snapshot in chunks on the worker pool: the very document, or
// the very first error, that decoding it in one pass gives.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "formats/snapshot.h"

namespace sorvid {
namespace {

// "ok" and the document written again, or the error.
std::string outcome(const Result<Snapshot, JsonError>& decoded) {
  if (!decoded) return decoded.error().message();
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& entry : decoded.value().entries) pointers.push_back(&entry);
  std::string text = "ok ";
  encode_snapshot(decoded.value().dim, pointers, text);
  return text;
}

std::string chunked_outcome(std::string_view text, std::size_t chunk_bytes) {
  return outcome(decode_snapshot_in_chunks(text, WorkerPool::instance(), chunk_bytes));
}

// `count` entries with random values of mixed magnitude (some off the fast
// float path) and ids, metadata that vary in length.
std::string random_snapshot(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> normal;
  std::vector<VectorEntry> entries(count);
  std::vector<const VectorEntry*> pointers;
  for (std::size_t i = 0; i < count; ++i) {
    VectorEntry& entry = entries[i];
    entry.id = "e" + std::to_string(i) + std::string(random() % 5, 'x');
    for (int j = 0; j < 6; ++j) entry.embedding.push_back(normal(random) * (j == 5 ? 1e-20f : 1.0f));
    entry.metadata = std::string(random() % 40, 'm');
    pointers.push_back(&entry);
  }
  std::string text;
  encode_snapshot(6, pointers, text);
  return text;
}

// Chunk sizes from one entry per chunk to a single chunk.
const std::vector<std::size_t> kChunkBytes = {1, 90, 300, 1000, std::size_t{1} << 20};

class ChunkedDecode : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(ChunkedDecode, GivesTheEntriesOfTheOnePassDecode) {
  const auto [count, chunk_bytes] = GetParam();
  const std::string text = random_snapshot(count, static_cast<unsigned>(count));
  auto sequential = decode_snapshot(text);
  auto chunked = decode_snapshot_in_chunks(text, WorkerPool::instance(), chunk_bytes);
  ASSERT_TRUE(sequential && chunked);
  EXPECT_EQ(chunked.value().dim, 6u);
  ASSERT_EQ(chunked.value().entries.size(), count);
  EXPECT_EQ(chunked.value().entries, sequential.value().entries);
}

// With the embeddings taken from elsewhere: every other field as read, the
// embeddings left empty, and the reader past each one.
TEST_P(ChunkedDecode, PassingOverTheEmbeddingsLeavesOnlyThemOut) {
  const auto [count, chunk_bytes] = GetParam();
  const std::string text = random_snapshot(count, static_cast<unsigned>(count));
  auto read = decode_snapshot(text);
  auto passed = decode_snapshot_in_chunks(text, WorkerPool::instance(), chunk_bytes, EmbeddingText::kPassOver);
  ASSERT_TRUE(read && passed);
  std::vector<VectorEntry> expected = read.value().entries;
  for (VectorEntry& entry : expected) entry.embedding.clear();
  EXPECT_EQ(passed.value().entries, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkedDecode,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 17, 250), ::testing::ValuesIn(kChunkBytes)));

// Texts that the guesses at entry boundaries get wrong, and texts with one
// or more errors: every chunk size gives the one-pass outcome.
struct Text {
  std::string name;
  std::string text;
};

void PrintTo(const Text& t, std::ostream* os) { *os << t.name; }

std::string entry(std::size_t i) {
  return R"({"id":"a)" + std::to_string(i) + R"(","embedding":[1.5,-2],"metadata":"m","created_at":"t"})";
}
const std::string kEntry = entry(99);

std::string list_of(const std::vector<std::string>& entries, std::string_view tail = "]}") {
  std::string text = R"({"dim":2,"entries":[)";
  for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? "," : "") + entries[i];
  return text.append(tail);
}

// Twelve plain entries with those given replacing some.
std::string with(const std::vector<std::pair<std::size_t, std::string>>& replaced, std::string_view tail = "]}") {
  std::vector<std::string> entries;
  for (std::size_t i = 0; i < 12; ++i) entries.push_back(entry(i));
  for (const auto& [index, entry] : replaced) entries[index] = entry;
  return list_of(entries, tail);
}

const std::string kNullValue = R"({"id":"b","embedding":[1.5,null],"metadata":"m","created_at":"t"})";
const std::string kMissingId = R"({"embedding":[1.5,-2],"metadata":"m","created_at":"t"})";
const std::string kBadNumber = R"({"id":"c","embedding":[1.5,-2.],"metadata":"m","created_at":"t"})";
// Holds the bytes that separate entries, inside an unknown member.
const std::string kFalseSeparator =
    R"({"id":"d","x":[{"y":1},{"id":2}],"embedding":[1.5,-2],"metadata":"m","created_at":"t"})";

class ChunkedOutcome : public ::testing::TestWithParam<Text> {};

TEST_P(ChunkedOutcome, IsTheOnePassOutcome) {
  const std::string expected = outcome(decode_snapshot(GetParam().text));
  for (const std::size_t chunk_bytes : kChunkBytes) {
    EXPECT_EQ(chunked_outcome(GetParam().text, chunk_bytes), expected) << "chunks of " << chunk_bytes;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ChunkedOutcome,
    ::testing::Values(
        Text{"plain", with({})}, Text{"false separator", with({{4, kFalseSeparator}})},
        Text{"false separators in a row", with({{3, kFalseSeparator}, {4, kFalseSeparator}, {5, kFalseSeparator}})},
        Text{"separator after the array", with({}, R"(],"x":[{"a":1},{"id":2},{"a":3},{"id":4}]})")},
        Text{"separator in a string",
             with({{6, R"({"id":"},{\"id\":","embedding":[0,1],"metadata":"","created_at":""})"}})},
        Text{"pretty printed", "{\"dim\":2,\"entries\":[\n" + kEntry + ",\n" + kEntry + "\n]}"},
        Text{"null value", with({{7, kNullValue}})}, Text{"missing field", with({{0, kMissingId}})},
        Text{"bad number in the last entry", with({{11, kBadNumber}})},
        Text{"errors in two chunks", with({{3, kNullValue}, {9, kMissingId}})},
        Text{"errors in every entry", list_of(std::vector<std::string>(12, kBadNumber))},
        Text{"error past a false separator", with({{2, kFalseSeparator}, {8, kNullValue}})},
        Text{"error inside a false separator's entry", with({{5, R"({"id":"d","x":[{},{"id":2}],"embedding":[1,2,)"
                                                                 R"(]],"metadata":"m","created_at":"t"})"}})},
        Text{"cut short", with({}).substr(0, 400)}, Text{"trailing comma", with({}, ",]}")},
        Text{"missing comma", with({{4, kEntry + kEntry}})}, Text{"trailing characters", with({}, "]}]")},
        Text{"error after the array", with({{7, kNullValue}}, R"(],"dim":3})")},
        Text{"line feeds before errors", with({{1, "\n\n" + kEntry}, {6, kNullValue}})},
        Text{"array forms", list_of({kEntry, R"(["b",[1,2],"",""])", kEntry, R"(["c",[1,2],""])", kEntry})}));

}  // namespace
}  // namespace sorvid
