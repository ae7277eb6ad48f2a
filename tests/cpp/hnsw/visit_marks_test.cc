// Visit marks across walks: generations, the wipe when they wrap, resizing.
#include "hnsw/visit_marks.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace sorvid::hnsw {
namespace {

TEST(VisitMarks, GenerationWrapsAfter249Uses) {
  VisitMarks marks(5);
  ASSERT_EQ(1, marks.generation());
  for (int i = 0; i < 248; ++i) marks.next_generation();
  EXPECT_EQ(249, marks.generation());
  EXPECT_TRUE(marks.mark_visited(2));
  EXPECT_FALSE(marks.mark_visited(2));
  EXPECT_EQ(249, marks.marks()[2]);
  marks.next_generation();
  EXPECT_EQ(1, marks.generation());
  for (std::uint8_t mark : marks.marks()) EXPECT_EQ(0, mark);
  EXPECT_FALSE(marks.is_visited(2));
}

TEST(VisitMarks, ResizedMarksStartUnvisited) {
  VisitMarks marks;
  marks.next_generation();  // generation 2
  marks.resize(4);
  ASSERT_EQ(4u, marks.marks().size());
  for (NodeId node = 0; node < 4; ++node) EXPECT_FALSE(marks.is_visited(node));
  EXPECT_EQ(1, marks.marks()[0]);
}

}  // namespace
}  // namespace sorvid::hnsw
