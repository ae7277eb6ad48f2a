// The seed source: seeds differ between calls and threads, and a child
// process after fork() draws seeds of its own.
#include "hnsw/seed_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "fork_child.h"

namespace sorvid::hnsw {
namespace {

TEST(SeedSource, SeedsDifferBetweenCallsAndThreads) {
  std::set<std::uint64_t> seeds;
  for (int i = 0; i < 300; ++i) seeds.insert(next_build_seed());  // crosses re-seedings
  std::vector<std::uint64_t> other_thread(300);
  std::thread([&] {
    for (std::uint64_t& seed : other_thread) seed = next_build_seed();
  }).join();
  seeds.insert(other_thread.begin(), other_thread.end());
  EXPECT_EQ(600u, seeds.size());
}

int write_seed_to_pipe(int fd) {
  const std::uint64_t seed = next_build_seed();
  return write(fd, &seed, sizeof seed) == sizeof seed ? 0 : 1;
}

TEST(SeedSource, ChildAfterForkDrawsOtherSeedsThanParent) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer does not support a multi-threaded fork";
  (void)next_build_seed();  // the parent's generator is seeded
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  expect_child_succeeds(write_seed_to_pipe, fds[1]);
  std::uint64_t child_seed = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof child_seed), read(fds[0], &child_seed, sizeof child_seed));
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(next_build_seed(), child_seed);
}

TEST(SeedSource, OsRandomFillsTheBuffer) {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  ASSERT_TRUE(read_os_random(&a, sizeof a));
  ASSERT_TRUE(read_os_random(&b, sizeof b));
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace sorvid::hnsw
