// The snapshot document: the dimension and every entry of the store.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/vector_entry.h"
#include "formats/json_error.h"

namespace sorvid {

struct Snapshot {
  std::uint64_t dim = 0;
  std::vector<VectorEntry> entries;
};

// Appends the document; entries are listed in the order given.
void encode_snapshot(std::uint64_t dim, std::span<const VectorEntry* const> entries, std::string& out);

[[nodiscard]] Result<Snapshot, JsonError> decode_snapshot(std::string_view text);

}  // namespace sorvid
