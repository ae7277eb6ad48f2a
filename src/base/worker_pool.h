// WorkerPool: the one process-wide pool of worker threads that runs the
// parallel loops of index builds.
//
// The pool starts at the first parallel loop, sized once from the
// environment (pool_size.h), and is deliberately never torn down: its threads
// sleep when idle and the process may exit with them asleep. After fork() the
// child has none of the parent's threads, so the child forgets the inherited
// pool and starts a fresh one at its first parallel loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

namespace sorvid {

class WorkerPool {
 public:
  // The pool, started on first use.
  static WorkerPool& instance();
  // How many parallel loops any pool of this process has run; lets tests see
  // whether a build used the pool at all.
  static std::uint64_t loops_run();

  std::size_t thread_count() const { return thread_count_; }

  // Calls body(i) for every i in [begin, end) exactly once, on the pool's
  // threads, handing out `chunk` ids at a time; returns when all calls have
  // finished. A loop started from a pool thread, or on a pool that could not
  // start any thread, runs on the calling thread.
  //
  // When a call throws, no further ids are handed out; the calls already
  // running finish, and then the first exception thrown is rethrown on the
  // calling thread (the ids never reached are simply not called). The pool
  // stays usable for later loops.
  template <class Body>
  void parallel_for(std::size_t begin, std::size_t end, std::size_t chunk, Body&& body) {
    using BodyType = std::remove_reference_t<Body>;
    run_loop(
        begin, end, chunk, [](void* context, std::size_t i) { (*static_cast<BodyType*>(context))(i); },
        static_cast<void*>(&body));
  }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  using LoopBody = void (*)(void*, std::size_t);

  // One parallel loop, owned by the thread that waits for it.
  struct Loop {
    std::atomic<std::size_t> next;
    std::size_t end;
    std::size_t chunk;
    LoopBody body;
    void* context;
    // Set by the first call that throws; from then on no id is handed out.
    std::atomic<bool> failed{false};
    // The first exception, written only by the thread that set `failed`, and
    // read by the waiting thread once the loop has finished.
    std::exception_ptr failure{};
    std::size_t workers_inside = 0;  // guarded by the pool's mutex
    bool handed_out = false;         // every chunk claimed; guarded by the mutex
    bool finished = false;           // guarded by the mutex
  };

  explicit WorkerPool(std::size_t requested_threads);
  void run_loop(std::size_t begin, std::size_t end, std::size_t chunk, LoopBody body, void* context);
  void worker_main();
  // Runs chunks of `loop` until none are left or a call has thrown.
  static void work_on(Loop& loop);
  // work_on that records an exception in the loop instead of letting it
  // leave the worker thread (where it would end the process).
  static void work_on_catching(Loop& loop);

  std::size_t thread_count_ = 0;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable loop_finished_;
  std::deque<Loop*> loops_;  // loops with chunks left to claim
};

}  // namespace sorvid
