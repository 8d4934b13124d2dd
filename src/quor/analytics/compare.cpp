#include "quor/analytics/compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "quor/math/measures.h"
#include "quor/math/total_order.h"
#include "quor/util/panic.h"

namespace quor::analytics {

namespace {

// Every measure of the compared vectors a and b with totals na and nb, in
// one pass over shared scratch: each share a_i / na, b_i / nb and each
// log2(share / midpoint) is computed once and reused by every measure that
// needs it, with the same operations in the same order as the separate
// functions of quor::math (so results are identical to the last bit).
// `grid` asks for the Wasserstein distance on [low, high]; `aligned` for
// the per-category contributions (in union order).
void fill_measures(CompareResult& r, math::Counts a, math::Counts b, uint64_t na, uint64_t nb,
                   const std::pair<double, double>* grid,
                   const math::AlignedCategories* aligned) {
  QUOR_ASSERT(a.size() == b.size(), "vector lengths must match");
  const size_t k = a.size();
  const double ta = static_cast<double>(na);
  const double tb = static_cast<double>(nb);
  constexpr size_t kInline = 32;
  double inline_scratch[4 * kInline];
  std::vector<double> heap_scratch;
  double* pa = inline_scratch;
  if (k > kInline) {
    heap_scratch.resize(4 * k);
    pa = heap_scratch.data();
  }
  double* pb = pa + k;
  double* la = pb + k;  // log2(pa / m), valid where pa > 0 and m > 0
  double* lb = la + k;
  for (size_t i = 0; i < k; ++i) {
    pa[i] = na == 0 ? 0.0 : static_cast<double>(a[i]) / ta;
    pb[i] = nb == 0 ? 0.0 : static_cast<double>(b[i]) / tb;
  }

  // Entropies.
  auto entropy = [&](math::Counts c, const double* p, uint64_t n) {
    if (n == 0) return 0.0;
    double h = -0.0;
    for (size_t i = 0; i < k; ++i)
      if (c[i] != 0) h = h - std::log2(p[i]) * p[i];
    return h;
  };
  r.entropy_a = entropy(a, pa, na);
  r.entropy_b = entropy(b, pb, nb);

  // KL both ways, smoothed on the divisor side; PSI is their sum.
  auto kl = [&](math::Counts p, const double* sp, math::Counts q, uint64_t np, uint64_t nq) {
    if (np == 0 || nq == 0) return 0.0;
    const double tq = static_cast<double>(nq) + static_cast<double>(k) * 1e-10;
    double sum = -0.0;
    for (size_t i = 0; i < k; ++i) {
      if (p[i] == 0) continue;
      const double qi = (static_cast<double>(q[i]) + 1e-10) / tq;
      sum = sum + std::log2(sp[i] / qi) * sp[i];
    }
    return sum;
  };
  r.kl_a_b = kl(a, pa, b, na, nb);
  r.kl_b_a = kl(b, pb, a, nb, na);
  r.psi = r.kl_a_b + r.kl_b_a;

  // Jensen-Shannon divergence.
  if (na == 0 && nb == 0) {
    r.jsd = 0.0;
  } else {
    double sp = -0.0;
    double sq = -0.0;
    for (size_t i = 0; i < k; ++i) {
      const double m = (pa[i] + pb[i]) * 0.5;
      if (!(m > 0.0)) continue;
      if (pa[i] > 0.0) {
        la[i] = std::log2(pa[i] / m);
        sp = sp + pa[i] * la[i];
      }
      if (pb[i] > 0.0) {
        lb[i] = std::log2(pb[i] / m);
        sq = sq + pb[i] * lb[i];
      }
    }
    const double j = 0.5 * sp + 0.5 * sq;
    r.jsd = j < 0.0 ? 0.0 : j > 1.0 ? 1.0 : j;
  }

  // Hellinger distance.
  if (na == 0 && nb == 0) {
    r.hellinger = 0.0;
  } else if (na == 0 || nb == 0) {
    r.hellinger = 1.0;
  } else {
    double sum = 0.0;
    for (size_t i = 0; i < k; ++i) {
      const double d = std::sqrt(pa[i]) - std::sqrt(pb[i]);
      sum = sum + d * d;
    }
    r.hellinger = std::sqrt(0.5 * sum);
  }

  if (grid != nullptr) {
    double w = 0.0;
    if (k != 0 && na != 0 && nb != 0) {
      const double step = (grid->second - grid->first) / static_cast<double>(k);
      double fa = 0.0;
      double fb = 0.0;
      for (size_t i = 0; i < k; ++i) {
        fa = fa + pa[i];
        fb = fb + pb[i];
        w = w + std::fabs(fa - fb) * step;
      }
    }
    r.wasserstein = w;
  }

  if (aligned != nullptr && (na != 0 || nb != 0)) {
    r.contributions.reserve(k);
    for (size_t i = 0; i < k; ++i) {
      CategoryContribution c;
      c.category = aligned->categories[i];
      c.p_a = pa[i];
      c.p_b = pb[i];
      c.delta = c.p_b - c.p_a;
      const double m = (c.p_a + c.p_b) * 0.5;
      double term = 0.0;
      if (m > 0.0) {
        if (c.p_a > 0.0) term = term + 0.5 * c.p_a * la[i];
        if (c.p_b > 0.0) term = term + 0.5 * c.p_b * lb[i];
      }
      c.contribution = term;
      r.contributions.push_back(std::move(c));
    }
  }

  const auto [low, high] = jsd_interval(r.jsd, na, nb);
  r.ci_low = low;
  r.ci_high = high;
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

std::pair<double, double> jsd_interval(double jsd, uint64_t n_a, uint64_t n_b) {
  const double ta = static_cast<double>(n_a);
  const double tb = static_cast<double>(n_b);
  double sum = ta + tb;
  if (n_a == 0 && n_b == 0) sum = 1.0;
  const double n_eff = (ta * tb) / sum;
  double w = 0.0;
  if (n_eff > 0.0) w = 1.96 * std::sqrt(std::fmax(jsd, 1e-12) * std::fmax(1.0 - jsd, 1e-12) / n_eff);
  return {std::fmax(jsd - w, 0.0), std::fmin(jsd + w, 1.0)};
}

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

namespace {

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// `source` rebinned onto (lo, hi, n), taken from the side's memo when the
// side was rebinned onto the same grid before.
const store::HistogramRepr* rebinned(const store::DistributionRepr& source, const ResolvedSide* side,
                                     double lo, double hi, uint64_t n,
                                     std::optional<store::HistogramRepr>& local) {
  if (side != nullptr && side->rebinned && same_bits(side->rebinned->low, lo) &&
      same_bits(side->rebinned->high, hi) && side->rebinned->bins == n)
    return &side->rebinned->histogram;
  local = math::rebin_histogram(source, lo, hi, n);
  if (!local) return nullptr;
  if (side == nullptr) return &*local;
  side->rebinned = ResolvedSide::Rebinned{lo, hi, n, std::move(*local)};
  return &side->rebinned->histogram;
}

// The comparison of two representations; the sides, when given, lend
// their rebinning memo.
Result<CompareResult> compare_impl(const store::DistributionRepr& a,
                                   const store::DistributionRepr& b, const ResolvedSide* side_a,
                                   const ResolvedSide* side_b) {
  if (a.index() != b.index()) return Error("type mismatch for compare");
  CompareResult r;
  if (const auto* ha = std::get_if<store::HistogramRepr>(&a)) {
    const auto& hb = std::get<store::HistogramRepr>(b);
    const double lo = std::fmin(ha->min, hb.min);
    const double hi = std::fmax(ha->max, hb.max);
    const uint64_t n = std::max(ha->bin_counts.size(), hb.bin_counts.size());
    std::optional<store::HistogramRepr> local_a, local_b;
    const store::HistogramRepr* ra = rebinned(a, side_a, lo, hi, n, local_a);
    if (ra == nullptr) return Error("failed to rebin A");
    const store::HistogramRepr* rb = rebinned(b, side_b, lo, hi, n, local_b);
    if (rb == nullptr) return Error("failed to rebin B");
    const std::pair<double, double> grid{lo, hi};
    fill_measures(r, ra->bin_counts, rb->bin_counts, ra->total_count, rb->total_count, &grid,
                  nullptr);
    return r;
  }
  const auto& ca = std::get<store::CategoricalRepr>(a);
  const auto& cb = std::get<store::CategoricalRepr>(b);
  const math::AlignedCategories aligned =
      math::align_categorical(ca.categories, ca.counts, cb.categories, cb.counts);
  fill_measures(r, aligned.counts_a, aligned.counts_b, ca.total_count, cb.total_count, nullptr,
                &aligned);
  if (!r.contributions.empty()) {
    std::stable_sort(r.contributions.begin(), r.contributions.end(),
                     [](const CategoryContribution& x, const CategoryContribution& y) {
                       return math::total_greater(std::fabs(x.delta), std::fabs(y.delta));
                     });
  }
  return r;
}

}  // namespace

Result<CompareResult> compare_representations(const store::DistributionRepr& a,
                                              const store::DistributionRepr& b) {
  return compare_impl(a, b, nullptr, nullptr);
}

Result<CompareResult> compare_resolved(CompareCache& cache, const ResolvedSide& a,
                                       const ResolvedSide& b) {
  const bool cacheable = a.cacheable && b.cacheable;
  std::optional<CompareKey> key;
  if (cacheable) {
    key = key_of(a, b);
    if (auto hit = cache.get(*key)) return std::move(*hit);
  }
  QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_impl(a.repr(), b.repr(), &a, &b));
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
