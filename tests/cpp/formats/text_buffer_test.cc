// Reserving room for a large text keeps what the text holds, and the room
// (advised for huge pages when large) holds what is written into it.
#include "formats/text_buffer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace sorvid {
namespace {

class ReserveText : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReserveText, KeepsTextAndHoldsWhatIsWritten) {
  const std::size_t extra = GetParam();
  std::string out = "{\"dim\":3,";
  reserve_text(out, extra);
  EXPECT_EQ(out, "{\"dim\":3,");
  EXPECT_GE(out.capacity(), 9 + extra);
  for (std::size_t i = 0; i < extra; ++i) out.push_back(static_cast<char>('a' + i % 26));
  ASSERT_EQ(out.size(), 9 + extra);
  EXPECT_EQ(out.compare(0, 9, "{\"dim\":3,"), 0);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < extra; ++i) wrong += out[9 + i] != static_cast<char>('a' + i % 26);
  EXPECT_EQ(wrong, 0u);
}

// Small, just below and above the size that is advised, and several huge pages.
INSTANTIATE_TEST_SUITE_P(Sizes, ReserveText,
                         ::testing::Values(std::size_t{0}, std::size_t{1000}, (std::size_t{16} << 20) - 100,
                                           std::size_t{24} << 20));

}  // namespace
}  // namespace sorvid
