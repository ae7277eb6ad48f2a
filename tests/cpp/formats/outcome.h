// Test helpers: the outcome of decoding a text as one short string, "ok"
// or the full error message, so that tables of cases read plainly.
#pragma once

#include <string>
#include <string_view>

#include "formats/entry_json.h"
#include "formats/snapshot.h"
#include "formats/wal_record.h"

namespace sorvid::testing {

inline std::string snapshot_outcome(std::string_view text) {
  auto decoded = decode_snapshot(text);
  return decoded ? "ok" : decoded.error().message();
}

inline std::string record_outcome(std::string_view text) {
  auto decoded = decode_record(text);
  return decoded ? "ok" : decoded.error().message();
}

inline std::string entry_outcome(std::string_view text) {
  auto decoded = decode_entry(text);
  return decoded ? "ok" : decoded.error().message();
}

}  // namespace sorvid::testing
