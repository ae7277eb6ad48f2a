#include "formats/entry_json.h"

#include "formats/json_error_text.h"
#include "formats/json_writer.h"
#include "formats/record_reader.h"

namespace sorvid {
namespace {

constexpr FieldNames<4> kEntryFields = {"id", "embedding", "metadata", "created_at"};
constexpr std::string_view kEntryExpected = "struct VectorEntry";
constexpr std::string_view kEntryLength = "struct VectorEntry with 4 elements";

ReadResult<void> read_embedding(JsonReader& reader, std::vector<float>& out, std::size_t capacity) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '[') return fail(reader.invalid_type("a sequence"));
  if (auto entered = reader.enter_nested(); !entered) return entered;
  reader.advance();
  out.reserve(capacity);
  if (auto elements = reader.read_float_elements(out); !elements) return elements;
  if (auto closed = reader.end_array(); !closed) return closed;
  reader.leave_nested();
  return {};
}

ReadResult<void> read_entry_field(JsonReader& reader, VectorEntry& entry, std::size_t index,
                                  std::size_t embedding_capacity) {
  switch (index) {
    case 0: return read_string_field(reader, entry.id);
    case 1: return read_embedding(reader, entry.embedding, embedding_capacity);
    case 2: return read_string_field(reader, entry.metadata);
    default: return read_string_field(reader, entry.created_at);
  }
}

// --- From a kept value: the same rules, errors unplaced.

ReadResult<void> string_from_value(const JsonValue& value, std::string& out) {
  if (value.kind != JsonValue::Kind::kString) {
    return fail(unplaced_error(error_text::invalid_type(describe_value(value), "a string")));
  }
  out = value.string;
  return {};
}

ReadResult<void> embedding_from_value(const JsonValue& value, std::vector<float>& out) {
  if (value.kind != JsonValue::Kind::kArray) {
    return fail(unplaced_error(error_text::invalid_type(describe_value(value), "a sequence")));
  }
  out.reserve(value.elements.size());
  for (const JsonValue& element : value.elements) {
    if (element.kind != JsonValue::Kind::kNumber) {
      return fail(unplaced_error(error_text::invalid_type(describe_value(element), "f32")));
    }
    out.push_back(number_to_float(element.number));
  }
  return {};
}

ReadResult<void> entry_field_from_value(const JsonValue& value, VectorEntry& entry, std::size_t index) {
  switch (index) {
    case 0: return string_from_value(value, entry.id);
    case 1: return embedding_from_value(value, entry.embedding);
    case 2: return string_from_value(value, entry.metadata);
    default: return string_from_value(value, entry.created_at);
  }
}

ReadResult<void> entry_members_from_value(const JsonValue& value, VectorEntry& entry) {
  std::array<bool, 4> seen{};
  for (const JsonMember& member : value.members) {
    std::size_t index = 0;
    while (index < kEntryFields.size() && kEntryFields[index] != member.key) ++index;
    if (index == kEntryFields.size()) continue;
    if (seen[index]) return fail(unplaced_error(error_text::duplicate_field(member.key)));
    seen[index] = true;
    if (auto field = entry_field_from_value(member.value, entry, index); !field) return field;
  }
  for (std::size_t index = 0; index < kEntryFields.size(); ++index) {
    if (!seen[index]) return fail(unplaced_error(error_text::missing_field(kEntryFields[index])));
  }
  return {};
}

// A kept array is checked for its length as a whole: extra elements are
// "invalid length N, expected 4 elements in sequence".
ReadResult<void> entry_elements_from_value(const JsonValue& value, VectorEntry& entry) {
  const std::size_t count = value.elements.size();
  for (std::size_t index = 0; index < kEntryFields.size(); ++index) {
    if (index == count) {
      return fail(unplaced_error(error_text::invalid_length(count, kEntryLength)));
    }
    if (auto field = entry_field_from_value(value.elements[index], entry, index); !field) return field;
  }
  if (count > kEntryFields.size()) {
    return fail(unplaced_error(error_text::invalid_length(count, "4 elements in sequence")));
  }
  return {};
}

}  // namespace

void encode_entry(const VectorEntry& entry, std::string& out) {
  out.append("{\"id\":");
  append_json_string(out, entry.id);
  out.append(",\"embedding\":");
  append_json_float_array(out, entry.embedding);
  out.append(",\"metadata\":");
  append_json_string(out, entry.metadata);
  out.append(",\"created_at\":");
  append_json_string(out, entry.created_at);
  out.push_back('}');
}

ReadResult<void> read_entry(JsonReader& reader, VectorEntry& entry, std::size_t embedding_capacity) {
  const auto read_field = [&](std::size_t index) { return read_entry_field(reader, entry, index, embedding_capacity); };
  return read_record(
      reader, kEntryExpected, [&] { return visit_array_fields<4>(reader, kEntryLength, read_field); },
      [&] { return visit_object_fields(reader, kEntryFields, read_field); });
}

ReadResult<VectorEntry> entry_from_value(const JsonValue& value) {
  VectorEntry entry;
  ReadResult<void> decoded = fail(unplaced_error(error_text::invalid_type(describe_value(value), kEntryExpected)));
  if (value.kind == JsonValue::Kind::kObject) {
    decoded = entry_members_from_value(value, entry);
  } else if (value.kind == JsonValue::Kind::kArray) {
    decoded = entry_elements_from_value(value, entry);
  }
  if (!decoded) return fail(std::move(decoded).error());
  return entry;
}

Result<VectorEntry, JsonError> decode_entry(std::string_view text) {
  JsonReader reader(text);
  VectorEntry entry;
  ReadResult<void> decoded = read_entry(reader, entry);
  if (decoded) decoded = reader.end_text();
  if (!decoded) return fail(to_json_error(text, reader.place(std::move(decoded).error())));
  return entry;
}

}  // namespace sorvid
