#include "formats/json_value.h"

#include "formats/json_error_text.h"
#include "formats/quoted_text.h"

namespace sorvid {
namespace {

ReadResult<void> read_array_elements(JsonReader& reader, std::vector<JsonValue>& elements) {
  bool first = true;
  for (;;) {
    auto more = reader.next_element(first);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) return reader.end_array();
    auto element = read_json_value(reader);
    if (!element) return fail(std::move(element).error());
    elements.push_back(std::move(element).value());
  }
}

ReadResult<void> read_object_members(JsonReader& reader, std::vector<JsonMember>& members) {
  bool first = true;
  std::string key;
  for (;;) {
    auto more = reader.next_key(first, key);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) return reader.end_object();
    if (auto colon = reader.expect_colon(); !colon) return colon;
    auto value = read_json_value(reader);
    if (!value) return fail(std::move(value).error());
    members.push_back(JsonMember{std::move(key), std::move(value).value()});
  }
}

}  // namespace

// Recursion here is bounded by the reader's nesting limit.
ReadResult<JsonValue> read_json_value(JsonReader& reader) {
  JsonValue value;
  const int c = reader.peek_token();
  switch (c) {
    case JsonReader::kEnd: return fail(reader.error_at_next(error_text::kEofInValue));
    case 'n':
    case 't':
    case 'f': {
      reader.advance();
      const std::string_view rest = c == 'n' ? "ull" : c == 't' ? "rue" : "alse";
      if (auto literal = reader.expect_literal_rest(rest); !literal) return fail(std::move(literal).error());
      value.kind = c == 'n' ? JsonValue::Kind::kNull : JsonValue::Kind::kBoolean;
      value.boolean = c == 't';
      return value;
    }
    case '"': {
      value.kind = JsonValue::Kind::kString;
      if (auto text = reader.read_string(value.string); !text) return fail(std::move(text).error());
      return value;
    }
    case '[':
    case '{': {
      if (auto entered = reader.enter_nested(); !entered) return fail(std::move(entered).error());
      reader.advance();
      ReadResult<void> content =
          c == '[' ? read_array_elements(reader, value.elements) : read_object_members(reader, value.members);
      if (!content) return fail(std::move(content).error());
      reader.leave_nested();
      value.kind = c == '[' ? JsonValue::Kind::kArray : JsonValue::Kind::kObject;
      return value;
    }
    default: {
      if (c != '-' && (c < '0' || c > '9')) return fail(reader.error_at_next(error_text::kExpectedValue));
      auto number = reader.read_number();
      if (!number) return fail(std::move(number).error());
      value.kind = JsonValue::Kind::kNumber;
      value.number = number.value();
      return value;
    }
  }
}

std::string describe_value(const JsonValue& value) {
  switch (value.kind) {
    case JsonValue::Kind::kNull: return "null";
    case JsonValue::Kind::kBoolean: return value.boolean ? "boolean `true`" : "boolean `false`";
    case JsonValue::Kind::kNumber: return describe_number(value.number);
    case JsonValue::Kind::kString: return "string " + quote_text(value.string);
    case JsonValue::Kind::kArray: return "sequence";
    case JsonValue::Kind::kObject: return "map";
  }
  return "null";
}

}  // namespace sorvid
