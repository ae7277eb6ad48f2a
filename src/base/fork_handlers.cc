#include "base/fork_handlers.h"

#include <pthread.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sorvid {
namespace {

constexpr std::size_t kMaxRegistrations = 8;

// Registrations only grow, under `registry_mutex`; the hooks read them while
// no other thread of this process can register (fork runs the hooks on the
// forking thread, and the prepare hook holds the mutex until after the fork).
std::mutex registry_mutex;
std::array<ForkHandlers, kMaxRegistrations> registry;
std::size_t registered = 0;
bool hook_installed = false;

void prepare_all() {
  registry_mutex.lock();
  for (std::size_t i = registered; i-- > 0;) {
    if (registry[i].prepare) registry[i].prepare();
  }
}

void after_in_parent_all() {
  for (std::size_t i = 0; i < registered; ++i) {
    if (registry[i].after_in_parent) registry[i].after_in_parent();
  }
  registry_mutex.unlock();
}

void after_in_child_all() {
  for (std::size_t i = 0; i < registered; ++i) {
    if (registry[i].after_in_child) registry[i].after_in_child();
  }
  registry_mutex.unlock();
}

}  // namespace

void register_fork_handlers(ForkHandlers handlers) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  if (registered == kMaxRegistrations) {
    std::fputs("sorvid: too many fork handler registrations\n", stderr);
    std::abort();
  }
  if (!hook_installed) {
    pthread_atfork(prepare_all, after_in_parent_all, after_in_child_all);
    hook_installed = true;
  }
  registry[registered++] = handlers;
}

}  // namespace sorvid
