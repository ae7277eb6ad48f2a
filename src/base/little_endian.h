// Numbers in the project's binary files: little-endian whatever the host,
// one to eight bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid {

inline void store_le(char* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

inline std::uint64_t load_le(const char* in, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

}  // namespace sorvid
