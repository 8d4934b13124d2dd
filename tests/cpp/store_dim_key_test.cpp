#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "quor/store/dim_key.h"

namespace quor::store {
namespace {

TEST(KeyHolds, EveryEntryWithTheSameValue) {
  const model::DimensionMap key{{"region", "eu"}, {"time", "2024"}};
  const std::pair<model::DimensionMap, bool> cases[] = {
      {{}, true},
      {{{"region", "eu"}}, true},
      {{{"time", "2024"}, {"region", "eu"}}, true},
      {{{"region", "us"}}, false},
      {{{"region", "eu"}, {"channel", "web"}}, false},
      {{{"Region", "eu"}}, false},
  };
  for (const auto& [filter, want] : cases)
    EXPECT_EQ(key_holds(key, filter), want) << dimension_key_string(filter);
  EXPECT_TRUE(key_holds(model::DimensionMap{}, model::DimensionMap{}));
  EXPECT_FALSE(key_holds(model::DimensionMap{}, model::DimensionMap{{"a", ""}}));
  // Unordered pairs with a repeated name: both values must be held.
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_TRUE(key_holds(key, Pairs{{"time", "2024"}, {"region", "eu"}, {"time", "2024"}}));
  EXPECT_FALSE(key_holds(key, Pairs{{"region", "eu"}, {"region", "us"}}));
}

}  // namespace
}  // namespace quor::store
