// Builds an index over raw float32 points, runs queries one at a time and
// prints build time, query latency (mean, median and 99th percentile) and
// recall@k as one JSON object.
//
//   index_bench POINTS QUERIES DIM [TRUTH K]
//
// POINTS and QUERIES hold little-endian float32 rows of DIM values. TRUTH,
// when given, holds K int32 ids of the true nearest points per query.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/worker_pool.h"
#include "hnsw/vector_index.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
std::vector<T> read_raw(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  const auto bytes = static_cast<std::size_t>(in.tellg());
  std::vector<T> data(bytes / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(T)));
  return data;
}

std::vector<std::vector<float>> rows_of(const std::vector<float>& flat, std::size_t dim) {
  std::vector<std::vector<float>> rows(flat.size() / dim);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].assign(flat.begin() + static_cast<std::ptrdiff_t>(i * dim),
                   flat.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
  }
  return rows;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace sorvid::hnsw;
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: %s POINTS QUERIES DIM [TRUTH K]\n", argv[0]);
    return 2;
  }
  const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
  std::vector<std::vector<float>> points = rows_of(read_raw<float>(argv[1]), dim);
  const std::vector<std::vector<float>> queries = rows_of(read_raw<float>(argv[2]), dim);
  const std::size_t n = points.size();
  std::vector<std::uint64_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = i;

  const auto build_start = Clock::now();
  const VectorIndex index = VectorIndex::build(sorvid::hnsw::views_of(points), values);
  const double build_seconds = seconds_since(build_start);

  // One query at a time on this thread, through the index's one entry
  // point, as the store runs them.
  std::vector<std::vector<std::uint64_t>> answers(queries.size());
  std::vector<double> latencies(queries.size());
  const auto query_start = Clock::now();
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const auto start = Clock::now();
    const std::vector<Hit> hits = index.search(queries[q]);
    latencies[q] = seconds_since(start);
    for (const Hit& hit : hits) answers[q].push_back(hit.value);
  }
  const double query_seconds = seconds_since(query_start);
  std::sort(latencies.begin(), latencies.end());
  const auto percentile_ms = [&](double p) {
    if (latencies.empty()) return 0.0;
    return 1000.0 * latencies[static_cast<std::size_t>(p * static_cast<double>(latencies.size() - 1))];
  };

  double recall = -1.0;
  if (argc == 6) {
    const std::vector<std::int32_t> truth = read_raw<std::int32_t>(argv[4]);
    const std::size_t k = std::strtoull(argv[5], nullptr, 10);
    std::size_t found = 0;
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const std::set<std::int64_t> expected(truth.begin() + static_cast<std::ptrdiff_t>(q * k),
                                            truth.begin() + static_cast<std::ptrdiff_t>((q + 1) * k));
      for (std::size_t i = 0; i < k && i < answers[q].size(); ++i) {
        found += expected.count(static_cast<std::int64_t>(answers[q][i]));
      }
    }
    recall = static_cast<double>(found) / static_cast<double>(k * queries.size());
  }

  std::printf(
      "{\"n\": %zu, \"dim\": %zu, \"threads\": %zu, \"build_seconds\": %.3f, "
      "\"build_points_per_second\": %.1f, \"queries\": %zu, \"query_ms\": %.4f, \"query_p50_ms\": %.4f, "
      "\"query_p99_ms\": %.4f, \"qps\": %.1f, \"recall\": %.4f}\n",
      n, dim, sorvid::WorkerPool::instance().thread_count(), build_seconds, static_cast<double>(n) / build_seconds,
      queries.size(), 1000.0 * query_seconds / static_cast<double>(queries.size()), percentile_ms(0.5),
      percentile_ms(0.99), static_cast<double>(queries.size()) / query_seconds, recall);
  return 0;
}
