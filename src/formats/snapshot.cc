#include "formats/snapshot.h"

#include "formats/entry_json.h"
#include "formats/entry_list_reader.h"
#include "formats/entry_list_writer.h"
#include "formats/json_error_text.h"
#include "formats/json_reader.h"
#include "formats/json_writer.h"
#include "formats/record_reader.h"
#include "formats/text_buffer.h"

namespace sorvid {
namespace {

constexpr FieldNames<2> kSnapshotFields = {"dim", "entries"};

// The dimension: an unsigned integer only.
ReadResult<void> read_dim(JsonReader& reader, std::uint64_t& dim) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '-' && (c < '0' || c > '9')) return fail(reader.invalid_type("usize"));
  auto number = reader.read_number();
  if (!number) return fail(std::move(number).error());
  switch (number.value().kind) {
    case JsonNumber::Kind::kUnsigned: dim = number.value().unsigned_value; return {};
    case JsonNumber::Kind::kSigned:
      return fail(reader.error_at_last(error_text::invalid_value(describe_number(number.value()), "usize")));
    case JsonNumber::Kind::kFloat: break;
  }
  return fail(reader.error_at_last(error_text::invalid_type(describe_number(number.value()), "usize")));
}

// Decodes the entries in chunks on `pool` when given one.
struct EntryDecoding {
  WorkerPool* pool = nullptr;
  std::size_t chunk_bytes = 0;
  EmbeddingText embedding_text = EmbeddingText::kRead;
};

ReadResult<void> read_entries(JsonReader& reader, std::vector<VectorEntry>& entries, const EntryDecoding& decoding) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '[') return fail(reader.invalid_type("a sequence"));
  if (auto entered = reader.enter_nested(); !entered) return entered;
  reader.advance();
  ReadResult<void> listed = decoding.pool ? read_entry_list_in_chunks(reader, entries, *decoding.pool,
                                                                      decoding.chunk_bytes, decoding.embedding_text)
                                          : read_entry_list(reader, entries, decoding.embedding_text);
  if (!listed) return listed;
  if (auto closed = reader.end_array(); !closed) return closed;
  reader.leave_nested();
  return {};
}

Result<Snapshot, JsonError> decode(std::string_view text, const EntryDecoding& decoding) {
  JsonReader reader(text);
  Snapshot snapshot;
  const auto read_field = [&](std::size_t index) {
    return index == 0 ? read_dim(reader, snapshot.dim) : read_entries(reader, snapshot.entries, decoding);
  };
  ReadResult<void> decoded = read_record(
      reader, "struct Snapshot",
      [&] { return visit_array_fields<2>(reader, "struct Snapshot with 2 elements", read_field); },
      [&] { return visit_object_fields(reader, kSnapshotFields, read_field); });
  if (decoded) decoded = reader.end_text();
  if (!decoded) return fail(to_json_error(text, reader.place(std::move(decoded).error())));
  return snapshot;
}

// Room for the document, so that the buffer is not regrown and copied
// while a large store is written.
std::size_t estimated_size(std::span<const VectorEntry* const> entries) {
  std::size_t size = 64;
  for (const VectorEntry* entry : entries) size += estimated_entry_size(*entry);
  return size;
}

}  // namespace

void encode_snapshot(std::uint64_t dim, std::span<const VectorEntry* const> entries, std::string& out) {
  reserve_text(out, estimated_size(entries));
  out.append("{\"dim\":");
  append_json_uint(out, dim);
  out.append(",\"entries\":[");
  append_entry_list(out, entries);
  out.append("]}");
}

bool encode_snapshot_in_pieces(std::uint64_t dim, std::span<const VectorEntry* const> entries, std::size_t piece_bytes,
                               const std::function<bool(std::string_view)>& sink) {
  std::string piece;
  reserve_text(piece, piece_bytes + 64);
  piece.append("{\"dim\":");
  append_json_uint(piece, dim);
  piece.append(",\"entries\":[");
  // Runs of consecutive entries of about piece_bytes of text each; the list
  // writer puts "," only between the entries of one run, so a run after the
  // first starts with its own.
  std::size_t run_start = 0;
  std::size_t run_bytes = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    run_bytes += estimated_entry_size(*entries[i]);
    if (run_bytes < piece_bytes && i + 1 < entries.size()) continue;
    if (run_start != 0) piece.push_back(',');
    append_entry_list(piece, entries.subspan(run_start, i + 1 - run_start));
    if (!sink(piece)) return false;
    piece.clear();
    run_start = i + 1;
    run_bytes = 0;
  }
  piece.append("]}");
  return sink(piece);
}

Result<Snapshot, JsonError> decode_snapshot(std::string_view text, EmbeddingText embedding_text) {
  return decode(text, {nullptr, 0, embedding_text});
}

Result<Snapshot, JsonError> decode_snapshot_in_chunks(std::string_view text, WorkerPool& pool, std::size_t chunk_bytes,
                                                      EmbeddingText embedding_text) {
  return decode(text, {&pool, chunk_bytes, embedding_text});
}

}  // namespace sorvid
