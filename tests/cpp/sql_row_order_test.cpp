// The radix orders of ACROSS rows against a stable comparison sort of the
// same keys in total order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "quor/sql/internal/cells.h"
#include "quor/sql/internal/row_order.h"
#include "quor/util/total_order.h"

namespace quor::sql {
namespace {

std::vector<uint32_t> stable_descending(const std::vector<double>& keys) {
  std::vector<uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return util::total_greater(keys[x], keys[y]);
  });
  return order;
}

// Keys as ACROSS writes them: the values six-decimal texts read as, with
// few distinct values (many ties), signed zeros and "N/A" rows' 0.0; then
// the same with a key that has no image of units, which takes the
// general path.
TEST(RowOrder, RadixOrdersEqualTheStableSort) {
  std::mt19937_64 rng(5);
  NumberWriter w;
  const double odd[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), 1e300, 2147.483648, 0.1 + 0.2};
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const size_t n = round < 5 ? static_cast<size_t>(round) : 1 + rng() % 3000;
    std::vector<double> keys;
    for (size_t i = 0; i < n; ++i) {
      double v;
      switch (rng() % 6) {
        case 0: v = 0.0; break;
        case 1: v = -0.0; break;
        case 2: v = -static_cast<double>(rng() % 5000) / 1e6; break;
        case 3: v = static_cast<double>(rng() % 40) / 3e5; break;
        default: v = std::ldexp(static_cast<double>(rng() >> 11), -53) * (round % 3 == 0 ? 2000.0 : 1.0);
      }
      keys.push_back(w.fixed_value(v, 6));
    }
    const std::vector<uint32_t> want = stable_descending(keys);
    EXPECT_EQ(descending_order(keys), want);
    EXPECT_EQ(descending_order_of_fixed(keys, 6), want);
    if (n == 0) continue;
    keys[rng() % n] = odd[rng() % std::size(odd)];
    const std::vector<uint32_t> general = stable_descending(keys);
    EXPECT_EQ(descending_order(keys), general);
    EXPECT_EQ(descending_order_of_fixed(keys, 6), general);
  }
}

TEST(RowOrder, ImagesOfUnitsFollowTheTotalOrder) {
  std::mt19937_64 rng(6);
  NumberWriter w;
  for (int decimals : {0, 3, 6, 9}) {
    std::vector<double> values = {0.0, -0.0};
    for (int i = 0; i < 20000; ++i) {
      const double v = static_cast<double>(static_cast<int64_t>(rng() % 4000000) - 2000000) / 1e4;
      values.push_back(w.fixed_value(v, decimals));
    }
    for (size_t i = 0; i + 1 < values.size(); ++i) {
      const auto a = fixed_value_image(values[i], decimals);
      const auto b = fixed_value_image(values[i + 1], decimals);
      if (!a || !b) continue;  // 2^31 units or more
      EXPECT_EQ(*a < *b, util::total_less(values[i], values[i + 1])) << values[i] << " " << values[i + 1];
      EXPECT_EQ(*a == *b, util::total_order_key(values[i]) == util::total_order_key(values[i + 1]));
    }
  }
  EXPECT_LT(*fixed_value_image(-0.0, 6), *fixed_value_image(0.0, 6));
  EXPECT_FALSE(fixed_value_image(std::nan(""), 6));
  EXPECT_FALSE(fixed_value_image(0.1 + 0.2, 6));  // not what a six-decimal text reads as
  EXPECT_FALSE(fixed_value_image(2147.483648, 6));  // 2^31 units
  EXPECT_TRUE(fixed_value_image(2147.483647, 6));
}

}  // namespace
}  // namespace quor::sql
