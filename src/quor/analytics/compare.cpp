#include "quor/analytics/compare.h"

#include <algorithm>
#include <cmath>

#include "quor/math/measures.h"
#include "quor/math/total_order.h"

namespace quor::analytics {

namespace {

// The measures common to both kinds, on the compared vectors and totals.
void fill_measures(CompareResult& r, math::Counts a, math::Counts b, uint64_t na, uint64_t nb) {
  r.jsd = math::jensen_shannon_divergence(a, b, na, nb);
  r.kl_a_b = math::kl_divergence(a, b, na, nb);
  r.kl_b_a = math::kl_divergence(b, a, nb, na);
  r.entropy_a = math::shannon_entropy(a, na);
  r.entropy_b = math::shannon_entropy(b, nb);
  r.hellinger = math::hellinger_distance(a, b, na, nb);
  r.psi = math::symmetric_kl_divergence(a, b, na, nb);

  const double fa = static_cast<double>(na);
  const double fb = static_cast<double>(nb);
  double sum = fa + fb;
  if (na == 0 && nb == 0) sum = 1.0;
  const double n_eff = (fa * fb) / sum;
  double w = 0.0;
  if (n_eff > 0.0)
    w = 1.96 * std::sqrt(std::fmax(r.jsd, 1e-12) * std::fmax(1.0 - r.jsd, 1e-12) / n_eff);
  r.ci_low = std::fmax(r.jsd - w, 0.0);
  r.ci_high = std::fmin(r.jsd + w, 1.0);
  r.samples_a = na;
  r.samples_b = nb;
}

CompareKey key_of(const ResolvedSide& a, const ResolvedSide& b) {
  CompareKey key;
  key.id_a = a.first->id;
  key.version_a = a.first->version;
  key.id_b = b.first->id;
  key.version_b = b.first->version;
  key.more_a = a.more;
  key.more_b = b.more;
  return key;
}

}  // namespace

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

Result<CompareResult> compare_representations(const store::DistributionRepr& a,
                                              const store::DistributionRepr& b) {
  if (a.index() != b.index()) return Error("type mismatch for compare");
  CompareResult r;
  if (const auto* ha = std::get_if<store::HistogramRepr>(&a)) {
    const auto& hb = std::get<store::HistogramRepr>(b);
    const double lo = std::fmin(ha->min, hb.min);
    const double hi = std::fmax(ha->max, hb.max);
    const uint64_t n = std::max(ha->bin_counts.size(), hb.bin_counts.size());
    auto ra = math::rebin_histogram(a, lo, hi, n);
    if (!ra) return Error("failed to rebin A");
    auto rb = math::rebin_histogram(b, lo, hi, n);
    if (!rb) return Error("failed to rebin B");
    fill_measures(r, ra->bin_counts, rb->bin_counts, ra->total_count, rb->total_count);
    r.wasserstein = math::wasserstein_distance(ra->bin_counts, rb->bin_counts, ra->total_count,
                                               rb->total_count, lo, hi);
    return r;
  }
  const auto& ca = std::get<store::CategoricalRepr>(a);
  const auto& cb = std::get<store::CategoricalRepr>(b);
  const math::AlignedCategories aligned =
      math::align_categorical(ca.categories, ca.counts, cb.categories, cb.counts);
  fill_measures(r, aligned.counts_a, aligned.counts_b, ca.total_count, cb.total_count);
  if (ca.total_count != 0 || cb.total_count != 0) {
    r.contributions = category_contributions(aligned, ca.total_count, cb.total_count);
    std::stable_sort(r.contributions.begin(), r.contributions.end(),
                     [](const CategoryContribution& x, const CategoryContribution& y) {
                       return math::total_greater(std::fabs(x.delta), std::fabs(y.delta));
                     });
  }
  return r;
}

Result<CompareResult> compare_resolved(CompareCache& cache, const ResolvedSide& a,
                                       const ResolvedSide& b) {
  const bool cacheable = a.cacheable && b.cacheable;
  std::optional<CompareKey> key;
  if (cacheable) {
    key = key_of(a, b);
    if (auto hit = cache.get(*key)) return std::move(*hit);
  }
  QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_representations(a.repr(), b.repr()));
  if (key) cache.put(std::move(*key), r);
  return r;
}

Result<CompareResult> compare_distributions(const store::Database& db, CompareCache& cache,
                                            std::string_view variable, const Filter& filter_a,
                                            const Filter& filter_b) {
  QUOR_ASSIGN_OR_RETURN(ResolvedSide a, resolve_side(db, variable, filter_a));
  QUOR_ASSIGN_OR_RETURN(ResolvedSide b, resolve_side(db, variable, filter_b));
  return compare_resolved(cache, a, b);
}

Result<CompareResult> compare_query(const store::Database& db, CompareCache& cache,
                                    std::string_view reference_a, std::string_view reference_b,
                                    std::optional<std::string_view> variable) {
  QUOR_ASSIGN_OR_RETURN(ParsedReference a, parse_reference(reference_a));
  QUOR_ASSIGN_OR_RETURN(ParsedReference b, parse_reference(reference_b));
  std::string name;
  if (variable)
    name = std::string(*variable);
  else if (a.variable)
    name = *a.variable;
  else if (b.variable)
    name = *b.variable;
  else if (!db.meta.schema.variables.empty())
    name = db.meta.schema.variables.front().name;
  else
    return Error("no variable available in schema");
  return compare_distributions(db, cache, name, a.dimensions, b.dimensions);
}

}  // namespace quor::analytics
