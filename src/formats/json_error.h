// JsonError: why a JSON text was refused, and where.
#pragma once

#include <cstdint>
#include <string>

namespace sorvid {

struct JsonError {
  std::string text;      // e.g. "missing field `data`"
  std::uint64_t line;    // 1-based
  std::uint64_t column;  // bytes since the last line feed (0 when none read yet)

  // "{text} at line {line} column {column}"
  std::string message() const;
};

}  // namespace sorvid
