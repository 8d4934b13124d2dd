#include <gtest/gtest.h>

#include <cmath>

#include "quor/math/rebin.h"

namespace quor::math {
namespace {

using V = std::vector<uint64_t>;
using S = std::vector<std::string>;

model::DistributionRepr hist(double lo, double hi, V bins) {
  uint64_t total = 0;
  for (auto b : bins) total += b;
  return model::HistogramRepr{lo, hi, std::move(bins), total};
}

TEST(Rebin, ProportionalOverlapCases) {
  struct Case {
    double src_lo, src_hi;
    V src;
    double lo, hi;
    uint64_t n;
    V want;
  } cases[] = {
      {0, 2, {2, 4}, 0, 2, 2, {2, 4}},           // same grid: unchanged
      {0, 1, {4}, 0, 2, 2, {4, 0}},              // covers target bin 0 exactly
      {0, 2, {4}, 0, 2, 2, {2, 2}},              // halves
      {0, 1, {1}, 0, 1, 2, {1, 1}},              // each half rounds up: total grows
      {0, 1, {3}, 0, 1, 3, {1, 1, 1}},
      {0, 1, {1}, -0.5, 1, 3, {0, 1, 1}},
      {5, 5, {7, 7}, 0, 10, 2, {0, 0}},          // zero-width source
      {0, 1, {6, 6}, 2, 3, 2, {0, 0}},           // entirely outside
      {0, 2, {10, 10}, 1, 2, 1, {10}},           // partly outside keeps the overlap
      {0, 3, {3, 3, 3}, 0, 3, 2, {5, 5}},        // the middle 3 splits 1.5 + 1.5, each rounds to 2
  };
  for (const auto& c : cases) {
    auto got = rebin_histogram(hist(c.src_lo, c.src_hi, c.src), c.lo, c.hi, c.n);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bin_counts, c.want) << c.src_lo << ".." << c.src_hi << " -> " << c.lo << ".." << c.hi;
    uint64_t sum = 0;
    for (auto v : c.want) sum += v;
    EXPECT_EQ(got->total_count, sum);
    EXPECT_EQ(got->min, c.lo);
    EXPECT_EQ(got->max, c.hi);
  }
}

TEST(Rebin, RefusesCategoricalOrNoBins) {
  EXPECT_FALSE(rebin_histogram(model::CategoricalRepr{{"a"}, {1}, 0, 1}, 0, 1, 2));
  EXPECT_FALSE(rebin_histogram(hist(0, 1, {1}), 0, 1, 0));
}

TEST(Rebin, NonFiniteEdgesDoNotCrash) {
  auto got = rebin_histogram(hist(0, 1, {5, 5}), NAN, 1, 4);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->bin_counts.size(), 4u);
  got = rebin_histogram(hist(-INFINITY, INFINITY, {5}), 0, 1, 2);
  ASSERT_TRUE(got);
}

TEST(Align, UnionInByteOrder) {
  auto r = align_categorical(S{"b", "a"}, V{1, 2}, S{"c", "a"}, V{5, 7});
  EXPECT_EQ(r.categories, (S{"a", "b", "c"}));
  EXPECT_EQ(r.counts_a, (V{2, 1, 0}));
  EXPECT_EQ(r.counts_b, (V{7, 0, 5}));

  r = align_categorical(S{"apple"}, V{1}, S{"Zebra", "10", "9"}, V{2, 3, 4});
  EXPECT_EQ(r.categories, (S{"10", "9", "Zebra", "apple"}));
  EXPECT_EQ(r.counts_a, (V{0, 0, 0, 1}));
  EXPECT_EQ(r.counts_b, (V{3, 4, 2, 0}));
}

TEST(Align, RepeatsShortAndLongCountLists) {
  // x twice: the later count wins; y has no count; the extra count 9 is ignored.
  auto r = align_categorical(S{"x", "x", "y"}, V{1, 4}, S{"x"}, V{2, 9});
  EXPECT_EQ(r.categories, (S{"x", "y"}));
  EXPECT_EQ(r.counts_a, (V{4, 0}));
  EXPECT_EQ(r.counts_b, (V{2, 0}));
  // One list on both sides (sorted, unsorted, with a repeat).
  r = align_categorical(S{"a", "b"}, V{1}, S{"a", "b"}, V{3, 4, 5});
  EXPECT_EQ(r.counts_a, (V{1, 0}));
  EXPECT_EQ(r.counts_b, (V{3, 4}));
  r = align_categorical(S{"b", "a", "c"}, V{1, 2, 3}, S{"b", "a", "c"}, V{4, 5});
  EXPECT_EQ(r.categories, (S{"a", "b", "c"}));
  EXPECT_EQ(r.counts_a, (V{2, 1, 3}));
  EXPECT_EQ(r.counts_b, (V{5, 4, 0}));
  r = align_categorical(S{"x", "y", "x"}, V{1, 2, 3}, S{"x", "y", "x"}, V{4, 5, 6});
  EXPECT_EQ(r.categories, (S{"x", "y"}));
  EXPECT_EQ(r.counts_a, (V{3, 2}));
  EXPECT_EQ(r.counts_b, (V{6, 5}));
}

}  // namespace
}  // namespace quor::math
