// Times the two strategies of a filtered search (exact scoring of the
// allowed points, and the filtered walk) over a sweep of allowed shares, and
// measures the walk's recall@10 (and @100) against the exact answer; the
// switch between them in src/hnsw/filtered_search.cc is set from its
// figures. The last two columns are search_among itself: the strategy the
// switch chose, its time and its recall@10.
//
//   filter_bench [POINTS DIM QUERIES SEED [SHARE%...]]
//
// Defaults: 50000 points of 384 values, 200 queries, seed 1, shares 0.1%,
// 0.3%, 1%, 3%, 10%, 30% and 100%. A share written "c3" allows 3% of the
// points drawn from clusters other than the query's own (as many as there
// are, at most): the walk's hard case, where every allowed point lies far
// from the query. A share written "o3" allows a random 3% to queries drawn
// around centres of their own, which no point shares: "o100" is then the
// unfiltered search for queries far from all the points, the same hard case
// without a filter.
//
// Points are Gaussian clusters (one per 1,000 points, spread 0.6); queries
// are drawn the same way. Each query gets its own random allowed set.
// Queries run one at a time on this thread; times include finding the
// allowed nodes (and their flags, for the walk).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "hnsw/filtered_search.h"
#include "hnsw/index_builder.h"
#include "hnsw/prepared_query.h"

namespace {

using namespace sorvid::hnsw;
using Clock = std::chrono::steady_clock;
using Rows = std::vector<std::vector<float>>;

// Rows around the centres, and the centre each was drawn around.
Rows clustered(const Rows& centres, std::size_t n, std::mt19937_64& rng, std::vector<std::size_t>& labels) {
  std::normal_distribution<float> normal;
  const std::size_t dim = centres[0].size();
  Rows rows(n, std::vector<float>(dim));
  labels.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    labels[r] = rng() % centres.size();
    for (std::size_t i = 0; i < dim; ++i) rows[r][i] = centres[labels[r]][i] + 0.6f * normal(rng);
  }
  return rows;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::size_t overlap_at(const std::vector<Hit>& found, const std::vector<Hit>& truth, std::size_t k) {
  std::set<NodeId> true_nodes;
  for (std::size_t i = 0; i < std::min(k, truth.size()); ++i) true_nodes.insert(truth[i].node);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < std::min(k, found.size()); ++i) hits += true_nodes.count(found[i].node);
  return hits;
}

}  // namespace

int main(int argc, char** argv) {
  const auto arg = [&](int i, std::size_t fallback) {
    return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
  };
  const std::size_t n = arg(1, 50000);
  const std::size_t dim = arg(2, 384);
  const std::size_t queries = arg(3, 200);
  std::mt19937_64 rng(arg(4, 1));
  // FILTER_WIDTH=w walks with width w instead of the product's.
  const char* width_env = std::getenv("FILTER_WIDTH");
  const std::size_t width = width_env != nullptr ? std::strtoull(width_env, nullptr, 10) : kFilteredWidth;

  Rows centres(std::max<std::size_t>(1, n / 1000), std::vector<float>(dim));
  std::normal_distribution<float> normal;
  for (auto& centre : centres) {
    for (float& x : centre) x = normal(rng);
  }
  std::vector<std::size_t> labels;
  const Rows points = clustered(centres, n, rng, labels);
  std::vector<std::uint64_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = i;
  const auto build_start = Clock::now();
  const HnswIndex index = build_index(views_of(points), values, 7);
  std::printf("%zu x %zu, build %.2f s, %zu queries per share, walk width %zu\n", n, dim, seconds_since(build_start),
              queries, width);
  std::printf("%8s %8s %10s %10s %9s %9s %7s %10s %9s\n", "share", "allowed", "exact_ms", "walk_ms", "recall10",
              "recall100", "topups", "chosen_ms", "chosen10");

  std::vector<std::string> shares = {"0.1", "0.3", "1", "3", "10", "30", "100"};
  if (argc > 5) shares.assign(argv + 5, argv + argc);
  for (const std::string& share_arg : shares) {
    const bool far_clusters = share_arg[0] == 'c';
    const bool outside = share_arg[0] == 'o';
    const double share = std::strtod(share_arg.c_str() + (far_clusters || outside ? 1 : 0), nullptr) / 100.0;
    const auto wanted = std::max<std::size_t>(1, static_cast<std::size_t>(share * static_cast<double>(n)));
    Rows query_centres = centres;
    if (outside) {
      for (auto& centre : query_centres) {
        for (float& x : centre) x = normal(rng);
      }
    }
    std::vector<std::size_t> query_labels;
    const Rows query_rows = clustered(query_centres, queries, rng, query_labels);
    double exact_seconds = 0;
    double walk_seconds = 0;
    double chosen_seconds = 0;
    std::size_t chosen_overlap10 = 0;
    std::size_t overlap10 = 0;
    std::size_t overlap100 = 0;
    std::size_t truth10 = 0;
    std::size_t truth100 = 0;
    std::size_t topups = 0;
    std::vector<std::uint64_t> pool = values;
    std::size_t allowed_total = 0;
    for (std::size_t q = 0; q < queries; ++q) {
      const std::vector<float>& query = query_rows[q];
      // A fresh random allowed set: the first of a partial shuffle (of the
      // points in other clusters, when far).
      std::size_t eligible = n;
      if (far_clusters) {
        eligible = static_cast<std::size_t>(
            std::partition(pool.begin(), pool.end(), [&](std::uint64_t v) { return labels[v] != query_labels[q]; }) -
            pool.begin());
      }
      const std::size_t allowed_count = std::min(wanted, eligible);
      for (std::size_t i = 0; i < allowed_count; ++i) std::swap(pool[i], pool[i + rng() % (eligible - i)]);
      const std::span<const std::uint64_t> allowed(pool.data(), allowed_count);
      allowed_total += allowed_count;

      auto start = Clock::now();
      const AllowedNodes exact_nodes = allowed_nodes(index, allowed, false);
      PreparedQuery prepared;
      const std::vector<Hit> truth = exact_among(index, prepared.load(query), exact_nodes.nodes, 100);
      exact_seconds += seconds_since(start);

      start = Clock::now();
      AllowedNodes walk_nodes = allowed_nodes(index, allowed, true);
      const std::vector<Hit> walked = walk_among(index, query, walk_nodes, 100, width);
      walk_seconds += seconds_since(start);

      start = Clock::now();
      const std::vector<Hit> chosen = search_among(index, query, allowed, 100);
      chosen_seconds += seconds_since(start);
      chosen_overlap10 += overlap_at(chosen, truth, 10);

      // A top-up leaves the walk's returned nodes flagged.
      std::size_t flagged = 0;
      for (const NodeId node : walk_nodes.nodes) flagged += walk_nodes.excluded[node];
      topups += flagged > 0 ? 1 : 0;
      overlap10 += overlap_at(walked, truth, 10);
      overlap100 += overlap_at(walked, truth, 100);
      truth10 += std::min<std::size_t>(10, truth.size());
      truth100 += truth.size();
    }
    const double per_query_ms = 1000.0 / static_cast<double>(queries);
    const auto ratio = [](std::size_t a, std::size_t b) { return static_cast<double>(a) / static_cast<double>(b); };
    std::printf("%7s%% %8zu %10.3f %10.3f %9.4f %9.4f %7zu %10.3f %9.4f\n", share_arg.c_str(), allowed_total / queries,
                exact_seconds * per_query_ms, walk_seconds * per_query_ms, ratio(overlap10, truth10),
                ratio(overlap100, truth100), topups, chosen_seconds * per_query_ms, ratio(chosen_overlap10, truth10));
  }
  return 0;
}
