// The ingest's key table with enough keys that its tables grow many times
// and turn into pages of their own: every key keeps the number it was
// given, and keys never interned are not found.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quor/ingest/internal/key_table.h"

namespace quor::ingest::internal {
namespace {

TEST(KeyTable, KeepsEveryKeyNumberAcrossGrowth) {
  std::mt19937_64 rng(5);
  // Three dimensions, labels drawn from small ranges so that many keys share
  // labels, as the keys of a real input do.
  for (const size_t ndims : {size_t(1), size_t(3)}) {
    KeyTable table(ndims);
    std::map<std::array<uint32_t, 3>, uint32_t> model;
    auto draw = [&] {
      std::array<uint32_t, 3> k{};
      for (size_t d = 0; d < ndims; ++d) k[d] = static_cast<uint32_t>(rng() % (ndims == 1 ? 400000 : 120));
      return k;
    };
    for (int i = 0; i < 300000; ++i) {
      const auto k = draw();
      const uint64_t h = KeyTable::key_hash(k.data(), ndims);
      const uint32_t got = table.intern_key(k.data(), h);
      auto [it, added] = model.try_emplace(k, static_cast<uint32_t>(model.size()));
      ASSERT_EQ(got, it->second) << i;
      ASSERT_EQ(table.num_keys(), model.size());
    }
    for (const auto& [k, n] : model) {
      ASSERT_EQ(table.find_key(k.data(), KeyTable::key_hash(k.data(), ndims)), int64_t{n});
      const uint32_t* labels = table.labels_of(n);
      for (size_t d = 0; d < ndims; ++d) ASSERT_EQ(labels[d], k[d]);
    }
    for (int i = 0; i < 20000; ++i) {
      auto k = draw();
      k[0] += 1000000;  // a label no key has
      ASSERT_EQ(table.find_key(k.data(), KeyTable::key_hash(k.data(), ndims)), -1);
    }
  }
}

// Keys and labels whose hashes collide (the callers pass the hash, so a
// shared one makes every pair collide in the whole hash and in the 32-bit
// tag kept in the slot): each keeps its own number, and a key or text never
// interned is not found, however its hash matches.
TEST(KeyTable, CollidingHashesKeepKeysApart) {
  struct Case {
    const char* name;
    uint64_t hash_a, hash_b;
  };
  // Equal hashes; equal tags (high halves) at neighbouring homes; equal
  // homes with different tags.
  const Case cases[] = {
      {"same hash", 0x1234567890ABCDEFull, 0x1234567890ABCDEFull},
      {"same tag", 0x1234567800000005ull, 0x1234567800000006ull},
      {"same home", 0x1111111100000007ull, 0x2222222200000007ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyTable table(2);
    // Keys alternating between the two hashes, each pair of labels once.
    std::vector<std::array<uint32_t, 2>> keys;
    for (uint32_t i = 0; i < 20; ++i) keys.push_back({i, i % 3});
    auto hash_of = [&](size_t i) { return i % 2 ? c.hash_b : c.hash_a; };
    for (size_t i = 0; i < keys.size(); ++i)
      ASSERT_EQ(table.intern_key(keys[i].data(), hash_of(i)), i);
    ASSERT_EQ(table.num_keys(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(table.find_key(keys[i].data(), hash_of(i)), int64_t(i));
      EXPECT_EQ(table.intern_key(keys[i].data(), hash_of(i)), i);
      EXPECT_EQ(table.labels_of(uint32_t(i))[0], keys[i][0]);
    }
    for (uint64_t h : {c.hash_a, c.hash_b}) {
      const std::array<uint32_t, 2> absent = {7, 7};
      EXPECT_EQ(table.find_key(absent.data(), h), -1);
    }

    for (const uint64_t h : {c.hash_a, c.hash_b}) {
      KeyTable texts(1);
      const std::string raws[] = {"2024-01-05", "2024-01-06", "north", "nortH", ""};
      for (size_t i = 0; i < std::size(raws); ++i)
        ASSERT_EQ(texts.intern_label(0, raws[i], i % 2 ? c.hash_b : h), i);
      for (size_t i = 0; i < std::size(raws); ++i) {
        ASSERT_EQ(texts.find_label(0, raws[i], i % 2 ? c.hash_b : h), i);
        EXPECT_EQ(texts.label_text(0, uint32_t(i)), raws[i]);
      }
      EXPECT_EQ(texts.find_label(0, "south", h), kNoLabel);
      EXPECT_EQ(texts.find_label(0, "north ", c.hash_b), kNoLabel);
    }
  }
}

}  // namespace
}  // namespace quor::ingest::internal
