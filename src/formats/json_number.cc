#include "formats/json_number.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "formats/float_text.h"

namespace sorvid {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The parts of a number text: sign, up to 19 significant digits and the
// decimal exponent of the last digit taken.
struct DecimalParts {
  bool negative = false;
  bool integer_form = true;
  bool exact = true;  // all digits taken and the exponent parsed without overflow
  std::uint64_t significand = 0;
  long long exponent = 0;
};

DecimalParts split_decimal(std::string_view text) {
  DecimalParts parts;
  std::size_t i = 0;
  if (text[i] == '-') {
    parts.negative = true;
    ++i;
  }
  int taken = 0;
  auto take_digit = [&](char c, bool fractional) {
    if (taken < 19) {
      parts.significand = parts.significand * 10 + static_cast<std::uint64_t>(c - '0');
      if (parts.significand != 0) ++taken;
      if (fractional) --parts.exponent;
    } else {
      parts.exact = false;
      if (!fractional) ++parts.exponent;
    }
  };
  for (; i < text.size() && is_digit(text[i]); ++i) take_digit(text[i], false);
  if (i < text.size() && text[i] == '.') {
    parts.integer_form = false;
    for (++i; i < text.size() && is_digit(text[i]); ++i) take_digit(text[i], true);
  }
  if (i < text.size()) {  // 'e' or 'E'
    parts.integer_form = false;
    ++i;
    bool negative_exponent = false;
    if (text[i] == '+' || text[i] == '-') {
      negative_exponent = text[i] == '-';
      ++i;
    }
    long long exponent = 0;
    for (; i < text.size(); ++i) {
      if (exponent > 100000000) {
        parts.exact = false;  // far beyond any double; leave it to from_chars
        continue;
      }
      exponent = exponent * 10 + (text[i] - '0');
    }
    parts.exponent += negative_exponent ? -exponent : exponent;
  }
  return parts;
}

// True when a number that from_chars found out of range is too large (and
// not too small): its first significant digit stands at 10^1 or above.
bool beyond_double_range(std::string_view text) {
  long long first_digit_exponent = 0;
  bool seen_nonzero = false;
  bool after_point = false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    const char c = text[i];
    if (c == '.') {
      after_point = true;
    } else if (!seen_nonzero) {
      if (after_point) --first_digit_exponent;
      if (c != '0') seen_nonzero = true;
    } else if (!after_point) {
      ++first_digit_exponent;
    }
  }
  long long exponent = 0;
  if (i < text.size()) {
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    for (; i < text.size() && exponent < 1000000000; ++i) exponent = exponent * 10 + (text[i] - '0');
    if (negative) exponent = -exponent;
  }
  return first_digit_exponent + exponent > 0;
}

std::optional<double> nearest_double(std::string_view text, const DecimalParts& parts) {
  if (parts.significand == 0) {  // every digit is zero, whatever the exponent
    return parts.negative ? -0.0 : 0.0;
  }
  if (parts.exact && parts.significand <= kMaxExactInDouble && parts.exponent >= -22 && parts.exponent <= 22) {
    // Both operands are exact, so one correctly rounded operation suffices.
    double value = static_cast<double>(parts.significand);
    value = parts.exponent < 0 ? value / kExactPowersOfTen[-parts.exponent] : value * kExactPowersOfTen[parts.exponent];
    return parts.negative ? -value : value;
  }
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    if (beyond_double_range(text)) return std::nullopt;
    return parts.negative ? -0.0 : 0.0;
  }
  return value;
}

}  // namespace

std::optional<JsonNumber> evaluate_number(std::string_view text) {
  const DecimalParts parts = split_decimal(text);
  JsonNumber number;
  if (parts.integer_form && parts.exact && parts.exponent == 0) {
    if (!parts.negative) {
      number.kind = JsonNumber::Kind::kUnsigned;
      number.unsigned_value = parts.significand;
      return number;
    }
    constexpr std::uint64_t kMinSignedMagnitude = std::uint64_t{1} << 63;
    if (parts.significand != 0 && parts.significand <= kMinSignedMagnitude) {
      number.kind = JsonNumber::Kind::kSigned;
      number.signed_value = static_cast<std::int64_t>(0 - parts.significand);
      return number;
    }
  }
  // A 20-digit integer may still fit 64 bits unsigned.
  if (parts.integer_form && !parts.negative && !parts.exact) {
    std::uint64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc() && result.ptr == text.data() + text.size()) {
      number.kind = JsonNumber::Kind::kUnsigned;
      number.unsigned_value = value;
      return number;
    }
  }
  const std::optional<double> value = nearest_double(text, parts);
  if (!value) return std::nullopt;
  number.kind = JsonNumber::Kind::kFloat;
  number.float_value = *value;
  return number;
}

float nearest_float(double value) {
  // Converting a double beyond the float range is undefined in C++, so
  // round those by hand: from 2^128 - 2^103 (halfway between the largest
  // float and 2^128) upwards the nearest is infinity.
  constexpr double kInfinityThreshold = 340282356779733661637539395458142568448.0;
  if (value >= kInfinityThreshold) return std::numeric_limits<float>::infinity();
  if (value <= -kInfinityThreshold) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

float decimal_to_float(std::uint64_t significand, int exponent) {
  if (significand <= kMaxExactInDouble && exponent >= -22 && exponent <= 22) {
    const double value = static_cast<double>(significand);
    return nearest_float(exponent < 0 ? value / kExactPowersOfTen[-exponent] : value * kExactPowersOfTen[exponent]);
  }
  char text[48];
  char* end = std::to_chars(text, text + 24, significand).ptr;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, exponent).ptr;
  double value = 0;
  const auto result = std::from_chars(text, end, value);
  if (result.ec == std::errc::result_out_of_range) {
    return beyond_double_range(std::string_view(text, static_cast<std::size_t>(end - text)))
               ? std::numeric_limits<float>::infinity()
               : 0.0f;
  }
  return nearest_float(value);
}

float number_to_float(const JsonNumber& number) {
  switch (number.kind) {
    case JsonNumber::Kind::kUnsigned: return static_cast<float>(number.unsigned_value);
    case JsonNumber::Kind::kSigned: return static_cast<float>(number.signed_value);
    case JsonNumber::Kind::kFloat: break;
  }
  return nearest_float(number.float_value);
}

std::string describe_number(const JsonNumber& number) {
  switch (number.kind) {
    case JsonNumber::Kind::kUnsigned: return "integer `" + std::to_string(number.unsigned_value) + "`";
    case JsonNumber::Kind::kSigned: return "integer `" + std::to_string(number.signed_value) + "`";
    case JsonNumber::Kind::kFloat: break;
  }
  return "floating point `" + float_text_for_message(number.float_value) + "`";
}

}  // namespace sorvid
