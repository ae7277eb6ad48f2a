#include "formats/utf8.h"

#include <cstring>

namespace sorvid {

Utf8Sequence decode_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char lead = p[0];
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  std::uint32_t code_point;
  // The second byte's range excludes overlong forms, surrogates and values
  // above U+10FFFF, so that the code point needs no range check afterwards.
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return {};
  }
  if (text.size() < length || p[1] < second_min || p[1] > second_max) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return {};
    code_point = (code_point << 6) | (p[i] & 0x3Fu);
  }
  return {code_point, length};
}

bool is_valid_utf8(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p != end) {
    // Eight ASCII bytes at a time: most of what the store reads is ASCII.
    if (end - p >= 8) {
      std::uint64_t block;
      std::memcpy(&block, p, 8);
      if ((block & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const std::size_t length = decode_utf8(std::string_view(p, static_cast<std::size_t>(end - p))).length;
    if (length == 0) return false;
    p += length;
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace sorvid
