// Snapshot encode/decode throughput.
//
// Usage: formats_bench <embeddings.f32> <count> <dim> <snapshot out> [repeats] [encode|decode]
//
// Reads count * dim little-endian 32-bit floats, makes `count` entries
// ("id-<i>", empty metadata and created_at), encodes them as a snapshot
// document, writes it to <snapshot out>, decodes that text and checks that
// encoding the result gives the same bytes. Prints the best time of each
// step over [repeats] runs (wall clock and processor time), and of the
// snapshot text's Fingerprint (what an open computes to match the graph
// file), as one JSON object. A last argument "encode" or "decode" repeats
// only that step (the other runs once, untimed), so that a profile of the
// run shows one step.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/fingerprint.h"
#include "formats/snapshot.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Processor time of this process: on a shared machine it leaves out the
// time spent waiting for a core.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Best wall and processor time of `repeats` runs of `step`.
template <class Step>
std::pair<double, double> best_times(int repeats, Step&& step) {
  double wall = 1e300;
  double cpu = 1e300;
  for (int run = 0; run < repeats; ++run) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    step();
    cpu = std::min(cpu, cpu_seconds() - cpu_start);
    wall = std::min(wall, seconds_since(start));
  }
  return {wall, cpu};
}

std::vector<sorvid::VectorEntry> load_entries(const char* path, std::size_t count, std::size_t dim) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> values(count * dim);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", values.size(), path);
    std::exit(2);
  }
  std::vector<sorvid::VectorEntry> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].id = "id-" + std::to_string(i);
    entries[i].embedding.assign(values.begin() + static_cast<std::ptrdiff_t>(i * dim),
                                values.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
  }
  return entries;
}

std::string encode(std::uint64_t dim, const std::vector<sorvid::VectorEntry>& entries) {
  std::vector<const sorvid::VectorEntry*> pointers;
  pointers.reserve(entries.size());
  for (const auto& entry : entries) pointers.push_back(&entry);
  std::string text;
  text.reserve(128);
  sorvid::encode_snapshot(dim, pointers, text);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <embeddings.f32> <count> <dim> <snapshot out> [repeats] [encode|decode]\n",
                 argv[0]);
    return 2;
  }
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
  const int repeats = argc > 5 ? std::atoi(argv[5]) : 3;
  const std::string only = argc > 6 ? argv[6] : "";
  const int encode_repeats = only == "decode" ? 1 : repeats;
  const int decode_repeats = only == "encode" ? 1 : repeats;
  const std::vector<sorvid::VectorEntry> entries = load_entries(argv[1], count, dim);

  std::string text;
  const auto [encode_wall, encode_cpu] = best_times(encode_repeats, [&] { text = encode(dim, entries); });
  std::ofstream(argv[4], std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));

  std::uint64_t fingerprint = 0;
  const auto [fingerprint_wall, fingerprint_cpu] =
      best_times(only.empty() ? repeats : 1, [&] { fingerprint = sorvid::fingerprint_of(text); });

  std::vector<sorvid::VectorEntry> decoded;
  bool decode_failed = false;
  const auto [decode_wall, decode_cpu] = best_times(decode_repeats, [&] {
    auto snapshot = sorvid::decode_snapshot(text);
    if (!snapshot) {
      std::fprintf(stderr, "decode failed: %s\n", snapshot.error().message().c_str());
      decode_failed = true;
      return;
    }
    decoded = std::move(snapshot).value().entries;
  });
  if (decode_failed) return 1;
  const bool identical = decoded == entries && encode(dim, decoded) == text;
  std::printf(
      "{\"entries\":%zu,\"dim\":%zu,\"bytes\":%zu,\"encode_s\":%.6f,\"encode_cpu_s\":%.6f,"
      "\"decode_s\":%.6f,\"decode_cpu_s\":%.6f,\"fingerprint_s\":%.6f,\"fingerprint\":\"%016llx\","
      "\"round_trip_identical\":%s}\n",
      count, dim, text.size(), encode_wall, encode_cpu, decode_wall, decode_cpu, fingerprint_wall,
      static_cast<unsigned long long>(fingerprint), identical ? "true" : "false");
  return identical ? 0 : 1;
}
