// VectorEntry: the one record of the store.
//
// The engine never interprets `metadata` or `created_at`; it checks only the
// length (and finiteness) of `embedding`. Entries cross every boundary as
// copies, so this is a plain value type.
#pragma once

#include <string>
#include <vector>

namespace sorvid {

struct VectorEntry {
  std::string id;                // UTF-8; ids match by bytes
  std::vector<float> embedding;  // 32-bit IEEE floats, any length
  std::string metadata;
  std::string created_at;

  bool operator==(const VectorEntry&) const = default;
};

}  // namespace sorvid
