#include "core/utf8.h"

#include <cstddef>
#include <cstdint>

namespace sorvid {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence that `lead` starts and the allowed range of the
// second byte, which is where overlong forms, surrogates and values above
// U+10FFFF are excluded (the table of well-formed sequences in Unicode).
struct LeadRule {
  std::size_t length;
  unsigned char second_min;
  unsigned char second_max;
};

LeadRule rule_for(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};  // 0x80..0xC1 and 0xF5..0xFF never start a sequence
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const LeadRule rule = rule_for(lead);
    if (rule.length == 0 || n - i < rule.length) return false;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < rule.second_min || second > rule.second_max) return false;
    for (std::size_t k = 2; k < rule.length; ++k) {
      if (!is_continuation(static_cast<unsigned char>(bytes[i + k]))) return false;
    }
    i += rule.length;
  }
  return true;
}

}  // namespace sorvid
