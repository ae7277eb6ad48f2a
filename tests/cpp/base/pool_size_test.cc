// The pool-size rules for "RAYON_NUM_THREADS" and "RAYON_RS_NUM_CPUS".
#include "base/pool_size.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace sorvid {
namespace {

struct ParseCase {
  std::string text;
  std::optional<std::uint64_t> expected;
};

class ParseThreadCountTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCountTest, AcceptsOnlyPlainUnsignedDecimals) {
  EXPECT_EQ(GetParam().expected, parse_thread_count(GetParam().text)) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseThreadCountTest,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0}, ParseCase{"007", 7}, ParseCase{"+0", 0},
                      ParseCase{"18446744073709551615", 18446744073709551615ull},
                      ParseCase{"18446744073709551616", std::nullopt},  // beyond 64 bits
                      ParseCase{"", std::nullopt}, ParseCase{"+", std::nullopt}, ParseCase{"-1", std::nullopt},
                      ParseCase{"-0", std::nullopt}, ParseCase{"++1", std::nullopt}, ParseCase{" 4", std::nullopt},
                      ParseCase{"4 ", std::nullopt}, ParseCase{"4\n", std::nullopt}, ParseCase{"0x10", std::nullopt},
                      ParseCase{"1e3", std::nullopt}, ParseCase{"3.0", std::nullopt}, ParseCase{"four", std::nullopt}));

struct SizeCase {
  const char* num_threads;  // null: unset
  const char* rs_num_cpus;
  std::size_t expected;  // with a default of 6
};

class PoolSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizeTest, FollowsTheVariablesInOrder) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(c.expected, pool_size_from_settings(c.num_threads, c.rs_num_cpus, 6));
}

INSTANTIATE_TEST_SUITE_P(Settings, PoolSizeTest,
                         ::testing::Values(SizeCase{nullptr, nullptr, 6}, SizeCase{"3", nullptr, 3},
                                           SizeCase{"+3", "9", 3},
                                           SizeCase{"0", "9", 6},    // 0 means the default, not the fallback
                                           SizeCase{"abc", "9", 9},  // not a count: the fallback decides
                                           SizeCase{"", "9", 9}, SizeCase{"-2", "+9", 9}, SizeCase{nullptr, "9", 9},
                                           SizeCase{nullptr, "0", 6}, SizeCase{nullptr, "x", 6}, SizeCase{"x", "x", 6},
                                           SizeCase{"99999999999999999999", "2", 2}));

TEST(PoolSize, DefaultIsAtLeastOneAndAtMostTheOnlineProcessors) {
  const std::size_t size = default_pool_size();
  EXPECT_GE(size, 1u);
  EXPECT_LE(size, 1u << 20);
}

}  // namespace
}  // namespace sorvid
