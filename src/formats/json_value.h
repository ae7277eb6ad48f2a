// JsonValue: any JSON value, kept whole in memory.
//
// Only one place needs it: a log line whose "data" member comes before
// "op" must hold the data until the variant is known.
#pragma once

#include <string>
#include <vector>

#include "formats/json_number.h"
#include "formats/json_reader.h"

namespace sorvid {

struct JsonMember;

struct JsonValue {
  enum class Kind : std::uint8_t { kNull, kBoolean, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  JsonNumber number;
  std::string string;
  std::vector<JsonValue> elements;  // kArray
  std::vector<JsonMember> members;  // kObject, in document order, repeats kept
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

// Reads the value at the reader with the same rules as decoded values:
// numbers evaluated, strings decoded, nesting limited.
[[nodiscard]] ReadResult<JsonValue> read_json_value(JsonReader& reader);

// How a type error names the value: "null", "boolean `true`",
// "integer `3`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe_value(const JsonValue& value);

}  // namespace sorvid
