// The worker pool: loops run every id once, concurrent loops and nested
// loops finish, an exception thrown on a worker reaches the caller, and a
// child process after fork() gets a pool of its own.
#include "base/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fork_child.h"

namespace sorvid {
namespace {

class ParallelForTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelForTest, RunsEveryIdExactlyOnce) {
  const std::size_t chunk = GetParam();
  for (std::size_t count : {0u, 1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> runs(count + 10);
    const std::uint64_t loops_before = WorkerPool::loops_run();
    WorkerPool::instance().parallel_for(10, 10 + count, chunk, [&](std::size_t i) { runs[i].fetch_add(1); });
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

// One call throws; the ids not yet handed out are never called (the loop is
// long enough that the other workers cannot finish it first), and the pool
// keeps working afterwards.
TEST(WorkerPool, ExceptionOnAWorkerIsRethrownOnTheCaller) {
  WorkerPool& pool = WorkerPool::instance();
  ASSERT_GE(pool.thread_count(), 1u);
  constexpr std::size_t kIds = 10'000'000;
  for (const std::size_t chunk : {1u, 16u}) {
    std::atomic<std::size_t> calls{0};
    EXPECT_THROW(pool.parallel_for(0, kIds, chunk,
                                   [&](std::size_t i) {
                                     calls.fetch_add(1, std::memory_order_relaxed);
                                     if (i == 1000) throw std::bad_alloc();
                                   }),
                 std::bad_alloc);
    EXPECT_LT(calls.load(), kIds);
    std::atomic<int> runs{0};
    pool.parallel_for(0, 1000, chunk, [&](std::size_t) { runs.fetch_add(1); });
    EXPECT_EQ(1000, runs.load());
  }
}

TEST(WorkerPool, FirstExceptionKeepsItsTypeAndText) {
  try {
    WorkerPool::instance().parallel_for(0, 50, 1, [](std::size_t i) {
      if (i == 7) throw std::runtime_error("call 7 failed");
    });
    FAIL() << "nothing was thrown";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ("call 7 failed", failure.what());
  }
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

}  // namespace
}  // namespace sorvid
