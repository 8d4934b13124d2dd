// The compare cache on its own: LRU order, keys, copies, poisoning, shared
// member lists and threads.
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "reference/compare_cache_probe.h"

namespace quor::analytics {
namespace {

size_t member_lists(CompareCache& c) { return reference::CompareCacheProbe::member_lists(c); }

CompareKey key(uint64_t i) { return CompareKey{i, 1, i + 1, 1, {}, {}}; }
CompareResult result(double jsd) {
  CompareResult r;
  r.jsd = jsd;
  r.contributions.push_back({"c", 0.1, 0.2, 0.1, 0.01});
  return r;
}

TEST(CompareCacheLru, EvictsLeastRecentlyUsed) {
  CompareCache c;
  for (uint64_t i = 0; i < CompareCache::kCapacity; ++i) c.put(key(i), result(double(i)));
  EXPECT_EQ(c.size(), CompareCache::kCapacity);
  ASSERT_TRUE(c.get(key(0)));        // refresh the oldest
  EXPECT_FALSE(c.get(key(999999)));  // a miss changes nothing
  c.put(key(5), result(55));         // replace: no eviction
  EXPECT_EQ(c.size(), CompareCache::kCapacity);
  EXPECT_EQ(c.get(key(5))->jsd, 55);
  c.put(key(CompareCache::kCapacity), result(-1));
  EXPECT_EQ(c.size(), CompareCache::kCapacity);
  EXPECT_TRUE(c.get(key(0)));
  EXPECT_FALSE(c.get(key(1)));  // now the least recently used was 1
  EXPECT_TRUE(c.get(key(2)));
}

TEST(CompareCacheLru, KeysDistinguishSidesAndMembers) {
  CompareCache c;
  c.put(CompareKey{1, 1, 2, 1, {}, {}}, result(1));
  EXPECT_FALSE(c.get(CompareKey{2, 1, 1, 1, {}, {}}));
  EXPECT_FALSE(c.get(CompareKey{1, 1, 2, 1, {{3, 1}}, {}}));
  EXPECT_FALSE(c.get(CompareKey{1, 1, 2, 1, {}, {{3, 1}}}));
  EXPECT_FALSE(c.get(CompareKey{1, 2, 2, 1, {}, {}}));
}

TEST(CompareCacheLru, HandsOutIndependentCopies) {
  CompareCache c;
  c.put(key(1), result(0.5));
  auto got = c.get(key(1));
  got->contributions[0].category = "changed";
  got->jsd = 9;
  EXPECT_EQ(c.get(key(1))->contributions[0].category, "c");
  EXPECT_EQ(c.get(key(1))->jsd, 0.5);
}

TEST(CompareCacheLru, PoisonedMissesAndDiscards) {
  CompareCache c;
  c.put(key(1), result(0.5));
  c.poison();
  EXPECT_FALSE(c.get(key(1)));
  c.put(key(2), result(0.5));
  EXPECT_EQ(c.size(), 1u);
}

// The flat cache against a plain list-and-map LRU on a long random run of
// lookups and stores over more keys than the capacity: the same hits, the
// same values and the same final contents in the same recency order.
TEST(CompareCacheLru, AgreesWithAPlainLruModel) {
  struct Model {
    std::list<std::pair<uint64_t, double>> order;  // most recent first
    std::map<uint64_t, std::list<std::pair<uint64_t, double>>::iterator> where;
    std::optional<double> get(uint64_t k) {
      auto it = where.find(k);
      if (it == where.end()) return std::nullopt;
      order.splice(order.begin(), order, it->second);
      return it->second->second;
    }
    void put(uint64_t k, double v) {
      if (auto it = where.find(k); it != where.end()) {
        it->second->second = v;
        order.splice(order.begin(), order, it->second);
        return;
      }
      if (order.size() == CompareCache::kCapacity) {
        where.erase(order.back().first);
        order.pop_back();
      }
      order.emplace_front(k, v);
      where[k] = order.begin();
    }
  } model;
  // Every seventh key holds a member list on one side, one of three lists
  // built anew at each use (equal by content only), so lists are shared,
  // released with their last entry and matched by content.
  auto key = [](uint64_t k) {
    CompareKey out = CompareKey{k, 1, k + 1, 1, {}, {}};
    if (k % 7 == 0) {
      MemberStamps list{{k % 3 + 50, 1}, {60, 2}};
      (k % 2 == 0 ? out.more_a : out.more_b) = list;
    }
    return out;
  };
  CompareCache c;
  std::mt19937_64 rng(5);
  for (int step = 0; step < 200000; ++step) {
    // Keys cluster so that probe runs grow, shrink and wrap around.
    const uint64_t k = rng() % 3 == 0 ? rng() % 400 : rng() % 14000;
    if (rng() % 2 == 0) {
      auto got = c.get(key(k));
      auto want = model.get(k);
      ASSERT_EQ(got.has_value(), want.has_value()) << step;
      if (got) {
        ASSERT_EQ(got->jsd, *want) << step;
      }
    } else {
      const double v = static_cast<double>(step);
      c.put(key(k), result(v));
      model.put(k, v);
    }
  }
  ASSERT_EQ(c.size(), model.order.size());
  // The entries in recency order, with their keys as stored.
  const auto entries = c.entries();
  ASSERT_EQ(entries.size(), model.order.size());
  std::set<uint64_t> lists_in_use;
  size_t e = 0;
  for (const auto& [k, v] : model.order) {
    EXPECT_EQ(entries[e].first, key(k));
    EXPECT_EQ(entries[e].second.jsd, v);
    if (k % 7 == 0) lists_in_use.insert(k % 3);
    ++e;
  }
  EXPECT_EQ(member_lists(c), lists_in_use.size());
  // Recency order: refreshing every entry from the least recent up keeps
  // both in step; then the next stores evict in the model's order.
  for (auto it = model.order.rbegin(); it != model.order.rend(); ++it)
    ASSERT_EQ(c.get(key(it->first))->jsd, it->second);
  std::vector<uint64_t> expected;
  for (auto it = model.order.rbegin(); it != model.order.rend(); ++it) expected.push_back(it->first);
  for (size_t i = 0; i < 50; ++i) {
    c.put(key(1000000 + i), result(0));
    EXPECT_FALSE(c.get(key(expected[i])));
    EXPECT_TRUE(c.get(key(expected[i + 1])));
    // The lookup above refreshed expected[i + 1]; put it back where it was.
    std::rotate(expected.begin() + static_cast<long>(i) + 1, expected.begin() + static_cast<long>(i) + 2,
                expected.end());
  }
}

// A summed side's member list is held once, however many entries use it,
// also when an equal list comes from a later statement; it goes when the
// last entry using it goes.
TEST(CompareCacheLru, SharesOneMemberListAcrossEntries) {
  std::vector<DistributionStamp> members;
  for (uint64_t i = 2; i < 20000; ++i) members.emplace_back(i, 1);
  CompareCache c;
  MemberStamps first(members);
  for (uint64_t i = 0; i < 100; ++i) c.put(CompareKey{1, 1, 100000 + i, 1, first, {}}, result(double(i)));
  EXPECT_EQ(member_lists(c), 1u);
  // An equal list built anew (a later statement resolving the same side):
  // found by content, then shared by identity.
  MemberStamps again(members);
  EXPECT_FALSE(again.shares_list_with(first));
  EXPECT_EQ(c.get(CompareKey{1, 1, 100000 + 7, 1, again, {}})->jsd, 7.0);
  c.share(again);
  EXPECT_TRUE(again.shares_list_with(first));
  c.put(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}}, result(1));
  EXPECT_EQ(member_lists(c), 1u);
  // One member more is another list.
  members.emplace_back(20000, 1);
  c.put(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}}, result(2));
  EXPECT_EQ(member_lists(c), 2u);
  EXPECT_EQ(c.get(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}})->jsd, 2.0);
  // Pushing every entry out releases both lists.
  for (uint64_t i = 0; i < CompareCache::kCapacity; ++i) c.put(key(i), result(0));
  EXPECT_EQ(member_lists(c), 0u);
  EXPECT_FALSE(c.get(CompareKey{1, 1, 100000 + 7, 1, first, {}}));
}

TEST(CompareCacheLru, SharedBetweenThreads) {
  auto c = std::make_shared<CompareCache>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([c, t] {
      for (uint64_t i = 0; i < 3000; ++i) {
        c->put(key(i * 4 + t), result(double(i)));
        (void)c->get(key(i * 4 + ((t + 1) % 4)));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(c->size(), CompareCache::kCapacity);
  EXPECT_FALSE(c->poisoned());
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
uint64_t inverse_of_odd(uint64_t a) {
  uint64_t x = a;  // right to 3 bits
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}

// `count` keys whose whole hashes are equal: the hash folds id_a and
// version_a by their multipliers and xor before it mixes, so for each id_a
// one version_a gives the same folded value.
std::vector<CompareKey> keys_with_one_hash(size_t count) {
  constexpr uint64_t kIdA = 0x9e3779b97f4a7c15ULL, kVersionA = 0xc2b2ae3d27d4eb4fULL;
  const uint64_t target = 1 * kIdA ^ 1 * kVersionA;
  std::vector<CompareKey> out;
  for (uint64_t id = 1; out.size() < count; ++id)
    out.push_back(CompareKey{id, inverse_of_odd(kVersionA) * (target ^ id * kIdA), 7, 1, {}, {}});
  return out;
}

// Keys whose hashes agree in their low 32 bits (the part an index cell
// holds), found by trying keys until two meet.
std::vector<std::pair<CompareKey, CompareKey>> keys_with_one_low_half(size_t count) {
  std::unordered_map<uint32_t, uint64_t> seen;
  std::vector<std::pair<CompareKey, CompareKey>> out;
  for (uint64_t i = 1; out.size() < count; ++i) {
    const auto [it, added] = seen.try_emplace(static_cast<uint32_t>(CompareKeyHash{}(key(i))), i);
    if (!added) out.emplace_back(key(it->second), key(i));
  }
  return out;
}

// Keys of equal hashes, whole or in the index's half, are told apart by
// their fields: each finds its own result, one never stored misses, and
// they survive the evictions and index moves of a full cache.
TEST(CompareCacheLru, KeysWithEqualHashesStayApart) {
  std::vector<CompareKey> same = keys_with_one_hash(41);
  for (const CompareKey& k : same) {
    ASSERT_EQ(CompareKeyHash{}(k), CompareKeyHash{}(same[0]));
  }
  const CompareKey never = same.back();
  same.pop_back();
  for (const auto& [a, b] : keys_with_one_low_half(20)) {
    ASSERT_NE(CompareKeyHash{}(a), CompareKeyHash{}(b));
    same.push_back(a);
    same.push_back(b);
  }

  CompareCache c;
  for (size_t i = 0; i < same.size(); ++i) c.put(same[i], result(double(i)));
  for (size_t i = 0; i < same.size(); ++i) {
    auto got = c.get(same[i]);
    ASSERT_TRUE(got) << i;
    EXPECT_EQ(got->jsd, double(i));
  }
  EXPECT_FALSE(c.get(never));
  EXPECT_EQ(c.size(), same.size());

  // Fill the cache past its capacity while every other colliding key is
  // refreshed: the others are evicted in turn, their cells shifted out of
  // the probe runs of the ones kept.
  for (uint64_t i = 0; i < CompareCache::kCapacity; ++i) {
    if (i % 100 == 0) {
      for (size_t k = 0; k < same.size(); k += 2) {
        ASSERT_TRUE(c.get(same[k]));
      }
    }
    c.put(key(1000000 + i), result(-1.0));
  }
  for (size_t i = 0; i < same.size(); ++i) {
    auto got = c.get(same[i]);
    if (i % 2 == 0) {
      ASSERT_TRUE(got) << i;
      EXPECT_EQ(got->jsd, double(i));
    } else {
      EXPECT_FALSE(got) << i;
    }
  }
  EXPECT_FALSE(c.get(never));
  c.put(never, result(99.0));
  EXPECT_EQ(c.get(never)->jsd, 99.0);
  EXPECT_EQ(c.get(same[0])->jsd, 0.0);
}

}  // namespace
}  // namespace quor::analytics
