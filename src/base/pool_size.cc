#include "base/pool_size.h"

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>

namespace sorvid {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t pool_size_from_settings(const char* num_threads, const char* rs_num_cpus, std::size_t default_size) {
  if (num_threads != nullptr) {
    if (const auto count = parse_thread_count(num_threads)) {
      return *count > 0 ? static_cast<std::size_t>(*count) : default_size;
    }
  }
  if (rs_num_cpus != nullptr) {
    if (const auto count = parse_thread_count(rs_num_cpus); count && *count > 0) {
      return static_cast<std::size_t>(*count);
    }
  }
  return default_size;
}

std::size_t default_pool_size() {
  // Grow the set until it holds every processor the kernel knows of.
  for (int set_size = CPU_SETSIZE; set_size <= (1 << 20); set_size *= 2) {
    cpu_set_t* set = CPU_ALLOC(set_size);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(set_size);
    const int status = sched_getaffinity(0, bytes, set);
    const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (status == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t pool_size_from_environment() {
  return pool_size_from_settings(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                 default_pool_size());
}

}  // namespace sorvid
