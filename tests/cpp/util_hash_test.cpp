// The in-memory tables' hashes on the keys real inputs have: short numeric
// texts, prefixed counters, consecutive integers. No two of a million share
// a full hash, and their low bits (which pick a table slot) fill a table as
// evenly as random numbers would.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "quor/util/hash.h"

namespace quor::util {
namespace {

constexpr size_t kKeys = 1000000;

// Distinct full hashes, and distinct slots of a table of 2^20 slots, against
// what a million random numbers give: 1 - e^-(n/m) of the slots used.
void expect_spread(const std::vector<uint64_t>& hashes, const std::string& what) {
  std::unordered_set<uint64_t> full(hashes.begin(), hashes.end());
  EXPECT_EQ(full.size(), hashes.size()) << what << ": full hashes alike";
  constexpr uint64_t kSlots = uint64_t{1} << 20;
  std::vector<uint8_t> used(kSlots, 0);
  size_t distinct = 0;
  for (uint64_t h : hashes) {
    uint8_t& u = used[h & (kSlots - 1)];
    distinct += u == 0 ? 1 : 0;
    u = 1;
  }
  const double expected = kSlots * (1.0 - std::exp(-static_cast<double>(hashes.size()) / kSlots));
  EXPECT_NEAR(static_cast<double>(distinct), expected, expected * 0.005) << what << ": slots used";
}

TEST(Hash, ShortTextsSpreadLikeRandomNumbers) {
  for (const char* format : {"%zu", "v%zu", "%zu.5", "2024-%zu"}) {
    std::vector<uint64_t> hashes;
    hashes.reserve(kKeys);
    char text[32];
    for (size_t i = 0; i < kKeys; ++i) {
      const int n = std::snprintf(text, sizeof text, format, i);
      hashes.push_back(text_hash(std::string_view(text, static_cast<size_t>(n))));
    }
    expect_spread(hashes, format);
  }
  // Texts that differ only in length or in one repeated byte.
  EXPECT_NE(text_hash("1000"), text_hash("10000"));
  EXPECT_NE(text_hash(""), text_hash(std::string_view("\0", 1)));
  EXPECT_EQ(text_hash(std::string("north")), text_hash("north"));
}

TEST(Hash, IntegerFinaliserSpreadsConsecutiveAndStridedKeys) {
  for (const uint64_t stride : {uint64_t{1}, uint64_t{1} << 20, uint64_t{1} << 32}) {
    std::vector<uint64_t> hashes;
    hashes.reserve(kKeys);
    for (uint64_t i = 0; i < kKeys; ++i) hashes.push_back(mix_bits(i * stride));
    expect_spread(hashes, "stride " + std::to_string(stride));
  }
}

}  // namespace
}  // namespace quor::util
