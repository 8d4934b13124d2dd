// The comparison kernels against the plain measures: the fused pass and the
// per-side form must agree to the last bit with the separate measures on
// the compared vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "analytics_fixture.h"
#include "quor/analytics/compare.h"
#include "quor/analytics/compare_cache.h"
#include "quor/math/measures.h"
#include "quor/math/rebin.h"
#include "quor/util/total_order.h"

namespace quor::analytics {
namespace {

using testing_fixture::DbBuilder;
using V = std::vector<uint64_t>;

// A histogram comparison's measures, bit for bit those of quor::math taken
// one by one over both sides rebinned to `bins` bins over [lo, hi].
void expect_separate_histogram_measures(const CompareResult& r, const model::DistributionRepr& a,
                                        const model::DistributionRepr& b, double lo, double hi,
                                        uint64_t bins) {
  auto ra = *math::rebin_histogram(a, lo, hi, bins), rb = *math::rebin_histogram(b, lo, hi, bins);
  const auto &x = ra.bin_counts, &y = rb.bin_counts;
  const uint64_t nx = ra.total_count, ny = rb.total_count;
  EXPECT_TRUE(util::same_bits(r.jsd, math::jensen_shannon_divergence(x, y, nx, ny)));
  EXPECT_TRUE(util::same_bits(r.kl_a_b, math::kl_divergence(x, y, nx, ny)));
  EXPECT_TRUE(util::same_bits(r.kl_b_a, math::kl_divergence(y, x, ny, nx)));
  EXPECT_TRUE(util::same_bits(r.psi, math::symmetric_kl_divergence(x, y, nx, ny)));
  EXPECT_TRUE(util::same_bits(r.entropy_a, math::shannon_entropy(x, nx)));
  EXPECT_TRUE(util::same_bits(r.entropy_b, math::shannon_entropy(y, ny)));
  EXPECT_TRUE(util::same_bits(r.hellinger, math::hellinger_distance(x, y, nx, ny)));
  ASSERT_TRUE(r.wasserstein.has_value());
  EXPECT_TRUE(util::same_bits(*r.wasserstein, math::wasserstein_distance(x, y, nx, ny, lo, hi)));
}

// Per-category shares and JSD terms in union order, computed one category
// at a time: what the fused kernel's contributions must equal.
std::vector<CategoryContribution> category_contributions(const math::AlignedCategories& aligned,
                                                         uint64_t total_a, uint64_t total_b) {
  std::vector<CategoryContribution> out;
  out.reserve(aligned.categories.size());
  const double ta = static_cast<double>(total_a);
  const double tb = static_cast<double>(total_b);
  for (size_t j = 0; j < aligned.categories.size(); ++j) {
    CategoryContribution c;
    c.category = aligned.categories[j];
    c.p_a = total_a == 0 ? 0.0 : static_cast<double>(aligned.counts_a[j]) / ta;
    c.p_b = total_b == 0 ? 0.0 : static_cast<double>(aligned.counts_b[j]) / tb;
    c.delta = c.p_b - c.p_a;
    const double m = (c.p_a + c.p_b) * 0.5;
    double term = 0.0;
    if (m > 0.0) {
      if (c.p_a > 0.0) term = term + 0.5 * c.p_a * std::log2(c.p_a / m);
      if (c.p_b > 0.0) term = term + 0.5 * c.p_b * std::log2(c.p_b / m);
    }
    c.contribution = term;
    out.push_back(std::move(c));
  }
  return out;
}

// The comparison computes its measures in one fused pass; it must agree to
// the last bit with the separate measures on the compared vectors.
TEST(CompareProperty, FusedMeasuresEqualTheSeparateOnes) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 500; ++round) {
    const size_t k = rng() % 5 == 0 ? 60 + rng() % 70 : 1 + rng() % 15;  // past 64 too: heap room
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
    expect_separate_histogram_measures(*r, ha, hb, -2.5, 10, k);

    // Categorical with unknown mass on one side; repeated names on short
    // lists, distinct ones on long lists so that the aligned layout passes
    // 64 categories too (the contributions' logarithms then go to the heap).
    std::vector<std::string> cats;
    for (size_t i = 0; i < k; ++i) cats.push_back("c" + std::to_string(k > 64 ? i : rng() % 20));
    const uint64_t unknown = rng() % 40;
    const model::DistributionRepr ca = model::CategoricalRepr{cats, a, 0, na};
    const model::DistributionRepr cb = model::CategoricalRepr{{cats.rbegin(), cats.rend()}, b, unknown, nb + unknown};
    r = compare_representations(ca, cb);
    ASSERT_TRUE(r.ok());
    const auto al = math::align_categorical(cats, a, {cats.rbegin(), cats.rend()}, b);
    const uint64_t tb = nb + unknown;
    EXPECT_TRUE(util::same_bits(r->jsd, math::jensen_shannon_divergence(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(util::same_bits(r->psi, math::symmetric_kl_divergence(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(util::same_bits(r->hellinger, math::hellinger_distance(al.counts_a, al.counts_b, na, tb)));
    EXPECT_TRUE(util::same_bits(r->entropy_b, math::shannon_entropy(al.counts_b, tb)));
    auto contributions = category_contributions(al, na, tb);
    std::stable_sort(contributions.begin(), contributions.end(), [](const auto& p, const auto& q) {
      return std::fabs(p.delta) > std::fabs(q.delta);
    });
    EXPECT_EQ(r->contributions, contributions);
  }
}

// Every field of two results, floats compared by their bits.
::testing::AssertionResult SameBits(const CompareResult& x, const CompareResult& y) {
  const std::pair<const char*, std::pair<double, double>> fields[] = {
      {"jsd", {x.jsd, y.jsd}},           {"kl_a_b", {x.kl_a_b, y.kl_a_b}},
      {"kl_b_a", {x.kl_b_a, y.kl_b_a}},  {"psi", {x.psi, y.psi}},
      {"entropy_a", {x.entropy_a, y.entropy_a}}, {"entropy_b", {x.entropy_b, y.entropy_b}},
      {"hellinger", {x.hellinger, y.hellinger}}, {"ci_low", {x.ci_low, y.ci_low}},
      {"ci_high", {x.ci_high, y.ci_high}}};
  for (const auto& [name, v] : fields)
    if (!util::same_bits(v.first, v.second)) return ::testing::AssertionFailure() << name << " differs";
  if (x.wasserstein.has_value() != y.wasserstein.has_value() ||
      (x.wasserstein && !util::same_bits(*x.wasserstein, *y.wasserstein)))
    return ::testing::AssertionFailure() << "wasserstein differs";
  if (x.samples_a != y.samples_a || x.samples_b != y.samples_b)
    return ::testing::AssertionFailure() << "samples differ";
  if (x.contributions.size() != y.contributions.size())
    return ::testing::AssertionFailure() << "contribution count differs";
  for (size_t i = 0; i < x.contributions.size(); ++i) {
    const auto &c = x.contributions[i], &d = y.contributions[i];
    if (c.category != d.category || !util::same_bits(c.p_a, d.p_a) || !util::same_bits(c.p_b, d.p_b) ||
        !util::same_bits(c.delta, d.delta) || !util::same_bits(c.contribution, d.contribution))
      return ::testing::AssertionFailure() << "contribution " << i << " differs";
  }
  return ::testing::AssertionSuccess();
}

// The per-side form (vectors derived once per side and reused by every
// pair) against the plain comparison and the separate measures, on sides
// that share a layout and on sides that do not.
TEST(CompareProperty, PerSideFormEqualsThePlainComparison) {
  std::mt19937_64 rng(1234);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    DbBuilder b;
    const size_t k = rng() % 5 == 0 ? 60 + rng() % 70 : 1 + rng() % 40;  // past 64 too: heap room
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
          // What an ACROSS row prints, measured without the cache.
          const size_t held = cache.size();
          auto printed = measure_unkept(prepared[i], prepared[j]);
          ASSERT_TRUE(printed.ok());
          EXPECT_TRUE(util::same_bits(printed->jsd, slow->jsd));
          EXPECT_TRUE(util::same_bits(printed->hellinger, slow->hellinger));
          EXPECT_TRUE(util::same_bits(printed->psi, slow->psi));
          EXPECT_EQ(printed->samples_a, slow->samples_a);
          EXPECT_EQ(printed->samples_b, slow->samples_b);
          EXPECT_EQ(cache.size(), held);
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
            expect_separate_histogram_measures(*fast, plain[i].repr(), plain[j].repr(), lo, hi, n);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quor::analytics
