// The dense text dictionary against a std::unordered_map model: random
// interns and finds through many growths, with hashes that collide in full,
// in the tag kept in the slot, or only in the first slot tried.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "quor/util/text_dictionary.h"

namespace quor::util {
namespace {

TEST(TextDictionary, MatchesAMapThroughGrowthAndCollisions) {
  struct Case {
    const char* name;
    // The hash a text is given (always the same for one text).
    uint64_t (*hash)(const std::string&);
  };
  const Case cases[] = {
      {"text hash", [](const std::string& t) -> uint64_t { return text_hash(t); }},
      // Few distinct hashes: long runs of equal tags.
      {"eight hashes", [](const std::string& t) -> uint64_t { return text_hash(t) % 8 * 0x9E3779B97F4A7C15ull; }},
      // One first slot for every text (up to 4096 slots), tags that differ
      // above the slot bits.
      {"one home", [](const std::string& t) -> uint64_t { return text_hash(t) >> 44 << 44; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(17);
    TextDictionary dict;
    std::unordered_map<std::string, uint32_t> model;
    std::vector<std::string> by_id;
    const size_t rounds = c.hash == cases[0].hash ? 200000 : 3000;
    for (size_t i = 0; i < rounds; ++i) {
      // Short numeric texts, the empty text, and texts that are prefixes
      // of one another.
      const uint64_t r = rng() % (rounds / 2 + 1);
      std::string t = r % 97 == 0 ? "" : "v" + std::to_string(r);
      if (r % 5 == 0) t += std::string(r % 23, 'x');
      const uint64_t h = c.hash(t);
      if (rng() % 3 == 0) {
        auto it = model.find(t);
        ASSERT_EQ(dict.find(t, h), it == model.end() ? TextDictionary::kAbsent : it->second) << t;
        continue;
      }
      const auto [id, added] = dict.intern(t, h);
      const auto [it, model_added] = model.try_emplace(t, static_cast<uint32_t>(model.size()));
      ASSERT_EQ(added, model_added) << t;
      ASSERT_EQ(id, it->second) << t;
      if (added) by_id.push_back(t);
      ASSERT_EQ(dict.size(), model.size());
    }
    for (uint32_t id = 0; id < by_id.size(); ++id) {
      ASSERT_EQ(dict.text(id), by_id[id]);
      ASSERT_EQ(dict.find(by_id[id], c.hash(by_id[id])), id);
    }
    for (const std::string t : {"v-1", "x", "v1x", "v"}) {
      if (!model.count(t)) {
        EXPECT_EQ(dict.find(t, c.hash(t)), TextDictionary::kAbsent) << t;
      }
    }
  }
}

// Reserving room first changes no number and no answer.
TEST(TextDictionary, ReserveKeepsNumbers) {
  TextDictionary a, b;
  b.reserve(5000, 40000);
  for (int i = 0; i < 20000; ++i) {
    const std::string t = "u" + std::to_string(i * 7919 % 10007);
    ASSERT_EQ(a.intern(t), b.intern(t));
    if (i == 3000) b.reserve(100000, 10);
  }
  for (uint32_t id = 0; id < a.size(); ++id) ASSERT_EQ(a.text(id), b.text(id));
}

// text_bytes(first, last) adds the sizes of the texts in [first, last).
TEST(TextDictionary, TextBytesOfARange) {
  TextDictionary d;
  const std::vector<std::string> texts = {"a", "", "bcd", "efghij", "k"};
  for (const std::string& t : texts) d.intern(t);
  for (uint32_t first = 0; first <= texts.size(); ++first)
    for (uint32_t last = 0; last <= texts.size(); ++last) {
      size_t want = 0;
      for (uint32_t i = first; i < last; ++i) want += texts[i].size();
      EXPECT_EQ(d.text_bytes(first, last), want) << first << ".." << last;
    }
}

}  // namespace
}  // namespace quor::util
