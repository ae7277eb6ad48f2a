#include "formats/quoted_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvid {
namespace {

struct QuoteCase {
  std::string input;
  std::string expected;
};

class QuoteTextTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTextTest, MatchesExpectedForm) { EXPECT_EQ(quote_text(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteTextTest,
    ::testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"doc-1", "\"doc-1\""},
                      QuoteCase{"say \"hi\"", "\"say \\\"hi\\\"\""}, QuoteCase{"a\\b", "\"a\\\\b\""},
                      QuoteCase{"it's", "\"it's\""},  // single quote is not escaped
                      QuoteCase{"\t\r\n", "\"\\t\\r\\n\""}, QuoteCase{std::string("a\0b", 3), "\"a\\0b\""},
                      QuoteCase{"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},              // Cc
                      QuoteCase{"a b", "\"a b\""},                                        // ASCII space stands
                      QuoteCase{"\u00a0", "\"\\u{a0}\""},                                 // Zs no-break space
                      QuoteCase{"\u3000", "\"\\u{3000}\""},                               // Zs ideographic space
                      QuoteCase{"\u2028\u2029", "\"\\u{2028}\\u{2029}\""},                // Zl, Zp
                      QuoteCase{"\u00ad\u200b\ufeff", "\"\\u{ad}\\u{200b}\\u{feff}\""},   // Cf
                      QuoteCase{"\ue000", "\"\\u{e000}\""},                               // Co
                      QuoteCase{"\U0010ffff", "\"\\u{10ffff}\""},                         // Cn (noncharacter)
                      QuoteCase{"\u0378", "\"\\u{378}\""},                                // Cn (unassigned)
                      QuoteCase{"e\u0301", "\"e\\u{301}\""},                              // Grapheme_Extend
                      QuoteCase{"\u200d", "\"\\u{200d}\""},                               // Cf and Grapheme_Extend
                      QuoteCase{"\u00e9\u4e2d\U0001f600", "\"\u00e9\u4e2d\U0001f600\""},  // letters, emoji stand
                      QuoteCase{"\xff", "\"\\u{fffd}\""},                                 // invalid byte
                      QuoteCase{"\xed\xa0\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},       // encoded surrogate
                      QuoteCase{"\xc3", "\"\\u{fffd}\""}));                               // truncated sequence

}  // namespace
}  // namespace sorvid
