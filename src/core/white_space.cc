#include "core/white_space.h"

#include <cstdint>

#include "formats/utf8.h"

namespace sorvid {
namespace {

bool is_white_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

bool is_blank_line(std::string_view line) {
  while (!line.empty()) {
    const Utf8Sequence sequence = decode_utf8(line);
    // A byte that starts no well-formed sequence is no white space.
    if (sequence.length == 0 || !is_white_space(sequence.code_point)) return false;
    line.remove_prefix(sequence.length);
  }
  return true;
}

}  // namespace sorvid
