// EntryMap: the live entries of a store, keyed by id.
//
// Ids match by their bytes only. The hash and equality are transparent, so a
// lookup by std::string_view needs no temporary std::string.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/vector_entry.h"

namespace sorvid {

struct IdHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view id) const noexcept { return std::hash<std::string_view>{}(id); }
};

using EntryMap = std::unordered_map<std::string, VectorEntry, IdHash, std::equal_to<>>;

}  // namespace sorvid
