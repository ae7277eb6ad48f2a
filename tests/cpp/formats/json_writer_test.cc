// The writer: string escapes, integers, and the spelling of 32-bit floats.
#include "formats/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "formats/float_text.h"

namespace sorvid {
namespace {

std::string string_text(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string float_text(float value) {
  std::string out;
  append_float_text(out, value);
  return out;
}

TEST(JsonStringWriter, EscapesQuoteBackslashAndControlBytes) {
  EXPECT_EQ(string_text("a\"b\\c\td\xC3\xA9"), "\"a\\\"b\\\\c\\td\xC3\xA9\"");
  EXPECT_EQ(string_text(std::string_view("\x00\x01\x08\x0a\x0c\x0d\x1b\x1f", 8)),
            "\"\\u0000\\u0001\\b\\n\\f\\r\\u001b\\u001f\"");
  EXPECT_EQ(string_text("/\x7f \xF0\x9F\x98\x80"), "\"/\x7f \xF0\x9F\x98\x80\"");
  EXPECT_EQ(string_text(""), "\"\"");
}

TEST(JsonStringWriter, EveryByteBelowSpaceIsEscapedAndNoOtherIs) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string text = string_text(std::string(1, static_cast<char>(byte)));
    const bool escaped = byte < 0x20 || byte == '"' || byte == '\\';
    EXPECT_EQ(text.size() > 3, escaped) << "byte " << byte;
  }
}

TEST(JsonUintWriter, WritesDecimalDigits) {
  std::string out;
  append_json_uint(out, 0);
  out.push_back(' ');
  append_json_uint(out, 384);
  out.push_back(' ');
  append_json_uint(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, "0 384 18446744073709551615");
}

struct FloatSpelling {
  float value;
  const char* text;
};

class FloatWriter : public ::testing::TestWithParam<FloatSpelling> {};

TEST_P(FloatWriter, SpellsValue) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(WriterTable, FloatWriter,
                         ::testing::Values(FloatSpelling{1.0f, "1.0"}, FloatSpelling{0.1f, "0.1"},
                                           FloatSpelling{-2.5f, "-2.5"}, FloatSpelling{100.0f, "100.0"},
                                           FloatSpelling{123456792.0f, "123456790.0"},
                                           FloatSpelling{1e12f, "1000000000000.0"}, FloatSpelling{1e13f, "1e+13"},
                                           FloatSpelling{1.5e13f, "1.5e+13"}, FloatSpelling{1e-6f, "0.000001"},
                                           FloatSpelling{1.25e-6f, "0.00000125"}, FloatSpelling{1e-7f, "1e-7"},
                                           FloatSpelling{std::numeric_limits<float>::max(), "3.4028235e+38"},
                                           FloatSpelling{std::numeric_limits<float>::denorm_min(), "1e-45"}));

INSTANTIATE_TEST_SUITE_P(
    EdgeValues, FloatWriter,
    ::testing::Values(FloatSpelling{16777216.0f, "16777216.0"}, FloatSpelling{0.0f, "0.0"},
                      FloatSpelling{-0.0f, "-0.0"}, FloatSpelling{std::nanf(""), "null"},
                      FloatSpelling{-std::numeric_limits<float>::quiet_NaN(), "null"},
                      FloatSpelling{std::numeric_limits<float>::infinity(), "null"},
                      FloatSpelling{-std::numeric_limits<float>::infinity(), "null"},
                      // Two shortest candidates equally near: the even last digit.
                      FloatSpelling{2124481.75f, "2124481.8"}, FloatSpelling{0.5f, "0.5"}, FloatSpelling{-1.0f, "-1.0"},
                      FloatSpelling{123.456f, "123.456"}, FloatSpelling{999999.94f, "999999.94"},
                      FloatSpelling{1.17549435e-38f, "1.1754944e-38"}, FloatSpelling{-1.1754942e-38f, "-1.1754942e-38"},
                      FloatSpelling{9.999999e-7f, "9.999999e-7"}, FloatSpelling{1.0000001e-6f, "0.0000010000001"},
                      FloatSpelling{9.999999e12f, "9999999000000.0"}, FloatSpelling{1e10f, "10000000000.0"},
                      FloatSpelling{1.2345678e12f, "1234567800000.0"}, FloatSpelling{1e20f, "1e+20"},
                      FloatSpelling{3e-45f, "3e-45"}, FloatSpelling{1e-10f, "1e-10"},
                      // The shortest digits, 7.038531e-26, would read back (through
                      // the nearest double, exactly a midpoint) as the next float.
                      FloatSpelling{std::bit_cast<float>(0x15ae43fdu), "7.0385307e-26"},
                      FloatSpelling{std::bit_cast<float>(0x95ae43fdu), "-7.0385307e-26"},
                      FloatSpelling{std::bit_cast<float>(0x15ae43feu), "7.0385313e-26"}));

// Arrays are written through a local chunk; these cross its boundary many
// times, with values of many text lengths up to the longest
// ("-0.0000010000001", 16 bytes) and the exponent forms.
TEST(FloatArrayWriter, LongArraysOfEveryTextLength) {
  const float longest = -std::bit_cast<float>(0x358637beu);
  const std::vector<FloatSpelling> samples = {{longest, "-0.0000010000001"},
                                              {1.0f, "1.0"},
                                              {-0.0f, "-0.0"},
                                              {0.5f, "0.5"},
                                              {-3.4028235e38f, "-3.4028235e+38"},
                                              {1e-45f, "1e-45"},
                                              {123456790.0f, "123456790.0"},
                                              {-0.000123456791f, "-0.00012345679"},
                                              {1e12f, "1000000000000.0"},
                                              {std::bit_cast<float>(0x15ae43fdu), "7.0385307e-26"}};
  std::vector<float> values;
  std::string expected = "[";
  for (int i = 0; i < 3000; ++i) {
    const FloatSpelling& sample = samples[static_cast<std::size_t>(i) % samples.size()];
    values.push_back(sample.value);
    if (i != 0) expected += ',';
    expected += sample.text;
  }
  expected += ']';
  std::string out = "x";
  append_json_float_array(out, values);
  EXPECT_EQ(out, "x" + expected);
  EXPECT_EQ(kMaxFloatTextLength, 16);  // the length of "-0.0000010000001"
}

TEST(FloatArrayWriter, EmptyArray) {
  std::string out;
  append_json_float_array(out, {});
  EXPECT_EQ(out, "[]");
}

struct MessageSpelling {
  double value;
  const char* text;
};

class FloatMessageText : public ::testing::TestWithParam<MessageSpelling> {};

TEST_P(FloatMessageText, SpellsValue) { EXPECT_EQ(float_text_for_message(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(TypeErrorSpelling, FloatMessageText,
                         ::testing::Values(MessageSpelling{3.0, "3.0"}, MessageSpelling{-0.0, "-0.0"},
                                           MessageSpelling{0.1, "0.1"}, MessageSpelling{1e15, "1000000000000000.0"},
                                           MessageSpelling{1e16, "1e+16"}, MessageSpelling{1.5e16, "1.5e+16"},
                                           MessageSpelling{1e-5, "0.00001"}, MessageSpelling{1e-6, "1e-6"},
                                           MessageSpelling{1e-7, "1e-7"},
                                           MessageSpelling{18446744073709551616.0, "1.8446744073709552e+19"},
                                           MessageSpelling{1e300, "1e+300"}, MessageSpelling{-2.5e-300, "-2.5e-300"},
                                           MessageSpelling{5e-324, "5e-324"},
                                           MessageSpelling{123456.789, "123456.789"}));

}  // namespace
}  // namespace sorvid
