// The float writer, one value at a time and in arrays, against a plain
// spelling built from the writing rules with std::to_chars digits, over
// many bit patterns.
#include "formats/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sorvid {
namespace {

struct PlainDigits {
  std::string digits;  // d1 ... dn, no trailing zeros
  int exponent = 0;    // of d1
};

// "d.ddde+XX" as printed by std::to_chars, `precision` digits after the
// point (or the shortest round trip when negative).
PlainDigits scientific_digits(float magnitude, int precision) {
  char text[64];
  const auto result =
      precision < 0 ? std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific)
                    : std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific, precision);
  const std::string printed(text, result.ptr);
  const std::size_t mark = printed.find('e');
  PlainDigits plain;
  for (std::size_t i = 0; i < mark; ++i) {
    if (printed[i] != '.') plain.digits += printed[i];
  }
  while (plain.digits.size() > 1 && plain.digits.back() == '0') plain.digits.pop_back();
  plain.exponent = std::stoi(printed.substr(mark + 1));
  return plain;
}

// The reader's rounding, worked out apart from it: the nearest double
// (std::from_chars), then the nearest float (the digits of a finite float
// never lie beyond the float range).
bool reader_reads_back(const PlainDigits& plain, float magnitude) {
  const std::string text =
      plain.digits + "e" + std::to_string(plain.exponent - static_cast<int>(plain.digits.size()) + 1);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return static_cast<float>(value) == magnitude;
}

// The shortest digits that this system's reader reads back as the value:
// the shortest round-trip digits, or when double rounding in the reader
// defeats them, the fewest correctly rounded digits that survive it.
PlainDigits file_digits(float magnitude) {
  PlainDigits plain = scientific_digits(magnitude, -1);
  for (int precision = static_cast<int>(plain.digits.size()); !reader_reads_back(plain, magnitude); ++precision) {
    plain = scientific_digits(magnitude, precision);
  }
  return plain;
}

std::string plain_float_text(float value) {
  if (!std::isfinite(value)) return "null";
  std::string text = std::signbit(value) ? "-" : "";
  if (value == 0) return text + "0.0";
  const PlainDigits plain = file_digits(std::fabs(value));
  const std::string& d = plain.digits;
  const int n = static_cast<int>(d.size());
  const int e = plain.exponent;
  const auto count = [](int length) { return static_cast<std::size_t>(length); };
  if (e <= 12 && n - 1 <= e) {
    text.append(d).append(count(e + 1 - n), '0').append(".0");
  } else if (e >= 0 && e <= 12) {
    text.append(d, 0, count(e + 1)).append(".").append(d, count(e + 1));
  } else if (e >= -6 && e < 0) {
    text.append("0.").append(count(-e - 1), '0').append(d);
  } else {
    text.append(d, 0, 1);
    if (n >= 2) text.append(".").append(d, 1);
    text.append(e < 0 ? "e-" : "e+").append(std::to_string(std::abs(e)));
  }
  return text;
}

std::string fast_float_text(float value) {
  char buffer[kFloatTextRoom];
  const char* end = write_float_text(buffer, value);
  return std::string(static_cast<const char*>(buffer), end);
}

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

void expect_same_text(std::uint32_t bits) {
  const float value = from_bits(bits);
  ASSERT_EQ(fast_float_text(value), plain_float_text(value)) << "bits 0x" << std::hex << bits;
}

// The array writer stages the digits of several values before laying them
// out; its text must be the plain texts joined.
void expect_same_array(const std::vector<std::uint32_t>& bits) {
  std::vector<float> values;
  std::string expected = "[";
  for (const std::uint32_t pattern : bits) {
    if (!values.empty()) expected += ',';
    values.push_back(from_bits(pattern));
    expected += plain_float_text(values.back());
  }
  expected += ']';
  std::string out;
  append_float_array(out, values);
  ASSERT_EQ(out, expected);
}

TEST(FloatTextMatchesPlain, DoubleRoundingExceptionAndNeighbours) {
  std::vector<std::uint32_t> patterns;
  for (std::uint32_t bits = 0x15ae43f0u; bits <= 0x15ae4410u; ++bits) {
    patterns.push_back(bits);
    patterns.push_back(bits | 0x80000000u);
    expect_same_text(bits);
    expect_same_text(bits | 0x80000000u);
  }
  expect_same_array(patterns);
  EXPECT_EQ(fast_float_text(from_bits(0x15ae43fdu)), "7.0385307e-26");
}

TEST(FloatTextMatchesPlain, EveryExponentBothSigns) {
  std::mt19937 random(7);
  const auto random_fraction = [&] { return static_cast<std::uint32_t>(random()) & 0x7fffffu; };
  std::vector<std::uint32_t> patterns;
  for (std::uint32_t biased = 0; biased <= 255; ++biased) {
    const std::uint32_t fractions[] = {0,
                                       1,
                                       2,
                                       0x7fffff,
                                       0x7ffffe,
                                       0x400000,
                                       random_fraction(),
                                       random_fraction(),
                                       random_fraction(),
                                       random_fraction()};
    for (const std::uint32_t fraction : fractions) {
      patterns.push_back((biased << 23) | fraction);
      patterns.push_back(0x80000000u | (biased << 23) | fraction);
      expect_same_text(patterns[patterns.size() - 2]);
      expect_same_text(patterns.back());
    }
  }
  expect_same_array(patterns);
}

TEST(FloatTextMatchesPlain, Subnormals) {
  for (std::uint32_t bits = 1; bits < 20000; ++bits) expect_same_text(bits);
  std::mt19937 random(11);
  for (int i = 0; i < 20000; ++i) expect_same_text(static_cast<std::uint32_t>(random()) & 0x807fffffu);
}

// Around every power of ten, where the digit count and the layout change
// (plain from 1e-6 to below 1e13, exponent form beyond).
TEST(FloatTextMatchesPlain, AroundPowersOfTen) {
  for (int power = -45; power <= 38; ++power) {
    const std::string text = "1e" + std::to_string(power);
    const auto bits = std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr));
    for (std::uint32_t near = bits - 3; near <= bits + 3; ++near) expect_same_text(near);
  }
}

TEST(FloatTextMatchesPlain, RandomBitPatterns) {
  std::mt19937 random(13);
  std::vector<std::uint32_t> patterns;
  for (int i = 0; i < 200000; ++i) {
    patterns.push_back(static_cast<std::uint32_t>(random()));
    expect_same_text(patterns.back());
  }
  expect_same_array(patterns);
}

// Values of the kind embeddings hold: normal spread, most between 0.001 and 10.
TEST(FloatTextMatchesPlain, NormalSpreadValues) {
  std::mt19937 random(17);
  std::normal_distribution<float> normal;
  std::vector<std::uint32_t> patterns;
  for (int i = 0; i < 100000; ++i) {
    patterns.push_back(std::bit_cast<std::uint32_t>(normal(random)));
    expect_same_text(patterns.back());
  }
  expect_same_array(patterns);
}

// The array writer grows the text in place and cuts it back: arrays of
// every length up to a few hundred, after text already in the buffer,
// hold exactly the plain texts.
TEST(FloatTextMatchesPlain, ArraysAppendedInPlace) {
  std::mt19937 random(19);
  std::string out = "prefix";
  std::string expected = "prefix";
  for (std::size_t length = 0; length < 300; length += 7) {
    std::vector<float> values;
    expected += '[';
    for (std::size_t i = 0; i < length; ++i) {
      values.push_back(from_bits(static_cast<std::uint32_t>(random())));
      if (i != 0) expected += ',';
      expected += plain_float_text(values.back());
    }
    expected += ']';
    append_float_array(out, values);
    ASSERT_EQ(out, expected) << "length " << length;
  }
}

}  // namespace
}  // namespace sorvid
