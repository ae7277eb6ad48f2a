// UTF-8 decoding at the edges of each sequence length, encoding of every
// scalar value, and validation around the eight-byte ASCII steps.
#include "formats/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sorvid {
namespace {

struct DecodeCase {
  std::string bytes;
  std::uint32_t code_point;
  std::size_t length;  // 0: not well-formed
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.bytes); }

class DecodeUtf8 : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, GivesCodePointAndLength) {
  const Utf8Sequence sequence = decode_utf8(GetParam().bytes);
  EXPECT_EQ(sequence.length, GetParam().length);
  if (GetParam().length != 0) {
    EXPECT_EQ(sequence.code_point, GetParam().code_point);
  }
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().length != 0);
}

INSTANTIATE_TEST_SUITE_P(WellFormed, DecodeUtf8,
                         ::testing::Values(DecodeCase{std::string(1, '\0'), 0x0, 1}, DecodeCase{"\x7F", 0x7F, 1},
                                           DecodeCase{"\xC2\x80", 0x80, 2}, DecodeCase{"\xDF\xBF", 0x7FF, 2},
                                           DecodeCase{"\xE0\xA0\x80", 0x800, 3}, DecodeCase{"\xED\x9F\xBF", 0xD7FF, 3},
                                           DecodeCase{"\xEE\x80\x80", 0xE000, 3}, DecodeCase{"\xEF\xBF\xBF", 0xFFFF, 3},
                                           DecodeCase{"\xF0\x90\x80\x80", 0x10000, 4},
                                           DecodeCase{"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
                                           DecodeCase{"\xC3\xA9xyz", 0xE9, 2}));

INSTANTIATE_TEST_SUITE_P(NotWellFormed, DecodeUtf8,
                         ::testing::Values(DecodeCase{"\x80", 0, 0}, DecodeCase{"\xBF", 0, 0},
                                           DecodeCase{"\xC0\x80", 0, 0},          // overlong NUL
                                           DecodeCase{"\xC1\xBF", 0, 0},          // overlong U+7F
                                           DecodeCase{"\xE0\x9F\xBF", 0, 0},      // overlong U+7FF
                                           DecodeCase{"\xED\xA0\x80", 0, 0},      // surrogate U+D800
                                           DecodeCase{"\xED\xBF\xBF", 0, 0},      // surrogate U+DFFF
                                           DecodeCase{"\xF0\x8F\xBF\xBF", 0, 0},  // overlong U+FFFF
                                           DecodeCase{"\xF4\x90\x80\x80", 0, 0},  // U+110000
                                           DecodeCase{"\xF5\x80\x80\x80", 0, 0}, DecodeCase{"\xFF", 0, 0},
                                           DecodeCase{"\xE2\x82", 0, 0},            // truncated
                                           DecodeCase{"\xF0\x9F\x98", 0, 0},        // truncated
                                           DecodeCase{"\xE2\x28\xA1", 0, 0},        // second byte not a continuation
                                           DecodeCase{"\xF0\x9F\x98\x41", 0, 0}));  // last byte not a continuation

TEST(EncodeUtf8, EveryScalarValueDecodesBack) {
  std::string all;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    std::string one;
    append_utf8(one, cp);
    const std::size_t expected_length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(one.size(), expected_length) << std::hex << cp;
    const Utf8Sequence sequence = decode_utf8(one);
    ASSERT_EQ(sequence.length, expected_length) << std::hex << cp;
    ASSERT_EQ(sequence.code_point, cp);
    all += one;
  }
  EXPECT_TRUE(is_valid_utf8(all));
}

// A byte that breaks the text, or a valid sequence, at every place before,
// inside and after whole eight-byte ASCII blocks.
TEST(ValidateUtf8, FindsTheBreakAtEveryPosition) {
  for (std::size_t position = 0; position <= 24; ++position) {
    const std::string before(position, 'a');
    const std::string after(24 - position, 'b');
    EXPECT_FALSE(is_valid_utf8(before + "\x80" + after)) << position;
    EXPECT_FALSE(is_valid_utf8(before + "\xE2\x82")) << position;
    EXPECT_TRUE(is_valid_utf8(before + "\xE2\x82\xAC" + after)) << position;
  }
  EXPECT_TRUE(is_valid_utf8(""));
}

}  // namespace
}  // namespace sorvid
