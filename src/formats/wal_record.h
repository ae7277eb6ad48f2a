// The records of the write-ahead log: one JSON text per line.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "base/result.h"
#include "base/vector_entry.h"
#include "formats/json_error.h"

namespace sorvid {

struct UpsertRecord {
  VectorEntry entry;
};
struct DeleteRecord {
  std::string id;
};
using WalRecord = std::variant<UpsertRecord, DeleteRecord>;

// Appends one log line's text, no line feed.
void encode_upsert_record(const VectorEntry& entry, std::string& out);
// Appends one log line's text, no line feed.
void encode_delete_record(std::string_view id, std::string& out);
// The text of one line, no line feed.
std::string encode_record(const WalRecord& record);

[[nodiscard]] Result<WalRecord, JsonError> decode_record(std::string_view line);

}  // namespace sorvid
