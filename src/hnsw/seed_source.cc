#include "hnsw/seed_source.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "base/fork_handlers.h"
#include "hnsw/build_rng.h"

namespace sorvid::hnsw {
namespace {

// Draws between two seedings of a thread's generator.
constexpr std::uint32_t kDrawsPerSeeding = 64;

// Counts forks on the child's side; a generator seeded before the latest fork
// seeds itself again.
std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

void install_fork_handler_once() {
  static const bool installed = [] {
    register_fork_handlers({.after_in_child = count_fork_in_child});
    return true;
  }();
  (void)installed;
}

bool read_getrandom(unsigned char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool read_urandom(unsigned char* out, std::size_t size) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return ok;
}

// Last resort when the system offers no random source: a state from the
// clock, the process and the thread, mixed with a counter so that no two
// calls in the process repeat.
std::array<std::uint8_t, 32> fallback_state_bytes() {
  static std::atomic<std::uint64_t> calls{0};
  const std::uint64_t parts[4] = {
      static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(getpid()), std::hash<std::thread::id>{}(std::this_thread::get_id()),
      calls.fetch_add(1, std::memory_order_relaxed)};
  std::array<std::uint8_t, 32> bytes;
  std::memcpy(bytes.data(), parts, bytes.size());
  return bytes;
}

BuildRng seeded_generator() {
  std::array<std::uint8_t, 32> bytes;
  if (!read_os_random(bytes.data(), bytes.size())) bytes = fallback_state_bytes();
  return BuildRng::from_state_bytes(bytes);
}

struct ThreadSeedGenerator {
  std::optional<BuildRng> generator;
  std::uint32_t draws_left = 0;
  std::uint64_t seeded_in_fork_generation = 0;
};

}  // namespace

bool read_os_random(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  return read_getrandom(out, size) || read_urandom(out, size);
}

std::uint64_t next_build_seed() {
  install_fork_handler_once();
  thread_local ThreadSeedGenerator local;
  const std::uint64_t forks = fork_generation.load(std::memory_order_relaxed);
  if (!local.generator || local.draws_left == 0 || local.seeded_in_fork_generation != forks) {
    local.generator = seeded_generator();
    local.draws_left = kDrawsPerSeeding;
    local.seeded_in_fork_generation = forks;
  }
  --local.draws_left;
  return local.generator->next_u64();
}

}  // namespace sorvid::hnsw
