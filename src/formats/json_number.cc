#include "formats/json_number.h"

#include <charconv>
#include <system_error>

#include "formats/float_text.h"
#include "formats/nearest_float.h"

namespace sorvid {
namespace {

double signed_zero(const Decimal& decimal) { return decimal.negative ? -0.0 : 0.0; }

std::optional<double> nearest_double(const Decimal& decimal) {
  if (decimal.significand == 0) return signed_zero(decimal);  // every digit is zero, whatever the exponent
  if (const std::optional<double> exact = fast_path_double(decimal)) return exact;
  double value = 0;
  const auto result = std::from_chars(decimal.text.data(), decimal.text.data() + decimal.text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Beyond the double range or below its least subnormal; the first
    // significant digit standing at 10^1 or above tells which.
    std::int64_t first_digit_exponent = decimal.exponent;
    for (std::uint64_t rest = decimal.significand; rest >= 10; rest /= 10) ++first_digit_exponent;
    if (first_digit_exponent > 0) return std::nullopt;
    return signed_zero(decimal);
  }
  return value;
}

}  // namespace

std::optional<JsonNumber> evaluate_number(const Decimal& decimal) {
  JsonNumber number;
  if (decimal.integer_form && decimal.exact) {
    if (!decimal.negative) {
      number.kind = JsonNumber::Kind::kUnsigned;
      number.unsigned_value = decimal.significand;
      return number;
    }
    constexpr std::uint64_t kMinSignedMagnitude = std::uint64_t{1} << 63;
    if (decimal.significand != 0 && decimal.significand <= kMinSignedMagnitude) {
      number.kind = JsonNumber::Kind::kSigned;
      number.signed_value = static_cast<std::int64_t>(0 - decimal.significand);
      return number;
    }
  }
  // An integer of 20 digits may still fit 64 bits unsigned.
  if (decimal.integer_form && !decimal.negative && !decimal.exact) {
    std::uint64_t value = 0;
    const char* end = decimal.text.data() + decimal.text.size();
    const auto result = std::from_chars(decimal.text.data(), end, value);
    if (result.ec == std::errc() && result.ptr == end) {
      number.kind = JsonNumber::Kind::kUnsigned;
      number.unsigned_value = value;
      return number;
    }
  }
  const std::optional<double> value = nearest_double(decimal);
  if (!value) return std::nullopt;
  number.kind = JsonNumber::Kind::kFloat;
  number.float_value = *value;
  return number;
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
