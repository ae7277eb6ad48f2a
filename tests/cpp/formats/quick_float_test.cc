// The quick reading of embedding values against the full one (scan_decimal,
// evaluate_number, number_to_float): wherever it takes a text, the same
// float to the bit and the same end; wherever the full reading fails, it
// declines. Texts of every class of float, and texts near the midpoints
// between floats, where a wrong rounding would show.
#include "formats/quick_float.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "formats/decimal.h"
#include "formats/float_text.h"
#include "formats/json_number.h"

namespace sorvid {
namespace {

// The text as an element of an array, with room after it as in a file.
constexpr std::string_view kAfter = ",0.25,-0.125,0.5,1.0,-2.0,3.0,4.0]";

// How the quick reading fared: declined, or matched the full reading.
enum class Outcome { kDeclined, kMatched };

Outcome compare_with_full_reading(const std::string& number) {
  const std::string text = number + std::string(kAfter);
  const char* begin = text.data();
  const char* end = begin + text.size();
  float quick = 0;
  const char* quick_stop = read_quick_float(begin, end, quick);
  if (quick_stop == nullptr) return Outcome::kDeclined;
  Decimal decimal;
  const DecimalScan scan = scan_decimal(begin, end, decimal);
  EXPECT_EQ(scan.status, DecimalScanStatus::kComplete) << number;
  EXPECT_EQ(quick_stop, scan.stop) << number;
  const std::optional<JsonNumber> full = evaluate_number(decimal);
  EXPECT_TRUE(full.has_value()) << number;
  if (full) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(quick), std::bit_cast<std::uint32_t>(number_to_float(*full))) << number;
  }
  return Outcome::kMatched;
}

std::string scientific(double value, int precision) {
  char buffer[64];
  return {buffer, std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, precision).ptr};
}

std::string fixed(double value, int precision) {
  char buffer[512];
  return {buffer, std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision).ptr};
}

// Texts for one float: its file spelling, 9 and 17 digits, plain forms,
// and the midpoints to its neighbours (and a few doubles around them) in
// 16 and 17 digits, where the nearest double decides the float.
std::vector<std::string> texts_around(float value) {
  std::vector<std::string> texts;
  char buffer[kFloatTextRoom];
  texts.emplace_back(buffer, write_float_text(buffer, value));
  texts.push_back(scientific(value, 8));
  texts.push_back(scientific(value, 16));
  texts.push_back(fixed(value, 9));
  texts.push_back(fixed(value, 12));
  const double up = std::nextafter(value, std::numeric_limits<float>::infinity());
  const double midpoint = (static_cast<double>(value) + up) / 2;
  double near = midpoint;
  double below = midpoint;
  for (int step = 0; step < 3; ++step) {
    for (const double point : {near, below}) {
      texts.push_back(scientific(point, 15));
      texts.push_back(scientific(point, 16));
      texts.push_back(fixed(point, 17));
    }
    near = std::nextafter(near, 1e300);
    below = std::nextafter(below, -1e300);
  }
  return texts;
}

// Every class of float: random bit patterns over all exponents (subnormals,
// near overflow), both signs.
TEST(QuickFloat, MatchesTheFullReadingAroundRandomFloats) {
  std::mt19937 random(17);
  int matched = 0;
  for (int i = 0; i < 40000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(value)) continue;
    for (const std::string& text : texts_around(value)) {
      if (compare_with_full_reading(text) == Outcome::kMatched) ++matched;
    }
  }
  EXPECT_GT(matched, 100000);  // the comparison is not vacuous
}

// The values of an embedding, |x| < 1 with many below 0.01: every file
// spelling is taken, and the texts near them match where taken.
TEST(QuickFloat, TakesEveryFileSpellingOfEmbeddingValues) {
  std::mt19937 random(5);
  std::normal_distribution<float> values(0.0f, 0.05f);
  for (int i = 0; i < 200000; ++i) {
    const float value = values(random);
    const std::vector<std::string> texts = texts_around(value);
    ASSERT_EQ(compare_with_full_reading(texts[0]), Outcome::kMatched) << texts[0];
    for (std::size_t j = 1; j < texts.size(); ++j) compare_with_full_reading(texts[j]);
  }
}

TEST(QuickFloat, IntegersExponentsAndZeros) {
  std::mt19937_64 random(3);
  std::vector<std::string> texts;
  std::istringstream listed(
      "0 -0 0.0 -0.0 0e0 -0e-5 1 -1 9 1e0 1E+2 1e-2 15e-6 1.5e-05 2.5E0 1e22 1e23 -1e-22 1e-23 1.0e+01 9999999.5 "
      "1234567.0123456789 9007199254740993 0.9007199254740993 0.1234567890123456789 0.000000000000001 "
      "3.4028235e38 1.4e-45");
  for (std::string text; listed >> text;) texts.push_back(text);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t integer = random() >> (random() % 64);
    texts.push_back(std::to_string(integer));
    texts.push_back("-" + std::to_string(integer) + "e-" + std::to_string(random() % 30));
    texts.push_back(std::to_string(integer % 10000000) + "." + std::to_string(integer) + "e" +
                    std::to_string(static_cast<int>(random() % 50) - 25));
  }
  for (const std::string& text : texts) compare_with_full_reading(text);
  EXPECT_EQ(compare_with_full_reading("0.5"), Outcome::kMatched);
  EXPECT_EQ(compare_with_full_reading("-12.75e-3"), Outcome::kMatched);
}

// Texts the full reading refuses, or stops early in, are declined or end
// where it ends.
TEST(QuickFloat, DeclinesWhatTheFullReadingRefuses) {
  for (const std::string text : {"-", "-x", "01", "-00.5", "1.", "1.e5", ".5", "1e", "1e+", "1e-x", "1.5e0001",
                                 "0.1234567890123456", "12345678.5", "1e99999", "1.5e-400"}) {
    compare_with_full_reading(text);
  }
  EXPECT_EQ(compare_with_full_reading("01"), Outcome::kDeclined);
  EXPECT_EQ(compare_with_full_reading("1."), Outcome::kDeclined);
  EXPECT_EQ(compare_with_full_reading("-x"), Outcome::kDeclined);
}

// Near the end of the text the quick reading declines rather than read
// past it.
TEST(QuickFloat, DeclinesWithoutRoomBeforeTheEnd) {
  const std::string text = "-0.0123456789";
  float value = 0;
  EXPECT_EQ(read_quick_float(text.data(), text.data() + text.size(), value), nullptr);
}

}  // namespace
}  // namespace sorvid
