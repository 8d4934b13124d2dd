#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <optional>
#include <random>
#include <thread>
#include <tuple>

#include "analytics_fixture.h"
#include "quor/analytics/compare.h"
#include "quor/analytics/compare_cache.h"
#include "quor/math/measures.h"

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

// The comparison computes its measures in one fused pass; it must agree to
// the last bit with the separate measures on the compared vectors.
TEST(CompareProperty, FusedMeasuresEqualTheSeparateOnes) {
  std::mt19937_64 rng(99);
  auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  for (int round = 0; round < 500; ++round) {
    const size_t k = 1 + rng() % 15;
    V a(k), b(k);
    for (auto& x : a) x = rng() % 4 == 0 ? 0 : rng() % 300;
    for (auto& x : b) x = rng() % 4 == 0 ? 0 : rng() % 300;
    uint64_t na = 0, nb = 0;
    for (auto x : a) na += x;
    for (auto x : b) nb += x;
    if (round % 9 == 0) na = 0, std::fill(a.begin(), a.end(), 0);
    SCOPED_TRACE(round);

    // Histograms on different ranges.
    const model::DistributionRepr ha = model::HistogramRepr{0, 10, a, na};
    const model::DistributionRepr hb = model::HistogramRepr{-2.5, 7, b, nb};
    auto r = compare_representations(ha, hb);
    ASSERT_TRUE(r.ok());
    auto ra = *math::rebin_histogram(ha, -2.5, 10, k), rb = *math::rebin_histogram(hb, -2.5, 10, k);
    const auto &x = ra.bin_counts, &y = rb.bin_counts;
    const uint64_t nx = ra.total_count, ny = rb.total_count;
    EXPECT_TRUE(same(r->jsd, math::jensen_shannon_divergence(x, y, nx, ny)));
    EXPECT_TRUE(same(r->kl_a_b, math::kl_divergence(x, y, nx, ny)));
    EXPECT_TRUE(same(r->kl_b_a, math::kl_divergence(y, x, ny, nx)));
    EXPECT_TRUE(same(r->psi, math::symmetric_kl_divergence(x, y, nx, ny)));
    EXPECT_TRUE(same(r->entropy_a, math::shannon_entropy(x, nx)));
    EXPECT_TRUE(same(r->entropy_b, math::shannon_entropy(y, ny)));
    EXPECT_TRUE(same(r->hellinger, math::hellinger_distance(x, y, nx, ny)));
    EXPECT_TRUE(same(*r->wasserstein, math::wasserstein_distance(x, y, nx, ny, -2.5, 10)));

    // Categorical with unknown mass on one side.
    std::vector<std::string> cats;
    for (size_t i = 0; i < k; ++i) cats.push_back("c" + std::to_string(rng() % 20));
    const uint64_t unknown = rng() % 40;
    const model::DistributionRepr ca = model::CategoricalRepr{cats, a, 0, na};
    const model::DistributionRepr cb = model::CategoricalRepr{{cats.rbegin(), cats.rend()}, b, unknown, nb + unknown};
    r = compare_representations(ca, cb);
    ASSERT_TRUE(r.ok());
    const auto al = math::align_categorical(cats, a, {cats.rbegin(), cats.rend()}, b);
    const uint64_t tb = nb + unknown;
    EXPECT_TRUE(same(r->jsd, math::jensen_shannon_divergence(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(same(r->psi, math::symmetric_kl_divergence(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(same(r->hellinger, math::hellinger_distance(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(same(r->entropy_b, math::shannon_entropy(al.counts_b, tb)));
    auto contributions = category_contributions(al, na, tb);
    std::stable_sort(contributions.begin(), contributions.end(), [](const auto& p, const auto& q) {
      return std::fabs(p.delta) > std::fabs(q.delta);
    });
    EXPECT_EQ(r->contributions, contributions);
  }
}

// Every field of two results, floats compared by their bits.
::testing::AssertionResult SameBits(const CompareResult& x, const CompareResult& y) {
  auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  const std::pair<const char*, std::pair<double, double>> fields[] = {
      {"jsd", {x.jsd, y.jsd}},           {"kl_a_b", {x.kl_a_b, y.kl_a_b}},
      {"kl_b_a", {x.kl_b_a, y.kl_b_a}},  {"psi", {x.psi, y.psi}},
      {"entropy_a", {x.entropy_a, y.entropy_a}}, {"entropy_b", {x.entropy_b, y.entropy_b}},
      {"hellinger", {x.hellinger, y.hellinger}}, {"ci_low", {x.ci_low, y.ci_low}},
      {"ci_high", {x.ci_high, y.ci_high}}};
  for (const auto& [name, v] : fields)
    if (!same(v.first, v.second)) return ::testing::AssertionFailure() << name << " differs";
  if (x.wasserstein.has_value() != y.wasserstein.has_value() ||
      (x.wasserstein && !same(*x.wasserstein, *y.wasserstein)))
    return ::testing::AssertionFailure() << "wasserstein differs";
  if (x.samples_a != y.samples_a || x.samples_b != y.samples_b)
    return ::testing::AssertionFailure() << "samples differ";
  if (x.contributions.size() != y.contributions.size())
    return ::testing::AssertionFailure() << "contribution count differs";
  for (size_t i = 0; i < x.contributions.size(); ++i) {
    const auto &c = x.contributions[i], &d = y.contributions[i];
    if (c.category != d.category || !same(c.p_a, d.p_a) || !same(c.p_b, d.p_b) ||
        !same(c.delta, d.delta) || !same(c.contribution, d.contribution))
      return ::testing::AssertionFailure() << "contribution " << i << " differs";
  }
  return ::testing::AssertionSuccess();
}

// The per-side form (vectors derived once per side and reused by every
// pair) against the plain comparison and the separate measures, on sides
// that share a layout and on sides that do not.
TEST(CompareProperty, PerSideFormEqualsThePlainComparison) {
  std::mt19937_64 rng(1234);
  auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    DbBuilder b;
    const size_t k = 1 + rng() % 40;
    b.continuous("h", static_cast<uint32_t>(k)).categorical("c", {});
    std::vector<std::string> names;
    for (size_t i = 0; i < k; ++i) names.push_back("n" + std::to_string(rng() % 60));
    const int sides = 6;
    for (int s = 0; s < sides; ++s) {
      V counts(k);
      for (auto& x : counts) x = rng() % 3 == 0 ? 0 : rng() % 1000;
      if (rng() % 7 == 0) std::fill(counts.begin(), counts.end(), 0);
      // Most sides on one grid, some on their own; likewise for names.
      const bool own = rng() % 4 == 0;
      const std::string at = "s" + std::to_string(s);
      b.hist("h", {{"d", at}}, counts, own ? -1.0 * double(rng() % 5) : 0.0,
             own ? 1.0 + double(rng() % 5) : 10.0, rng() % 3 == 0 ? rng() % 50 : 0);
      std::vector<std::string> cats = names;
      if (own) std::reverse(cats.begin(), cats.end());
      if (rng() % 5 == 0) cats.back() = "extra" + std::to_string(s);
      b.cat("c", {{"d", at}}, cats, counts, rng() % 3 == 0 ? rng() % 50 : 0);
    }
    for (const char* variable : {"h", "c"}) {
      CompareCache cache;
      CompareCache poisoned;
      poisoned.poison();
      std::vector<PreparedSide> prepared;
      std::vector<ResolvedSide> plain;
      for (int s = 0; s < sides; ++s) {
        const Filter f{{"d", "s" + std::to_string(s)}};
        prepared.emplace_back(*resolve_side(b.db, variable, f), cache);
        plain.push_back(*resolve_side(b.db, variable, f));
      }
      for (int i = 0; i < sides; ++i) {
        for (int j = 0; j < sides; ++j) {
          SCOPED_TRACE(std::string(variable) + " " + std::to_string(i) + " vs " + std::to_string(j));
          auto fast = compare_prepared(poisoned, prepared[i], prepared[j]);
          auto slow = compare_representations(plain[i].repr(), plain[j].repr());
          ASSERT_TRUE(fast.ok() && slow.ok());
          EXPECT_TRUE(SameBits(*fast, *slow));
          // Through the cache: the first time computed, then a hit.
          auto first = compare_prepared(cache, prepared[i], prepared[j]);
          auto again = compare_prepared(cache, prepared[i], prepared[j]);
          EXPECT_TRUE(SameBits(*first, *slow));
          EXPECT_TRUE(SameBits(*again, *slow));
          if (std::string(variable) == "h") {
            // And against the separate measures on the rebinned vectors.
            const auto& x = std::get<model::HistogramRepr>(plain[i].repr());
            const auto& y = std::get<model::HistogramRepr>(plain[j].repr());
            const double lo = std::fmin(x.min, y.min), hi = std::fmax(x.max, y.max);
            const uint64_t n = std::max(x.bin_counts.size(), y.bin_counts.size());
            auto rx = *math::rebin_histogram(plain[i].repr(), lo, hi, n);
            auto ry = *math::rebin_histogram(plain[j].repr(), lo, hi, n);
            const auto &u = rx.bin_counts, &v = ry.bin_counts;
            const uint64_t nu = rx.total_count, nv = ry.total_count;
            EXPECT_TRUE(same(fast->jsd, math::jensen_shannon_divergence(u, v, nu, nv)));
            EXPECT_TRUE(same(fast->kl_a_b, math::kl_divergence(u, v, nu, nv)));
            EXPECT_TRUE(same(fast->kl_b_a, math::kl_divergence(v, u, nv, nu)));
            EXPECT_TRUE(same(fast->psi, math::symmetric_kl_divergence(u, v, nu, nv)));
            EXPECT_TRUE(same(fast->entropy_a, math::shannon_entropy(u, nu)));
            EXPECT_TRUE(same(fast->entropy_b, math::shannon_entropy(v, nv)));
            EXPECT_TRUE(same(fast->hellinger, math::hellinger_distance(u, v, nu, nv)));
            EXPECT_TRUE(same(*fast->wasserstein, math::wasserstein_distance(u, v, nu, nv, lo, hi)));
          }
        }
      }
    }
  }
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

// ---- the cache alone ----

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
      if (got) ASSERT_EQ(got->jsd, *want) << step;
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
  EXPECT_EQ(c.member_lists(), lists_in_use.size());
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
  EXPECT_EQ(c.member_lists(), 1u);
  // An equal list built anew (a later statement resolving the same side):
  // found by content, then shared by identity.
  MemberStamps again(members);
  EXPECT_FALSE(again.shares_list_with(first));
  EXPECT_EQ(c.get(CompareKey{1, 1, 100000 + 7, 1, again, {}})->jsd, 7.0);
  c.share(again);
  EXPECT_TRUE(again.shares_list_with(first));
  c.put(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}}, result(1));
  EXPECT_EQ(c.member_lists(), 1u);
  // One member more is another list.
  members.emplace_back(20000, 1);
  c.put(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}}, result(2));
  EXPECT_EQ(c.member_lists(), 2u);
  EXPECT_EQ(c.get(CompareKey{1, 1, 300000, 1, MemberStamps(members), {}})->jsd, 2.0);
  // Pushing every entry out releases both lists.
  for (uint64_t i = 0; i < CompareCache::kCapacity; ++i) c.put(key(i), result(0));
  EXPECT_EQ(c.member_lists(), 0u);
  EXPECT_FALSE(c.get(CompareKey{1, 1, 100000 + 7, 1, first, {}}));
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
  EXPECT_EQ(cache.member_lists(), 1u);
  // The same comparisons through the plain path hit those entries.
  auto plain = compare_distributions(b.db, cache, "income", {{"shop", "x"}},
                                     {{"region", "r3"}, {"shop", "x"}});
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(cache.size(), 50u);
}

TEST(CompareCacheLru, SharedBetweenThreads) {
  auto c = new_compare_cache();
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

}  // namespace
}  // namespace quor::analytics
