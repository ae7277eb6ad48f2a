#include "formats/entry_json.h"

#include "formats/json_error_text.h"
#include "formats/json_writer.h"
#include "formats/record_reader.h"

namespace sorvid {
namespace {

constexpr FieldNames<4> kEntryFields = {"id", "embedding", "metadata", "created_at"};
constexpr std::string_view kEntryExpected = "struct VectorEntry";
constexpr std::string_view kEntryLength = "struct VectorEntry with 4 elements";

ReadResult<void> read_embedding(JsonReader& reader, std::vector<float>& out, std::size_t capacity, EmbeddingText text) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '[') return fail(reader.invalid_type("a sequence"));
  if (auto entered = reader.enter_nested(); !entered) return entered;
  reader.advance();
  if (text == EmbeddingText::kPassOver) {
    if (auto passed = reader.pass_over_number_elements(); !passed) return passed;
  } else {
    out.reserve(capacity);
    if (auto elements = reader.read_float_elements(out); !elements) return elements;
  }
  if (auto closed = reader.end_array(); !closed) return closed;
  reader.leave_nested();
  return {};
}

ReadResult<void> read_entry_field(JsonReader& reader, VectorEntry& entry, std::size_t index,
                                  std::size_t embedding_capacity, EmbeddingText embedding_text) {
  switch (index) {
    case 0: return read_string_field(reader, entry.id);
    case 1: return read_embedding(reader, entry.embedding, embedding_capacity, embedding_text);
    case 2: return read_string_field(reader, entry.metadata);
    default: return read_string_field(reader, entry.created_at);
  }
}

// After the four fields of a kept entry's array form: elements beyond them
// are an error that counts all the elements.
ReadResult<void> refuse_extra_elements(JsonReader& reader) {
  std::size_t count = kEntryFields.size();
  bool first = false;
  for (;;) {
    auto more = reader.next_element(first);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) break;
    ++count;
    if (auto skipped = reader.skip_value(); !skipped) return skipped;
  }
  if (count == kEntryFields.size()) return {};
  return fail(unplaced_error(error_text::invalid_length(count, "4 elements in sequence")));
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

ReadResult<void> read_entry(JsonReader& reader, VectorEntry& entry, std::size_t embedding_capacity,
                            EmbeddingText embedding_text) {
  const auto read_field = [&](std::size_t index) {
    return read_entry_field(reader, entry, index, embedding_capacity, embedding_text);
  };
  return read_record(
      reader, kEntryExpected, [&] { return visit_array_fields<4>(reader, kEntryLength, read_field); },
      [&] { return visit_object_fields(reader, kEntryFields, read_field); });
}

ReadResult<void> read_kept_entry(JsonReader& reader, VectorEntry& entry) {
  const auto read_field = [&](std::size_t index) {
    return read_entry_field(reader, entry, index, 0, EmbeddingText::kRead);
  };
  return read_record(
      reader, kEntryExpected,
      [&]() -> ReadResult<void> {
        if (auto fields = visit_array_fields<4>(reader, kEntryLength, read_field); !fields) return fields;
        return refuse_extra_elements(reader);
      },
      [&] { return visit_object_fields(reader, kEntryFields, read_field); });
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
