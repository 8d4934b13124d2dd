#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <tuple>

#include "analytics_fixture.h"
#include "quor/analytics/compare.h"
#include "quor/analytics/compare_cache.h"
#include "quor/math/measures.h"
#include "reference/compare_cache_probe.h"

namespace quor::analytics {
namespace {

using testing_fixture::DbBuilder;
using V = std::vector<uint64_t>;

bool is_neg_zero(double v) { return v == 0.0 && std::signbit(v); }

class Compare : public ::testing::Test {
 protected:
  void SetUp() override {
    b.continuous("income", 4, 0, 100).categorical("color", {"red", "green", "blue"});
    b.hist("income", {{"region", "eu"}}, {10, 20, 30, 40}, 0, 100);
    b.hist("income", {{"region", "us"}}, {40, 30, 20, 10}, 0, 100);
    b.cat("color", {{"region", "eu"}}, {"red", "green", "blue"}, {50, 25, 25});
    b.cat("color", {{"region", "us"}}, {"blue", "green", "purple"}, {50, 25, 25});
  }
  DbBuilder b;
  CompareCache cache;
};

TEST_F(Compare, HistogramPairOnOneGrid) {
  auto r = compare_query(b.db, cache, "region:eu", "region:us", "income");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  ASSERT_TRUE(r->wasserstein.has_value());
  // CDF gaps 0.3, 0.4, 0.3, 0 on bins of width 25.
  EXPECT_DOUBLE_EQ(*r->wasserstein, 25.0);
  EXPECT_TRUE(r->contributions.empty());
  EXPECT_EQ(r->samples_a, 100u);
  EXPECT_EQ(r->samples_b, 100u);
  EXPECT_EQ(r->psi, r->kl_a_b + r->kl_b_a);
  EXPECT_GT(r->jsd, 0.0);
  EXPECT_EQ(r->entropy_a, r->entropy_b);
}

TEST_F(Compare, HistogramsWithDifferentGridsAreRebinned) {
  b.hist("income", {{"region", "x"}}, {8}, 0, 50);         // one bin over 0..50
  b.hist("income", {{"region", "y"}}, {2, 2, 2, 2}, 0, 100);
  auto r = compare_query(b.db, cache, "region:x", "region:y", "income");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  // Common grid 0..100 with 4 bins: x becomes {4, 4, 0, 0}.
  EXPECT_EQ(r->samples_a, 8u);
  EXPECT_EQ(r->samples_b, 8u);
  EXPECT_DOUBLE_EQ(*r->wasserstein, 25.0 * (0.25 + 0.5 + 0.25));
}

TEST_F(Compare, CategoricalUnionAndContributions) {
  auto r = compare_query(b.db, cache, "region:eu", "region:us", "color");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_FALSE(r->wasserstein.has_value());
  ASSERT_EQ(r->contributions.size(), 4u);
  // |delta|: red .5, purple .25, blue .25, green 0; ties keep byte order.
  std::vector<std::string> order;
  for (const auto& c : r->contributions) order.push_back(c.category);
  EXPECT_EQ(order, (std::vector<std::string>{"red", "blue", "purple", "green"}));
  const auto& purple = r->contributions[2];
  EXPECT_EQ(purple.p_a, 0.0);
  EXPECT_EQ(purple.delta, purple.p_b);
  double sum = 0;
  for (const auto& c : r->contributions) sum += c.contribution;
  EXPECT_NEAR(sum, r->jsd, 1e-15);
  // red and purple are one-sided, blue .25 against .5, green equal.
  const double blue = 0.5 * 0.25 * std::log2(0.25 / 0.375) + 0.5 * 0.5 * std::log2(0.5 / 0.375);
  EXPECT_NEAR(r->jsd, 0.25 + 0.125 + blue, 1e-15);
}

TEST_F(Compare, UnknownCountsStayInTheTotals) {
  b.cat("color", {{"region", "x"}}, {"red", "green", "blue"}, {1, 1, 2}, 4);
  auto r = compare_query(b.db, cache, "region:eu", "region:x", "color");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->samples_b, 8u);
  double shares = 0;
  for (const auto& c : r->contributions) shares += c.p_b;
  EXPECT_DOUBLE_EQ(shares, 0.5);
}

TEST_F(Compare, SelfComparisonAndItsInterval) {
  auto r = compare_query(b.db, cache, "region:eu", "region:eu", "income");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->jsd, 0.0);
  EXPECT_EQ(r->hellinger, 0.0);
  EXPECT_LT(std::fabs(r->kl_a_b), 1e-9);
  EXPECT_EQ(r->ci_low, 0.0);
  EXPECT_DOUBLE_EQ(r->ci_high, 1.96 * std::sqrt(1e-12 / 50.0));
}

TEST(JsdInterval, Examples) {
  auto [lo, hi] = jsd_interval(0.1, 100, 100);
  EXPECT_DOUBLE_EQ(lo, 0.1 - 1.96 * std::sqrt(0.1 * 0.9 / 50.0));
  EXPECT_NEAR(lo, 0.0168, 5e-5);
  EXPECT_NEAR(hi, 0.1832, 5e-5);
  std::tie(lo, hi) = jsd_interval(0.0, 100, 100);  // the floor keeps a width
  EXPECT_EQ(lo, 0.0);
  EXPECT_DOUBLE_EQ(hi, 1.96 * std::sqrt(1e-12 / 50.0));
  std::tie(lo, hi) = jsd_interval(1.0, 4, 4);
  EXPECT_LT(lo, 1.0);
  EXPECT_EQ(hi, 1.0);
  std::tie(lo, hi) = jsd_interval(0.5, 0, 9);  // n_eff 0: collapsed
  EXPECT_EQ(lo, 0.5);
  EXPECT_EQ(hi, 0.5);
  std::tie(lo, hi) = jsd_interval(0.0, 0, 0);
  EXPECT_EQ(hi, 0.0);
}

TEST_F(Compare, ResultCarriesTheInterval) {
  auto r = compare_query(b.db, cache, "region:eu", "region:us", "income");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::make_pair(r->ci_low, r->ci_high), jsd_interval(r->jsd, 100, 100));
}

TEST_F(Compare, ZeroTotals) {
  b.hist("income", {{"region", "empty"}}, {0, 0, 0, 0}, 0, 100);
  b.hist("income", {{"region", "empty2"}}, {0, 0, 0, 0}, 0, 100);
  auto r = compare_query(b.db, cache, "region:eu", "region:empty", "income");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->kl_a_b, 0.0);
  EXPECT_EQ(r->psi, 0.0);
  EXPECT_EQ(r->hellinger, 1.0);
  EXPECT_EQ(r->jsd, 0.5);
  EXPECT_EQ(r->ci_low, 0.5);
  EXPECT_EQ(r->ci_high, 0.5);
  r = compare_query(b.db, cache, "region:empty", "region:empty2", "income");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->jsd, 0.0);
  EXPECT_EQ(r->ci_high, 0.0);
  EXPECT_EQ(*r->wasserstein, 0.0);

  // Categorical sides whose mass is all unknown: negative zeros, no movers.
  b.cat("color", {{"region", "u1"}}, {"red"}, {0}, 5);
  b.cat("color", {{"region", "u2"}}, {"red"}, {0}, 3);
  r = compare_query(b.db, cache, "region:u1", "region:u2", "color");
  ASSERT_TRUE(r.ok());
  for (double v : {r->jsd, r->kl_a_b, r->kl_b_a, r->psi, r->entropy_a, r->entropy_b})
    EXPECT_TRUE(is_neg_zero(v));
  EXPECT_EQ(r->hellinger, 0.0);
  ASSERT_EQ(r->contributions.size(), 1u);
  EXPECT_EQ(r->contributions[0].contribution, 0.0);
  b.cat("color", {{"region", "z1"}}, {"red"}, {0});
  b.cat("color", {{"region", "z2"}}, {"red"}, {0});
  r = compare_query(b.db, cache, "region:z1", "region:z2", "color");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->contributions.empty());
}

TEST_F(Compare, VariableChoice) {
  // Explicit beats A's segment beats B's segment beats the first schema variable.
  auto r = compare_query(b.db, cache, "variable:color/region:eu", "variable:income/region:us", "income");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->wasserstein.has_value());
  r = compare_query(b.db, cache, "variable:color/region:eu", "variable:income/region:us", std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->wasserstein.has_value());
  r = compare_query(b.db, cache, "region:eu", "variable:color/region:us", std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->wasserstein.has_value());
  r = compare_query(b.db, cache, "region:eu", "region:us", std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->wasserstein.has_value());  // income is first

  DbBuilder empty;
  r = compare_query(empty.db, cache, "region:eu", "region:us", std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(), "no variable available in schema");
}

TEST_F(Compare, Errors) {
  b.cat("income", {{"region", "odd"}}, {"a"}, {1});
  struct Case {
    const char* a;
    const char* b;
    const char* message;
  } cases[] = {
      {"region:eu", "region:odd", "type mismatch for compare"},
      {"region:odd", "region:eu", "type mismatch for compare"},
      {"region:eu", "region:mars", "distribution not found for variable 'income' and dimensions {\"region\": \"mars\"}"},
      {"region", "region:mars", "invalid reference segment 'region'"},
      {"region:eu", " ", "reference cannot be empty"},
  };
  for (const auto& c : cases) {
    auto r = compare_query(b.db, cache, c.a, c.b, "income");
    ASSERT_FALSE(r.ok()) << c.a << " " << c.b;
    EXPECT_EQ(r.error().full_text(), c.message);
  }
  EXPECT_EQ(cache.size(), 0u);  // failures store nothing

  b.hist("income", {{"region", "nobins"}}, {}, 0, 1);
  b.hist("income", {{"region", "nobins2"}}, {}, 0, 1);
  auto r = compare_query(b.db, cache, "region:nobins", "region:nobins2", "income");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(), "failed to rebin A");
}

TEST_F(Compare, PreparedSidesGiveThePlainErrors) {
  b.hist("income", {{"region", "nobins"}}, {}, 0, 1);
  b.hist("income", {{"region", "nobins2"}}, {}, 0, 1);
  const auto side = [&](const char* variable, const char* region) {
    return PreparedSide(*resolve_side(b.db, variable, {{"region", region}}), cache);
  };
  auto mismatch = compare_prepared(cache, side("income", "eu"), side("color", "eu"));
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().full_text(), "type mismatch for compare");
  auto no_bins = compare_prepared(cache, side("income", "nobins"), side("income", "nobins2"));
  ASSERT_FALSE(no_bins.ok());
  EXPECT_EQ(no_bins.error().full_text(), "failed to rebin A");
  // Measured without the cache, the same errors.
  auto unkept_mismatch = measure_unkept(side("income", "eu"), side("color", "eu"));
  ASSERT_FALSE(unkept_mismatch.ok());
  EXPECT_EQ(unkept_mismatch.error().full_text(), "type mismatch for compare");
  auto unkept_no_bins = measure_unkept(side("income", "nobins"), side("income", "nobins2"));
  ASSERT_FALSE(unkept_no_bins.ok());
  EXPECT_EQ(unkept_no_bins.error().full_text(), "failed to rebin A");
  EXPECT_EQ(cache.size(), 0u);
}

// ---- going through the cache ----

TEST_F(Compare, RepeatedComparisonIsAnsweredFromTheCache) {
  auto first = compare_distributions(b.db, cache, "income", {{"region", "eu"}}, {{"region", "us"}});
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(cache.size(), 1u);
  // Plant a marker under the same key: a hit must return it.
  CompareResult marked = *first;
  marked.jsd = 42.0;
  cache.put(CompareKey{1, 1, 2, 1, {}, {}}, marked);
  auto again = compare_distributions(b.db, cache, "income", {{"region", "eu"}}, {{"region", "us"}});
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->jsd, 42.0);
  // B vs A is its own key.
  auto reversed = compare_distributions(b.db, cache, "income", {{"region", "us"}}, {{"region", "eu"}});
  EXPECT_EQ(reversed->jsd, first->jsd);
  EXPECT_EQ(cache.size(), 2u);
}

TEST_F(Compare, ChangedCountsFormANewKey) {
  auto before = compare_distributions(b.db, cache, "income", {{"region", "eu"}}, {{"region", "us"}});
  b.change(1, model::HistogramRepr{0, 100, {40, 30, 20, 10}, 100});
  auto after = compare_distributions(b.db, cache, "income", {{"region", "eu"}}, {{"region", "us"}});
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->jsd, 0.0);
  EXPECT_NE(before->jsd, 0.0);
  EXPECT_EQ(cache.size(), 2u);
}

TEST_F(Compare, RolledUpSideNeverReusesAnotherSelectionsResult) {
  // Two sales distributions under region:eu; the first is also exactly
  // selectable. The summed side carries the first member's id and version,
  // yet must not share its cache entry.
  b.continuous("sales", 2);
  const uint64_t e1 = b.hist("sales", {{"region", "eu"}, {"store", "a"}}, {10, 0});
  const uint64_t e2 = b.hist("sales", {{"region", "eu"}, {"store", "b"}}, {0, 10});
  b.hist("sales", {{"region", "us"}, {"store", "c"}}, {10, 0});
  const Filter exact{{"region", "eu"}, {"store", "a"}};
  const Filter summed{{"region", "eu"}};
  const Filter us{{"region", "us"}};

  auto r_exact = compare_distributions(b.db, cache, "sales", exact, us);
  ASSERT_TRUE(r_exact.ok());
  EXPECT_EQ(r_exact->jsd, 0.0);
  auto r_sum = compare_distributions(b.db, cache, "sales", summed, us);
  ASSERT_TRUE(r_sum.ok());
  EXPECT_GT(r_sum->jsd, 0.0);
  EXPECT_EQ(r_sum->samples_a, 20u);

  // Another member changes while the first stays the same.
  b.change(e2, model::HistogramRepr{0, 1, {10, 0}, 10});
  auto r_sum2 = compare_distributions(b.db, cache, "sales", summed, us);
  ASSERT_TRUE(r_sum2.ok());
  EXPECT_EQ(r_sum2->jsd, 0.0);
  // A new member appears.
  b.hist("sales", {{"region", "eu"}, {"store", "d"}}, {0, 20});
  auto r_sum3 = compare_distributions(b.db, cache, "sales", summed, us);
  ASSERT_TRUE(r_sum3.ok());
  EXPECT_EQ(r_sum3->samples_a, 40u);
  // And the summed result is itself cached under all its members.
  const size_t n = cache.size();
  auto r_sum4 = compare_distributions(b.db, cache, "sales", summed, us);
  EXPECT_EQ(*r_sum4, *r_sum3);
  EXPECT_EQ(cache.size(), n);
  (void)e1;
}

TEST_F(Compare, PoisonedCacheStillCompares) {
  cache.poison();
  auto r = compare_distributions(b.db, cache, "income", {{"region", "eu"}}, {{"region", "us"}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_TRUE(cache.poisoned());
}

TEST(CompareSkip, StoresLeftOutOnlyWhenProvablyEvicted) {
  DbBuilder b;
  b.continuous("h", 2).categorical("c", {"x"});
  for (int v = 0; v < 150; ++v) b.hist("h", {{"d", "v" + std::to_string(v)}}, {1, uint64_t(v)});
  b.hist("h", {{"d", "sum"}, {"s", "1"}}, {1, 1});
  b.hist("h", {{"d", "sum"}, {"s", "2"}}, {1, 2});
  b.cat("c", {{"d", "v0"}}, {"x"}, {1});
  CompareCache cache;
  std::vector<PreparedSide> sides;
  for (int v = 0; v < 150; ++v)
    sides.emplace_back(*resolve_side(b.db, "h", {{"d", "v" + std::to_string(v)}}), cache);
  auto pointers = [&](size_t n) {
    std::vector<const PreparedSide*> out;
    for (size_t i = 0; i < n; ++i) out.push_back(&sides[i]);
    return out;
  };
  EXPECT_EQ(leading_stores_that_cannot_survive(pointers(150)), 150u * 149 / 2 - 10000);
  EXPECT_EQ(leading_stores_that_cannot_survive(pointers(141)), 0u);  // 9 870 pairs fit
  EXPECT_EQ(leading_stores_that_cannot_survive(pointers(142)), 141u * 142 / 2 - 10000);
  // A missing side, a repeated side or a pair that would fail: nothing proved.
  auto with = [&](const PreparedSide* extra) {
    auto p = pointers(149);
    p.push_back(extra);
    return leading_stores_that_cannot_survive(p);
  };
  EXPECT_EQ(with(nullptr), 0u);
  EXPECT_EQ(with(&sides[3]), 0u);
  const PreparedSide other_kind(*resolve_side(b.db, "c", {{"d", "v0"}}), cache);
  EXPECT_EQ(with(&other_kind), 0u);
  // A summed side is its own identity.
  const PreparedSide summed(*resolve_side(b.db, "h", {{"d", "sum"}}), cache);
  EXPECT_EQ(with(&summed), 150u * 149 / 2 - 10000);
}

TEST_F(Compare, NearestLikeRunHoldsOneReferenceList) {
  // One summed reference compared with many exact candidates: every entry
  // uses the reference's one list.
  for (int i = 0; i < 50; ++i)
    b.hist("income", {{"region", "r" + std::to_string(i)}, {"shop", "x"}}, {1, 2, 3, uint64_t(i)}, 0, 100);
  PreparedSide reference(*resolve_side(b.db, "income", {{"shop", "x"}}), cache);
  for (int i = 0; i < 50; ++i) {
    PreparedSide candidate(
        *resolve_side(b.db, "income", {{"region", "r" + std::to_string(i)}, {"shop", "x"}}), cache);
    ASSERT_TRUE(compare_prepared(cache, reference, candidate).ok());
  }
  EXPECT_EQ(cache.size(), 50u);
  EXPECT_EQ(reference::CompareCacheProbe::member_lists(cache), 1u);
  // The same comparisons through the plain path hit those entries.
  auto plain = compare_distributions(b.db, cache, "income", {{"shop", "x"}},
                                     {{"region", "r3"}, {"shop", "x"}});
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(cache.size(), 50u);
}

}  // namespace
}  // namespace quor::analytics
