// The ingest's key table with enough keys that its tables grow many times
// and turn into pages of their own: every key keeps the number it was
// given, and keys never interned are not found.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <random>

#include "quor/ingest/key_table.h"

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

}  // namespace
}  // namespace quor::ingest::internal
