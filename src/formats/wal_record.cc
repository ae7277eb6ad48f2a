#include "formats/wal_record.h"

#include <optional>

#include "formats/entry_json.h"
#include "formats/json_error_text.h"
#include "formats/json_reader.h"
#include "formats/json_writer.h"
#include "formats/record_reader.h"

namespace sorvid {
namespace {

enum class Variant { kUpsert, kDelete };

constexpr std::string_view kRecordExpected = "adjacently tagged enum WalRecord";
constexpr std::string_view kDeleteExpected = "struct variant WalRecord::Delete";
constexpr FieldNames<1> kDeleteFields = {"id"};

ReadResult<Variant> variant_named(const std::string& name) {
  if (name == "upsert") return Variant::kUpsert;
  if (name == "delete") return Variant::kDelete;
  return fail(unplaced_error(error_text::unknown_variant(name, "`upsert` or `delete`")));
}

// A variant named by a JSON string (the first element of the array form,
// and the key of the one-member object form of "op").
ReadResult<Variant> read_variant_identifier(JsonReader& reader) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '"') return fail(reader.invalid_type("variant identifier"));
  std::string name;
  if (auto text = reader.read_string(name); !text) return fail(std::move(text).error());
  auto variant = variant_named(name);
  if (!variant) return fail(reader.place(std::move(variant).error()));
  return variant;
}

// The null inside the one-member object form of "op".
ReadResult<void> read_unit(JsonReader& reader) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != 'n') return fail(reader.invalid_type("unit"));
  reader.advance();
  return reader.expect_literal_rest("ull");
}

// The value of "op": "upsert", "delete", or {"upsert":null} / {"delete":null}.
// Any other value is "expected value".
ReadResult<Variant> read_op(JsonReader& reader) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c == '"') return read_variant_identifier(reader);
  if (c != '{') return fail(reader.error_at_next(error_text::kExpectedValue));
  if (auto entered = reader.enter_nested(); !entered) return fail(std::move(entered).error());
  reader.advance();
  auto variant = read_variant_identifier(reader);
  if (!variant) return variant;
  if (auto colon = reader.expect_colon(); !colon) return fail(std::move(colon).error());
  if (auto unit = read_unit(reader); !unit) return fail(std::move(unit).error());
  reader.leave_nested();
  // A second member, or anything else before the brace, stands where the
  // brace should: reported at the last byte read.
  const int after = reader.peek_token();
  if (after == '}') {
    reader.advance();
    return variant;
  }
  return fail(reader.error_at_last(after == JsonReader::kEnd ? error_text::kEofInObject : error_text::kExpectedValue));
}

// The content of a delete: an object with the member "id", never an array.
ReadResult<DeleteRecord> read_delete_content(JsonReader& reader) {
  DeleteRecord record;
  ReadResult<void> decoded = read_record(
      reader, kDeleteExpected,
      [&]() -> ReadResult<void> { return fail(unplaced_error(error_text::invalid_type("sequence", kDeleteExpected))); },
      [&] {
        return visit_object_fields(reader, kDeleteFields,
                                   [&](std::size_t) { return read_string_field(reader, record.id); });
      });
  if (!decoded) return fail(std::move(decoded).error());
  return record;
}

// `kept`: the reader holds only the text of "data", kept apart from its
// record (see read_kept_entry).
ReadResult<WalRecord> read_content(JsonReader& reader, Variant variant, bool kept = false) {
  if (variant == Variant::kDelete) {
    auto record = read_delete_content(reader);
    if (!record) return fail(std::move(record).error());
    return WalRecord(std::move(record).value());
  }
  UpsertRecord record;
  auto entry = kept ? read_kept_entry(reader, record.entry) : read_entry(reader, record.entry);
  if (!entry) return fail(std::move(entry).error());
  return WalRecord(std::move(record));
}

// The content of a variant from the text of "data" when it came first: the
// text was checked already, so only errors about its shape remain, and they
// are left unplaced for the record to place.
ReadResult<WalRecord> content_from_kept_text(std::string_view text, Variant variant) {
  JsonReader reader(text);
  auto record = read_content(reader, variant, true);
  if (!record) return fail(unplaced_error(std::move(record).error().text));
  return record;
}

enum class RecordKey { kOp, kData, kEnd };

// Reads members up to the next "op" or "data" key (skipping others) and
// stands after that key, or at the closing brace (kEnd).
ReadResult<RecordKey> next_record_key(JsonReader& reader, bool& first, std::string& key) {
  for (;;) {
    auto more = reader.next_key(first, key);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) return RecordKey::kEnd;
    if (key == "op") return RecordKey::kOp;
    if (key == "data") return RecordKey::kData;
    if (auto colon = reader.expect_colon(); !colon) return fail(std::move(colon).error());
    if (auto skipped = reader.skip_value(); !skipped) return fail(std::move(skipped).error());
  }
}

ReadError duplicate_or_missing(RecordKey key, const char* missing) {
  if (key == RecordKey::kOp) return unplaced_error(error_text::duplicate_field("op"));
  if (key == RecordKey::kData) return unplaced_error(error_text::duplicate_field("data"));
  return unplaced_error(error_text::missing_field(missing));
}

// After the member that completed the record: the rest of the object may
// hold other members, but neither key again.
ReadResult<WalRecord> finish_record_object(JsonReader& reader, bool& first, std::string& key, WalRecord record) {
  auto rest = next_record_key(reader, first, key);
  if (!rest) return fail(std::move(rest).error());
  if (rest.value() != RecordKey::kEnd) return fail(duplicate_or_missing(rest.value(), ""));
  return record;
}

// Object form. With "op" first the data decodes straight into its variant.
// With "data" first its text is checked where it stands (the errors of a
// decoded value, at the same bytes) and kept as a span of the line, to be
// decoded once "op" has named the variant; so the cost of either order is
// the same few passes over the text, with nothing held in between.
ReadResult<WalRecord> visit_record_object(JsonReader& reader, std::string_view line) {
  bool first = true;
  std::string key;
  auto first_key = next_record_key(reader, first, key);
  if (!first_key) return fail(std::move(first_key).error());
  if (first_key.value() == RecordKey::kEnd) return fail(unplaced_error(error_text::missing_field("op")));
  if (auto colon = reader.expect_colon(); !colon) return fail(std::move(colon).error());

  if (first_key.value() == RecordKey::kOp) {
    auto variant = read_op(reader);
    if (!variant) return fail(std::move(variant).error());
    auto second_key = next_record_key(reader, first, key);
    if (!second_key) return fail(std::move(second_key).error());
    if (second_key.value() != RecordKey::kData) return fail(duplicate_or_missing(second_key.value(), "data"));
    if (auto colon = reader.expect_colon(); !colon) return fail(std::move(colon).error());
    auto record = read_content(reader, variant.value());
    if (!record) return record;
    return finish_record_object(reader, first, key, std::move(record).value());
  }

  const std::size_t data_begin = reader.consumed();
  if (auto checked = reader.check_value(); !checked) return fail(std::move(checked).error());
  const std::string_view kept = line.substr(data_begin, reader.consumed() - data_begin);
  auto second_key = next_record_key(reader, first, key);
  if (!second_key) return fail(std::move(second_key).error());
  if (second_key.value() != RecordKey::kOp) return fail(duplicate_or_missing(second_key.value(), "op"));
  if (auto colon = reader.expect_colon(); !colon) return fail(std::move(colon).error());
  auto variant = read_op(reader);
  if (!variant) return fail(std::move(variant).error());
  auto record = content_from_kept_text(kept, variant.value());
  if (!record) return record;
  return finish_record_object(reader, first, key, std::move(record).value());
}

// Array form: ["upsert", entry] or ["delete", {"id": ...}].
ReadResult<WalRecord> visit_record_array(JsonReader& reader) {
  bool first = true;
  auto more = reader.next_element(first);
  if (!more) return fail(std::move(more).error());
  if (!more.value()) return fail(unplaced_error(error_text::invalid_length(0, kRecordExpected)));
  auto variant = read_variant_identifier(reader);
  if (!variant) return fail(std::move(variant).error());
  more = reader.next_element(first);
  if (!more) return fail(std::move(more).error());
  if (!more.value()) return fail(unplaced_error(error_text::invalid_length(1, kRecordExpected)));
  return read_content(reader, variant.value());
}

}  // namespace

void encode_upsert_record(const VectorEntry& entry, std::string& out) {
  out.append("{\"op\":\"upsert\",\"data\":");
  encode_entry(entry, out);
  out.push_back('}');
}

void encode_delete_record(std::string_view id, std::string& out) {
  out.append("{\"op\":\"delete\",\"data\":{\"id\":");
  append_json_string(out, id);
  out.append("}}");
}

std::string encode_record(const WalRecord& record) {
  std::string out;
  out.reserve(128);
  if (const auto* upsert = std::get_if<UpsertRecord>(&record)) {
    encode_upsert_record(upsert->entry, out);
  } else {
    encode_delete_record(std::get<DeleteRecord>(record).id, out);
  }
  return out;
}

Result<WalRecord, JsonError> decode_record(std::string_view line) {
  JsonReader reader(line);
  std::optional<WalRecord> record;
  // Keeps the record a visitor decoded, passing its failure on.
  const auto keep = [&record](ReadResult<WalRecord> visited) -> ReadResult<void> {
    if (!visited) return fail(std::move(visited).error());
    record = std::move(visited).value();
    return {};
  };
  ReadResult<void> decoded = read_record(
      reader, kRecordExpected, [&] { return keep(visit_record_array(reader)); },
      [&] { return keep(visit_record_object(reader, line)); });
  if (decoded) decoded = reader.end_text();
  if (!decoded) return fail(to_json_error(line, reader.place(std::move(decoded).error())));
  return std::move(*record);
}

}  // namespace sorvid
