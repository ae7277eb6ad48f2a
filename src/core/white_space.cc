#include "core/white_space.h"

#include <cstddef>
#include <cstdint>

namespace sorvid {
namespace {

bool is_white_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the character at `i` of valid UTF-8 and advances `i` past it.
std::uint32_t decode_at(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 1;
  std::uint32_t c = lead;
  if (lead >= 0xF0) {
    length = 4;
    c = lead & 0x07;
  } else if (lead >= 0xE0) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xC0) {
    length = 2;
    c = lead & 0x1F;
  }
  for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  i += length;
  return c;
}

}  // namespace

bool is_blank_line(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    if (!is_white_space(decode_at(line, i))) return false;
  }
  return true;
}

}  // namespace sorvid
