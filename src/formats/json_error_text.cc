#include "formats/json_error_text.h"

namespace sorvid::error_text {
namespace {

// "{head}{found}, expected {expected}"
std::string found_expected(std::string_view head, std::string_view found, std::string_view expected) {
  std::string text(head);
  text.append(found).append(", expected ").append(expected);
  return text;
}

// "{head}`{name}`"
std::string named(std::string_view head, std::string_view name) {
  std::string text(head);
  text.append("`").append(name).append("`");
  return text;
}

}  // namespace

std::string invalid_type(std::string_view found, std::string_view expected) {
  return found_expected("invalid type: ", found, expected);
}

std::string invalid_value(std::string_view found, std::string_view expected) {
  return found_expected("invalid value: ", found, expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
  return found_expected("invalid length ", std::to_string(length), expected);
}

std::string duplicate_field(std::string_view name) { return named("duplicate field ", name); }

std::string missing_field(std::string_view name) { return named("missing field ", name); }

std::string unknown_variant(std::string_view name, std::string_view expected) {
  return named("unknown variant ", name).append(", expected ").append(expected);
}

}  // namespace sorvid::error_text
