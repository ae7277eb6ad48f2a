#include "base/worker_pool.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "base/fork_handlers.h"
#include "base/pool_size.h"

namespace sorvid {
namespace {

std::atomic<WorkerPool*> current_pool{nullptr};
// Serialises starting the pool; held across fork() so that the child never
// inherits it half-taken.
std::mutex start_mutex;
bool fork_handlers_registered = false;  // guarded by start_mutex
// A child keeps the pool it inherited reachable (its threads are gone), so
// leak checkers do not report it.
WorkerPool* pool_abandoned_by_fork = nullptr;
std::atomic<std::uint64_t> loop_count{0};
thread_local bool on_pool_thread = false;

void before_fork() { start_mutex.lock(); }
void after_fork_in_parent() { start_mutex.unlock(); }
void after_fork_in_child() {
  pool_abandoned_by_fork = current_pool.exchange(nullptr);
  start_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::instance() {
  if (WorkerPool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(start_mutex);
  if (WorkerPool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
  if (!fork_handlers_registered) {
    register_fork_handlers({before_fork, after_fork_in_parent, after_fork_in_child});
    fork_handlers_registered = true;
  }
  // Never deleted: see the class comment.
  auto* pool = new WorkerPool(pool_size_from_environment());
  current_pool.store(pool, std::memory_order_release);
  return *pool;
}

std::uint64_t WorkerPool::loops_run() { return loop_count.load(std::memory_order_relaxed); }

WorkerPool::WorkerPool(std::size_t requested_threads) {
  for (std::size_t i = 0; i < requested_threads; ++i) {
    try {
      std::thread(&WorkerPool::worker_main, this).detach();
    } catch (const std::system_error&) {
      // The system refused more threads: run with those that started. With
      // none, loops run on their calling threads.
      break;
    }
    ++thread_count_;
  }
}

void WorkerPool::run_loop(std::size_t begin, std::size_t end, std::size_t chunk, LoopBody body, void* context) {
  loop_count.fetch_add(1, std::memory_order_relaxed);
  if (begin >= end) return;
  chunk = std::max<std::size_t>(chunk, 1);
  if (on_pool_thread || thread_count_ == 0) {
    for (std::size_t i = begin; i < end; ++i) body(context, i);
    return;
  }
  Loop loop{{begin}, end, chunk, body, context};
  std::unique_lock<std::mutex> lock(mutex_);
  loops_.push_back(&loop);
  work_ready_.notify_all();
  loop_finished_.wait(lock, [&] { return loop.finished; });
  lock.unlock();
  // Every worker left the loop under the mutex after the failing call
  // stored its exception, so the store is visible here.
  if (loop.failure) std::rethrow_exception(loop.failure);
}

void WorkerPool::worker_main() {
  on_pool_thread = true;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [&] { return !loops_.empty(); });
    Loop& loop = *loops_.front();
    ++loop.workers_inside;
    lock.unlock();
    work_on_catching(loop);
    lock.lock();
    // This worker saw every chunk claimed, or a call fail; the loop leaves the
    // queue so that no other worker enters it, and it is finished once the
    // last worker inside has returned from its chunk.
    if (!loop.handed_out) {
      loop.handed_out = true;
      loops_.erase(std::find(loops_.begin(), loops_.end(), &loop));
    }
    if (--loop.workers_inside == 0) {
      loop.finished = true;
      loop_finished_.notify_all();
    }
  }
}

void WorkerPool::work_on(Loop& loop) {
  // `failed` is read relaxed: it only stops the handing out early, and the
  // exception itself travels through the mutex.
  while (!loop.failed.load(std::memory_order_relaxed)) {
    const std::size_t first = loop.next.fetch_add(loop.chunk, std::memory_order_relaxed);
    if (first >= loop.end) return;
    const std::size_t last = std::min(loop.end, first + loop.chunk);
    for (std::size_t i = first; i < last && !loop.failed.load(std::memory_order_relaxed); ++i) {
      loop.body(loop.context, i);
    }
  }
}

void WorkerPool::work_on_catching(Loop& loop) {
  try {
    work_on(loop);
  } catch (...) {
    // current_exception() refers to the thrown object without copying it, so
    // an out-of-memory exception is carried without allocating.
    if (!loop.failed.exchange(true, std::memory_order_relaxed)) loop.failure = std::current_exception();
  }
}

}  // namespace sorvid
