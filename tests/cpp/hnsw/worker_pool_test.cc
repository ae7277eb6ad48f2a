// The worker pool and the seed source: loops run every id once, concurrent
// loops and nested loops finish, and a child process after fork() gets a pool
// and seeds of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "hnsw/seed_source.h"
#include "hnsw/worker_pool.h"

namespace sorvid::hnsw {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

class ParallelForTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelForTest, RunsEveryIdExactlyOnce) {
  const std::size_t chunk = GetParam();
  for (std::size_t count : {0u, 1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> runs(count + 10);
    const std::uint64_t loops_before = WorkerPool::loops_run();
    WorkerPool::instance().parallel_for(10, 10 + count, chunk,
                                        [&](std::size_t i) { runs[i].fetch_add(1); });
    EXPECT_EQ(loops_before + 1, WorkerPool::loops_run());
    for (std::size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(i < 10 ? 0 : 1, runs[i].load()) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Chunks, ParallelForTest, ::testing::Values(0u, 1u, 3u, 64u, 5000u));

TEST(WorkerPool, LoopsFromSeveralThreadsAllFinish) {
  WorkerPool& pool = WorkerPool::instance();
  ASSERT_GE(pool.thread_count(), 1u);
  std::vector<std::thread> callers;
  std::vector<std::uint64_t> sums(4, 0);
  for (std::size_t t = 0; t < sums.size(); ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        std::atomic<std::uint64_t> sum{0};
        pool.parallel_for(0, 500, 7, [&](std::size_t i) { sum.fetch_add(i); });
        sums[t] += sum.load();
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (std::uint64_t sum : sums) EXPECT_EQ(20u * (499u * 500u / 2), sum);
}

TEST(WorkerPool, NestedLoopRunsOnTheWorker) {
  std::atomic<int> inner_runs{0};
  WorkerPool::instance().parallel_for(0, 4, 1, [&](std::size_t) {
    WorkerPool::instance().parallel_for(0, 10, 1, [&](std::size_t) { inner_runs.fetch_add(1); });
  });
  EXPECT_EQ(40, inner_runs.load());
}

// Runs `child` in a forked process, which must exit 0 within a minute.
void expect_child_succeeds(int (*child)(int), int pipe_out = -1) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // a child that hangs dies instead of holding up the test run
    _exit(child(pipe_out));
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
}

int run_loop_in_child(int) {
  std::atomic<int> runs{0};
  WorkerPool::instance().parallel_for(0, 100, 1, [&](std::size_t) { runs.fetch_add(1); });
  return runs.load() == 100 ? 0 : 1;
}

TEST(WorkerPool, ChildAfterForkStartsAFreshPool) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer does not support threads after a multi-threaded fork";
  WorkerPool::instance().parallel_for(0, 10, 1, [](std::size_t) {});  // parent's pool is running
  expect_child_succeeds(run_loop_in_child);
}

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
