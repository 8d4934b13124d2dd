// The flat text -> id map against std::unordered_map under a random mix of
// inserts, replacements, erasures (backward-shift deletion is where open
// addressing goes wrong) and lookups, with copies and growth in between.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "quor/util/text_id_map.h"

namespace quor::util {
namespace {

void expect_same(const TextIdMap& map, const std::unordered_map<std::string, uint64_t>& model) {
  ASSERT_EQ(map.size(), model.size());
  size_t visited = 0;
  for (const auto& [key, id] : map) {
    auto it = model.find(std::string(key));
    ASSERT_NE(it, model.end()) << key;
    EXPECT_EQ(it->second, id) << key;
    ++visited;
  }
  EXPECT_EQ(visited, model.size());
  for (const auto& [key, id] : model) {
    const uint64_t* got = map.find_id(key);
    ASSERT_NE(got, nullptr) << key;
    EXPECT_EQ(*got, id);
  }
}

TEST(TextIdMap, AgreesWithUnorderedMapUnderRandomEdits) {
  std::mt19937_64 rng(7);
  TextIdMap map;
  std::unordered_map<std::string, uint64_t> model;
  // Few distinct keys, so that runs of colliding slots form and get erased
  // from; the empty key and keys with NUL bytes are keys like any other.
  auto key_of = [](uint64_t n) {
    if (n == 0) return std::string();
    std::string k = "k" + std::to_string(n);
    if (n % 7 == 0) k += std::string("\0x", 2);
    return k;
  };
  for (int step = 0; step < 200000; ++step) {
    const std::string key = key_of(rng() % (step < 100000 ? 3000 : 40));
    const uint64_t id = rng();
    switch (rng() % 4) {
      case 0: {
        auto [it, added] = map.try_emplace(key, id);
        auto [mit, madded] = model.try_emplace(key, id);
        ASSERT_EQ(added, madded);
        ASSERT_EQ(it->second, mit->second);
        break;
      }
      case 1:
        map.insert_or_assign(key, id);
        model.insert_or_assign(key, id);
        break;
      case 2:
        ASSERT_EQ(map.erase(key), model.erase(key)) << step;
        break;
      default: {
        const uint64_t* got = map.find_id(key);
        auto it = model.find(key);
        ASSERT_EQ(got != nullptr, it != model.end()) << step;
        if (got) {
          ASSERT_EQ(*got, it->second);
        }
        ASSERT_EQ(map.find(key) == map.end(), it == model.end());
      }
    }
    if (step % 50000 == 0) {
      TextIdMap copy(map);
      expect_same(copy, model);
      EXPECT_TRUE(copy == map);
    }
  }
  expect_same(map, model);
  map.reserve(100000);
  expect_same(map, model);
  TextIdMap moved(std::move(map));
  expect_same(moved, model);
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.find_id("k1"), nullptr);
}

// An index of a size whose entries and slots live in pages of their own:
// growth, erasure, clearing and refilling keep every lookup right.
TEST(TextIdMap, LargeMapThroughGrowthClearAndRefill) {
  std::unordered_map<std::string, uint64_t> model;
  TextIdMap map;
  for (uint64_t n = 0; n < 150000; ++n) {
    const std::string key = "price|day=" + std::to_string(n % 400) + "|region=r" + std::to_string(n);
    map.try_emplace(key, n);
    model.emplace(key, n);
  }
  expect_same(map, model);
  for (uint64_t n = 0; n < 150000; n += 3) {
    const std::string key = "price|day=" + std::to_string(n % 400) + "|region=r" + std::to_string(n);
    ASSERT_EQ(map.erase(key), 1u);
    model.erase(key);
  }
  expect_same(map, model);
  map.clear();
  model.clear();
  for (uint64_t n = 0; n < 120000; ++n) {
    const std::string key = "k" + std::to_string(n * 7);
    map.insert_or_assign(key, n + 1);
    model.insert_or_assign(key, n + 1);
  }
  expect_same(map, model);
  EXPECT_EQ(map.find_id("k1"), nullptr);
}

TEST(TextIdMap, EqualityIgnoresOrderButNotIds) {
  TextIdMap a, b;
  a.try_emplace("x", 1);
  a.try_emplace("y", 2);
  b.try_emplace("y", 2);
  b.try_emplace("x", 1);
  EXPECT_TRUE(a == b);
  b.insert_or_assign("x", 3);
  EXPECT_FALSE(a == b);
  b.erase("x");
  EXPECT_FALSE(a == b);
}

}  // namespace
}  // namespace quor::util
