// Shared helpers of the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/vector_entry.h"
#include "core/store_core.h"
#include "core/store_error.h"

namespace sorvid::testing {

inline VectorEntry make_entry(std::string id, std::vector<float> embedding, std::string metadata = "",
                              std::string created_at = "") {
  return VectorEntry{std::move(id), std::move(embedding), std::move(metadata), std::move(created_at)};
}

// Log lines of the entries most tests use, spelled out byte for byte.
inline const std::string kLineA =
    R"({"op":"upsert","data":{"id":"a","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""}})"
    "\n";
inline const std::string kLineB =
    R"({"op":"upsert","data":{"id":"b","embedding":[-0.5,2.0,1e-7],"metadata":"blue","created_at":"t1"}})"
    "\n";
inline const std::string kDeleteA = R"({"op":"delete","data":{"id":"a"}})"
                                    "\n";
inline VectorEntry entry_a() { return make_entry("a", {1.0f, 0.0f, 0.25f}); }
inline VectorEntry entry_b() { return make_entry("b", {-0.5f, 2.0f, 1e-7f}, "blue", "t1"); }

// What a store holds, in a form that compares whole: entries by id and the
// dimension.
struct StoreState {
  std::map<std::string, VectorEntry> entries;
  std::optional<std::uint64_t> dim;

  bool operator==(const StoreState&) const = default;
};

// The state of the given entries (a later one replaces an earlier one with
// the same id) and dimension.
inline StoreState holding(const std::vector<VectorEntry>& entries, std::optional<std::uint64_t> dim) {
  StoreState state;
  for (const VectorEntry& entry : entries) state.entries.insert_or_assign(entry.id, entry);
  state.dim = dim;
  return state;
}

inline StoreState state_of(const StoreCore& store) {
  StoreState state;
  for (const auto& [id, entry] : store.entries()) state.entries.emplace(id, entry);
  state.dim = store.dim();
  return state;
}

inline void PrintTo(const StoreState& state, std::ostream* out) {
  *out << "{dim " << (state.dim ? std::to_string(*state.dim) : "unset") << ":";
  for (const auto& [id, entry] : state.entries) {
    *out << " " << id << "[";
    for (float value : entry.embedding) *out << value << ",";
    *out << "]" << entry.metadata;
  }
  *out << "}";
}

template <class T>
::testing::AssertionResult fails_with(const Result<T, StoreError>& result, StoreErrorKind kind,
                                      const std::string& message) {
  if (result.ok()) return ::testing::AssertionFailure() << "succeeded; expected \"" << message << "\"";
  if (result.error().kind != kind || result.error().message != message) {
    return ::testing::AssertionFailure() << "failed with kind " << static_cast<int>(result.error().kind) << " \""
                                         << result.error().message << "\"; expected kind " << static_cast<int>(kind)
                                         << " \"" << message << "\"";
  }
  return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult succeeded(const Result<T, StoreError>& result) {
  if (result.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed: \"" << result.error().message << "\"";
}

}  // namespace sorvid::testing
