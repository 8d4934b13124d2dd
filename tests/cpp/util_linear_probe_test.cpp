// The open-addressing search shared by the engine's tables against a
// std::unordered_map model: random inserts, finds and backward-shift
// erasures, with homes spread by the integer finaliser, crowded onto a few
// slots, or all on one slot next to the array's end (runs that wrap).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "quor/util/hash.h"
#include "quor/util/linear_probe.h"

namespace quor::util {
namespace {

TEST(LinearProbe, MatchesAMapUnderInsertFindErase) {
  struct Case {
    const char* name;
    uint32_t (*home)(uint32_t key);
  };
  const Case cases[] = {
      {"spread", [](uint32_t k) { return static_cast<uint32_t>(mix_bits(k)); }},
      {"eight homes", [](uint32_t k) { return k % 8 * 97; }},
      {"one home at the end", [](uint32_t) { return uint32_t{1021}; }},
  };
  constexpr size_t kSlots = 1024, kMask = kSlots - 1, kMostLive = 700;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(3);
    // A slot: the key's home in the high half, key + 1 in the low half.
    std::vector<uint64_t> slots(kSlots, 0);
    std::unordered_map<uint32_t, size_t> model;  // key -> (unused) count of inserts
    auto find = [&](uint32_t k) {
      return probe_find(slots.data(), kMask, c.home(k), [&](uint64_t s) { return static_cast<uint32_t>(s) == k + 1; });
    };
    auto home_of = [](uint64_t s) { return static_cast<size_t>(s >> 32); };
    for (int step = 0; step < 60000; ++step) {
      const auto k = static_cast<uint32_t>(rng() % 2000);
      const size_t at = find(k);
      const bool present = slots[at] != 0;
      ASSERT_EQ(present, model.count(k) == 1) << step;
      const uint64_t op = rng() % 3;
      if (op == 0 && !present && model.size() < kMostLive) {
        ASSERT_EQ(probe_free(slots.data(), kMask, c.home(k)), at);
        slots[at] = uint64_t{c.home(k)} << 32 | (k + 1);
        model[k] = 1;
      } else if (op == 1 && present) {
        probe_erase(slots.data(), kMask, at, home_of);
        model.erase(k);
      }
      if (step % 5000 == 0) {
        size_t live = 0;
        for (uint64_t s : slots) live += s != 0;
        ASSERT_EQ(live, model.size());
        for (const auto& [key, n] : model) ASSERT_NE(slots[find(key)], 0u) << key;
      }
    }
    // Everything erased leaves every slot empty.
    for (const auto& [key, n] : model) probe_erase(slots.data(), kMask, find(key), home_of);
    for (uint64_t s : slots) ASSERT_EQ(s, 0u);
  }
}

}  // namespace
}  // namespace quor::util
