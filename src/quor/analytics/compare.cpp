#include "quor/analytics/compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "quor/math/log2.h"
#include "quor/math/measures.h"
#include "quor/util/total_order.h"
#include "quor/util/panic.h"

namespace quor::analytics {

namespace {

// The per-pair part of every measure: each log2(share / midpoint) and each
// smoothed KL term depends on both sides and is computed here; shares,
// roots, smoothed divisors, running sums and entropies come from the sides.
// Operations and their order are those of the separate functions of
// quor::math, so the results are identical to the last bit.
void measure_pair(CompareResult& r, const SideVectors& a, const SideVectors& b,
                  const std::pair<double, double>* grid,
                  const std::vector<std::string>* categories) {
  QUOR_ASSERT(a.counts.size() == b.counts.size(), "vector lengths must match");
  const size_t k = a.counts.size();
  const uint64_t total_a = a.total;
  const uint64_t total_b = b.total;
  const double* pa = a.share();
  const double* pb = b.share();
  const double* sa = a.smoothed();
  const double* sb = b.smoothed();
  const bool both = total_a != 0 && total_b != 0;
  const bool either = total_a != 0 || total_b != 0;
  r.entropy_a = a.entropy;
  r.entropy_b = b.entropy;

  // Every logarithm of the pair in one call, in the order the sums use
  // them: KL from a to b where a's count is non-zero, KL from b to a where
  // b's is, then JSD's two terms where the midpoint and that share are
  // positive. The sums then run over them in entry order.
  constexpr size_t kInline = 64;
  double inline_logs[4 * kInline];
  std::vector<double> heap_logs;
  double* logs = inline_logs;
  if (k > kInline) {
    heap_logs.resize(4 * k);
    logs = heap_logs.data();
  }
  size_t n = 0;
  if (both) {
    for (size_t i = 0; i < k; ++i)
      if (a.counts[i] != 0) logs[n++] = pa[i] / sb[i];
    for (size_t i = 0; i < k; ++i)
      if (b.counts[i] != 0) logs[n++] = pb[i] / sa[i];
  }
  if (either) {
    for (size_t i = 0; i < k; ++i) {
      const double m = (pa[i] + pb[i]) * 0.5;
      if (!(m > 0.0)) continue;
      if (pa[i] > 0.0) logs[n++] = pa[i] / m;
      if (pb[i] > 0.0) logs[n++] = pb[i] / m;
    }
  }
  math::log2_in_place({logs, n});
  const double* next = logs;

  // KL both ways, smoothed on the divisor side; PSI is their sum.
  auto kl = [k, &next](const uint64_t* counts, const double* share) {
    double sum = -0.0;
    for (size_t i = 0; i < k; ++i)
      if (counts[i] != 0) sum = sum + *next++ * share[i];
    return sum;
  };
  r.kl_a_b = both ? kl(a.counts.data(), pa) : 0.0;
  r.kl_b_a = both ? kl(b.counts.data(), pb) : 0.0;
  r.psi = r.kl_a_b + r.kl_b_a;

  // Jensen-Shannon divergence. Per category, log2(share / midpoint) of each
  // side is kept for the contributions.
  const bool keep_logs = categories != nullptr && either;
  double inline_side[2 * kInline];
  std::vector<double> heap_side;
  double* side_logs = inline_side;  // a's at [i], b's at [k + i]: read only where written
  if (keep_logs && k > kInline) {
    heap_side.resize(2 * k);
    side_logs = heap_side.data();
  }
  if (!either) {
    r.jsd = 0.0;
  } else {
    double sp = -0.0;
    double sq = -0.0;
    for (size_t i = 0; i < k; ++i) {
      const double m = (pa[i] + pb[i]) * 0.5;
      if (!(m > 0.0)) continue;
      if (pa[i] > 0.0) {
        const double l = *next++;
        if (keep_logs) side_logs[i] = l;
        sp = sp + pa[i] * l;
      }
      if (pb[i] > 0.0) {
        const double l = *next++;
        if (keep_logs) side_logs[k + i] = l;
        sq = sq + pb[i] * l;
      }
    }
    const double j = 0.5 * sp + 0.5 * sq;
    r.jsd = j < 0.0 ? 0.0 : j > 1.0 ? 1.0 : j;
  }
  const double* la = side_logs;
  const double* lb = side_logs + k;

  // Hellinger distance: 0 when both totals are 0, 1 when exactly one is.
  if (both) {
    const double* ra = a.root();
    const double* rb = b.root();
    double sum = 0.0;
    for (size_t i = 0; i < k; ++i) {
      const double d = ra[i] - rb[i];
      sum = sum + d * d;
    }
    r.hellinger = std::sqrt(0.5 * sum);
  } else {
    r.hellinger = total_a == 0 && total_b == 0 ? 0.0 : 1.0;
  }

  if (grid != nullptr) {
    double w = 0.0;
    if (k != 0 && both) {
      const double step = (grid->second - grid->first) / static_cast<double>(k);
      const double* fa = a.cumulative();
      const double* fb = b.cumulative();
      for (size_t i = 0; i < k; ++i) w = w + std::fabs(fa[i] - fb[i]) * step;
    }
    r.wasserstein = w;
  }

  if (categories != nullptr && (total_a != 0 || total_b != 0)) {
    r.contributions.resize(k);
    for (size_t i = 0; i < k; ++i) {
      CategoryContribution& c = r.contributions[i];
      c.category = (*categories)[i];
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
    }
    std::stable_sort(r.contributions.begin(), r.contributions.end(),
                     [](const CategoryContribution& x, const CategoryContribution& y) {
                       return util::total_greater(std::fabs(x.delta), std::fabs(y.delta));
                     });
  }

  const auto [low, high] = jsd_interval(r.jsd, total_a, total_b);
  r.ci_low = low;
  r.ci_high = high;
  r.samples_a = total_a;
  r.samples_b = total_b;
}

CompareKey key_of(const ResolvedSide& a, const ResolvedSide& b) {
  CompareKey key;
  key.id_a = a.first->id;
  key.version_a = a.first->version;
  key.id_b = b.first->id;
  key.version_b = b.first->version;
  if (!a.more.empty()) key.more_a = MemberStamps(a.more);
  if (!b.more.empty()) key.more_b = MemberStamps(b.more);
  return key;
}

}  // namespace

SideVectors side_owning_vectors(std::vector<uint64_t> counts, uint64_t total, bool cumulative) {
  SideVectors v = side_vectors(counts, total, cumulative);
  v.owned_counts = std::move(counts);  // the buffer, and so the span, stays
  return v;
}

SideVectors side_vectors(std::span<const uint64_t> counts, uint64_t total, bool cumulative,
                         double* scratch, size_t scratch_size) {
  SideVectors v;
  const size_t k = counts.size();
  v.counts = counts;
  v.total = total;
  const size_t block = (cumulative ? 4 : 3) * k;
  double* share = scratch;
  if (scratch == nullptr || block > scratch_size) {
    v.owned.resize(block);
    share = v.owned.data();
  }
  v.block = share;
  double* root = share + k;
  double* smoothed = root + k;
  const double t = static_cast<double>(total);
  for (size_t i = 0; i < k; ++i) share[i] = total == 0 ? 0.0 : static_cast<double>(v.counts[i]) / t;
  for (size_t i = 0; i < k; ++i) root[i] = std::sqrt(share[i]);
  // As a KL divisor the side is smoothed by 1e-10 per entry (only used
  // when both totals are non-zero).
  const double ts = t + static_cast<double>(k) * 1e-10;
  for (size_t i = 0; i < k; ++i) smoothed[i] = (static_cast<double>(v.counts[i]) + 1e-10) / ts;
  if (cumulative) {
    double* running = smoothed + k;
    double f = 0.0;
    for (size_t i = 0; i < k; ++i) {
      f = f + share[i];
      running[i] = f;
    }
  }
  if (total != 0) v.entropy = math::shannon_entropy(v.counts, total);
  return v;
}

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

namespace {

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// `source` rebinned onto (lo, hi, n), taken from the side's memo when the
// side was rebinned onto the same grid before.
const model::HistogramRepr* rebinned(const model::DistributionRepr& source, const ResolvedSide* side,
                                     double lo, double hi, uint64_t n,
                                     std::optional<model::HistogramRepr>& local) {
  if (side != nullptr && side->rebinned && same_bits(side->rebinned->low, lo) &&
      same_bits(side->rebinned->high, hi) && side->rebinned->bins == n)
    return &side->rebinned->histogram;
  local = math::rebin_histogram(source, lo, hi, n);
  if (!local) return nullptr;
  if (side == nullptr) return &*local;
  side->rebinned = ResolvedSide::Rebinned{lo, hi, n, std::move(*local)};
  return &side->rebinned->histogram;
}

// Stack room for one side's block in a single comparison: 32 bins.
constexpr size_t kScratch = 4 * 32;

// The comparison of two representations; the sides, when given, lend
// their rebinning memo.
Result<CompareResult> compare_impl(const model::DistributionRepr& a,
                                   const model::DistributionRepr& b, const ResolvedSide* side_a,
                                   const ResolvedSide* side_b) {
  if (a.index() != b.index()) return Error("type mismatch for compare");
  CompareResult r;
  if (const auto* ha = std::get_if<model::HistogramRepr>(&a)) {
    const auto& hb = std::get<model::HistogramRepr>(b);
    const double lo = std::fmin(ha->min, hb.min);
    const double hi = std::fmax(ha->max, hb.max);
    const uint64_t n = std::max(ha->bin_counts.size(), hb.bin_counts.size());
    std::optional<model::HistogramRepr> local_a, local_b;
    const model::HistogramRepr* ra = rebinned(a, side_a, lo, hi, n, local_a);
    if (ra == nullptr) return Error("failed to rebin A");
    const model::HistogramRepr* rb = rebinned(b, side_b, lo, hi, n, local_b);
    if (rb == nullptr) return Error("failed to rebin B");
    const std::pair<double, double> grid{lo, hi};
    double scratch_a[kScratch], scratch_b[kScratch];
    measure_pair(r, side_vectors(ra->bin_counts, ra->total_count, true, scratch_a, kScratch),
                 side_vectors(rb->bin_counts, rb->total_count, true, scratch_b, kScratch),
                 &grid, nullptr);
    return r;
  }
  const auto& ca = std::get<model::CategoricalRepr>(a);
  const auto& cb = std::get<model::CategoricalRepr>(b);
  const math::AlignedCategories aligned =
      math::align_categorical(ca.categories, ca.counts, cb.categories, cb.counts);
  double scratch_a[kScratch], scratch_b[kScratch];
  measure_pair(r, side_vectors(aligned.counts_a, ca.total_count, false, scratch_a, kScratch),
               side_vectors(aligned.counts_b, cb.total_count, false, scratch_b, kScratch),
               nullptr, &aligned.categories);
  return r;
}

}  // namespace

Result<CompareResult> compare_representations(const model::DistributionRepr& a,
                                              const model::DistributionRepr& b) {
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

CompareResult compare_vectors(const SideVectors& a, const SideVectors& b,
                              const std::pair<double, double>* grid,
                              const std::vector<std::string>* categories) {
  CompareResult r;
  measure_pair(r, a, b, grid, categories);
  return r;
}

PreparedSide::PreparedSide(ResolvedSide side, CompareCache& cache) : side_(std::move(side)) {
  if (!side_.cacheable || side_.more.empty()) return;
  more_ = MemberStamps(side_.more);
  cache.share(more_);
}

const SideVectors* PreparedSide::on_grid(double low, double high, uint64_t bins) const {
  if (grid_ && same_bits(grid_->low, low) && same_bits(grid_->high, high) && grid_->bins == bins)
    return grid_vectors_ ? &*grid_vectors_ : nullptr;
  grid_ = Grid{low, high, bins};
  grid_vectors_.reset();
  std::optional<model::HistogramRepr> h = math::rebin_histogram(side_.repr(), low, high, bins);
  if (!h) return nullptr;
  grid_vectors_ = side_owning_vectors(std::move(h->bin_counts), h->total_count, true);
  return &*grid_vectors_;
}

const SideVectors& PreparedSide::on_categories() const {
  if (!category_vectors_) {
    const auto& c = std::get<model::CategoricalRepr>(side_.repr());
    math::AlignedCategories self =
        math::align_categorical(c.categories, c.counts, c.categories, c.counts);
    categories_ = std::move(self.categories);
    category_vectors_ = side_owning_vectors(std::move(self.counts_a), c.total_count, false);
  }
  return *category_vectors_;
}

Result<CompareResult> compare_prepared(CompareCache& cache, const PreparedSide& a,
                                       const PreparedSide& b, bool store) {
  const ResolvedSide& ra = a.side_;
  const ResolvedSide& rb = b.side_;
  std::optional<CompareKey> key;
  if (ra.cacheable && rb.cacheable) {
    key.emplace(CompareKey{ra.first->id, ra.first->version, rb.first->id, rb.first->version,
                           a.more_, b.more_});
    if (auto hit = cache.get(*key)) return std::move(*hit);
  }
  const model::DistributionRepr& x = ra.repr();
  const model::DistributionRepr& y = rb.repr();
  std::optional<CompareResult> r;
  if (x.index() == y.index()) {
    if (const auto* hx = std::get_if<model::HistogramRepr>(&x)) {
      const auto& hy = std::get<model::HistogramRepr>(y);
      const double lo = std::fmin(hx->min, hy.min);
      const double hi = std::fmax(hx->max, hy.max);
      const uint64_t n = std::max(hx->bin_counts.size(), hy.bin_counts.size());
      const SideVectors* va = a.on_grid(lo, hi, n);
      const SideVectors* vb = va == nullptr ? nullptr : b.on_grid(lo, hi, n);
      if (vb != nullptr) {
        const std::pair<double, double> grid{lo, hi};
        r = compare_vectors(*va, *vb, &grid, nullptr);
      }
    } else {
      const SideVectors& va = a.on_categories();
      const SideVectors& vb = b.on_categories();
      if (*a.categories_ == *b.categories_) r = compare_vectors(va, vb, nullptr, &*a.categories_);
    }
  }
  if (!r) {
    // Layouts that differ, kinds that differ or no bins: the plain way,
    // which also gives the errors.
    QUOR_ASSIGN_OR_RETURN(CompareResult plain, compare_impl(x, y, &ra, &rb));
    r = std::move(plain);
  }
  if (key && store) cache.put(std::move(*key), *r);
  return std::move(*r);
}

size_t leading_stores_that_cannot_survive(const std::vector<const PreparedSide*>& sides) {
  const size_t n = sides.size();
  const size_t pairs = n < 2 ? 0 : n * (n - 1) / 2;
  if (pairs <= CompareCache::kCapacity) return 0;
  struct Identity {
    uint64_t id, version, members_hash;
    const PreparedSide* side;
  };
  std::vector<Identity> ids;
  ids.reserve(n);
  for (const PreparedSide* p : sides) {
    if (p == nullptr || !p->side_.cacheable) return 0;
    const model::DistributionRepr& repr = p->side_.repr();
    if (repr.index() != sides.front()->side_.repr().index()) return 0;
    if (const auto* h = std::get_if<model::HistogramRepr>(&repr); h && h->bin_counts.empty())
      return 0;
    ids.push_back({p->side_.first->id, p->side_.first->version, p->more_.hash(), p});
  }
  std::sort(ids.begin(), ids.end(), [](const Identity& x, const Identity& y) {
    return std::tie(x.id, x.version, x.members_hash) < std::tie(y.id, y.version, y.members_hash);
  });
  // Within each run of equal (id, version, list hash), every two lists.
  for (size_t start = 0; start < n;) {
    size_t end = start + 1;
    while (end < n && ids[end].id == ids[start].id && ids[end].version == ids[start].version &&
           ids[end].members_hash == ids[start].members_hash)
      ++end;
    for (size_t i = start; i < end; ++i)
      for (size_t j = i + 1; j < end; ++j)
        if (ids[i].side->more_ == ids[j].side->more_) return 0;
    start = end;
  }
  return pairs - CompareCache::kCapacity;
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
  QUOR_ASSIGN_OR_RETURN(std::string name, query_variable(db, variable, {&a, &b}));
  return compare_distributions(db, cache, name, a.dimensions, b.dimensions);
}

}  // namespace quor::analytics
