// FoundNodes keeps its results as a heap while offers arrive: held against a
// plain sorted list of the best `width` offers, with results read between
// offers, widths changed, ties in distance and NaN distances.
#include "hnsw/found_nodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

namespace sorvid::hnsw {
namespace {

TEST(FoundNodes, KeepsTheBestOffersAsASortedListWould) {
  std::mt19937 rng(17);
  for (int trial = 0; trial < 200; ++trial) {
    FoundNodes found;
    std::vector<ScoredNode> reference;
    std::size_t width = 1 + rng() % 40;
    found.set_width(width);
    NodeId next = 0;
    for (int step = 0; step < 300; ++step) {
      const std::size_t roll = rng() % 100;
      if (roll < 3) {
        // Narrower or wider: a narrower width drops the worst results.
        width = 1 + rng() % 40;
        found.set_width(width);
        if (reference.size() > width) reference.resize(width);
        continue;
      }
      // Few distinct distances, so that ties are decided by node id.
      const float distance = roll < 6 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(rng() % 50);
      const ScoredNode scored{distance, next++};
      const bool expect_taken = reference.size() < width || scored < reference.back();
      const std::size_t frontier_before = found.frontier_size();
      found.offer(scored);
      ASSERT_EQ(expect_taken, found.frontier_size() == frontier_before + 1) << "trial " << trial << " step " << step;
      if (expect_taken) {
        reference.insert(std::upper_bound(reference.begin(), reference.end(), scored), scored);
        if (reference.size() > width) reference.pop_back();
      }
      ASSERT_EQ(reference.size() >= width, found.is_full());
      if (found.is_full()) {
        ASSERT_EQ(reference.back().node, found.last_counted().node);
      }
      if (rng() % 8 == 0) {
        const std::span<const ScoredNode> results = found.results();
        ASSERT_EQ(reference.size(), results.size());
        for (std::size_t i = 0; i < results.size(); ++i) ASSERT_EQ(reference[i].node, results[i].node) << i;
      }
    }
  }
}

}  // namespace
}  // namespace sorvid::hnsw
