#include "quor/analytics/compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "quor/math/divide.h"
#include "quor/math/log2.h"
#include "quor/math/measures.h"
#include "quor/util/total_order.h"
#include "quor/util/panic.h"

namespace quor::analytics {

namespace {

constexpr size_t kInlineEntries = 64;

// The room of one pair's logarithms: the packed arguments of log2 (4k + 1,
// the logarithms replace them) and five vectors of k quotients and
// midpoints, on the stack up to kInlineEntries entries.
class PairRoom {
 public:
  explicit PairRoom(size_t k) : k_(k) {
    if (k > kInlineEntries) {
      heap_.resize(9 * k + 1);
      base_ = heap_.data();
    }
  }
  PairRoom(const PairRoom&) = delete;
  PairRoom& operator=(const PairRoom&) = delete;

  double* logs() { return base_; }
  double* a_by_b() { return base_ + 4 * k_ + 1; }  // pa / sb
  double* b_by_a() { return a_by_b() + k_; }       // pb / sa
  double* a_by_mid() { return b_by_a() + k_; }     // pa / m
  double* b_by_mid() { return a_by_mid() + k_; }   // pb / m
  double* mid() { return b_by_mid() + k_; }        // m = (pa + pb) / 2

 private:
  size_t k_;
  double inline_[9 * kInlineEntries + 1];
  std::vector<double> heap_;
  double* base_ = inline_;
};

// Where each sum's logarithms start in the room's one run of them.
struct LogRuns {
  const double* kl_a;  // KL from a to b: one per entry with a non-zero count of a
  const double* kl_b;  // KL from b to a: one per entry with a non-zero count of b
  const double* jsd;   // JSD: a's then b's term of each entry with both shares positive
};

// Every logarithm of the pair in one call, in the order the sums use them:
// KL from a to b where a's count is non-zero, KL from b to a where b's is,
// then JSD's two terms where the midpoint and that share are positive. The
// quotients are first taken for every entry, four lanes at a time, then
// packed. Fills room.mid() when either total is non-zero.
LogRuns take_pair_logs(PairRoom& room, const SideVectors& a, const SideVectors& b, bool both,
                       bool either) {
  const size_t k = a.counts.size();
  const double* pa = a.share();
  const double* pb = b.share();
  double* logs = room.logs();
  size_t n = 0;
  size_t n_kl_a = 0;
  if (both) {
    double* a_by_b = room.a_by_b();
    double* b_by_a = room.b_by_a();
    math::divide_pairwise(pa, b.smoothed(), k, a_by_b);
    math::divide_pairwise(pb, a.smoothed(), k, b_by_a);
    for (size_t i = 0; i < k; ++i) {
      logs[n] = a_by_b[i];
      n += a.counts[i] != 0;
    }
    n_kl_a = n;
    for (size_t i = 0; i < k; ++i) {
      logs[n] = b_by_a[i];
      n += b.counts[i] != 0;
    }
  }
  const size_t n_kl_a_and_b = n;
  if (either) {
    double* mid = room.mid();
    double* a_by_mid = room.a_by_mid();
    double* b_by_mid = room.b_by_mid();
    for (size_t i = 0; i < k; ++i) mid[i] = (pa[i] + pb[i]) * 0.5;
    math::divide_pairwise(pa, mid, k, a_by_mid);
    math::divide_pairwise(pb, mid, k, b_by_mid);
    // Where only one share is positive, its midpoint is exactly half of it
    // (a share is at least 2^-64, far from the subnormals), the quotient
    // exactly 2 and its logarithm exactly 1: only entries with both shares
    // positive need theirs taken.
    for (size_t i = 0; i < k; ++i) {
      const bool both_positive = pa[i] > 0.0 && pb[i] > 0.0;
      logs[n] = a_by_mid[i];
      n += both_positive;
      logs[n] = b_by_mid[i];
      n += both_positive;
    }
  }
  logs[n] = 1.0;  // the entry past the last: read by a cursor that does not advance
  math::log2_in_place({logs, n});
  return {logs, logs + n_kl_a, logs + n_kl_a_and_b};
}

// The JSD's two running sums over the entries in order and, when `kept` is
// given, each entry's two logarithms (a's at [i], b's at [k + i]) for the
// contributions. A term that does not apply adds -0.0, which leaves any sum
// exactly as it is (x + -0.0 is x for every x, zeros of both signs too).
struct JsdSums {
  const double* pa;
  const double* pb;
  const double* mid;
  const double* log_mid;  // the JSD run of the logarithms; advances
  double* kept;           // nullptr when the logarithms are not kept
  size_t k;
  double sp = -0.0;
  double sq = -0.0;

  // Entry i's terms: log2(share / midpoint) where both are positive.
  void add(size_t i) {
    const bool positive = mid[i] > 0.0;
    const bool use_a = positive && pa[i] > 0.0;
    const bool use_b = positive && pb[i] > 0.0;
    const bool both_positive = use_a && use_b;
    const double l_a = both_positive ? *log_mid : 1.0;
    log_mid += both_positive;
    const double l_b = both_positive ? *log_mid : 1.0;
    log_mid += both_positive;
    if (kept != nullptr) {
      kept[i] = l_a;
      kept[k + i] = l_b;
    }
    sp = sp + (use_a ? pa[i] * l_a : -0.0);
    sq = sq + (use_b ? pb[i] * l_b : -0.0);
  }
};

// Both totals non-zero: KL both ways (smoothed on the divisor side),
// Hellinger over the roots, Wasserstein over the running sums on a grid and
// the JSD's sums, in one loop so that their additions overlap.
void sum_pair_terms(CompareResult& r, const SideVectors& a, const SideVectors& b,
                    const std::pair<double, double>* grid, const LogRuns& runs, JsdSums& jsd) {
  const size_t k = a.counts.size();
  const double* pa = a.share();
  const double* pb = b.share();
  const double* log_a = runs.kl_a;
  const double* log_b = runs.kl_b;
  double kl_ab = -0.0;
  double kl_ba = -0.0;
  double hellinger = 0.0;
  double w = 0.0;
  const double* ra = a.root();
  const double* rb = b.root();
  const bool with_w = grid != nullptr && k != 0;
  const double step = with_w ? (grid->second - grid->first) / static_cast<double>(k) : 0.0;
  const double* fa = with_w ? a.cumulative() : nullptr;
  const double* fb = with_w ? b.cumulative() : nullptr;
  for (size_t i = 0; i < k; ++i) {
    const bool in_a = a.counts[i] != 0;
    const double term_a = *log_a * pa[i];
    log_a += in_a;
    kl_ab = kl_ab + (in_a ? term_a : -0.0);
    const bool in_b = b.counts[i] != 0;
    const double term_b = *log_b * pb[i];
    log_b += in_b;
    kl_ba = kl_ba + (in_b ? term_b : -0.0);
    jsd.add(i);
    const double d = ra[i] - rb[i];
    hellinger = hellinger + d * d;
    if (with_w) w = w + std::fabs(fa[i] - fb[i]) * step;
  }
  r.kl_a_b = kl_ab;
  r.kl_b_a = kl_ba;
  r.hellinger = std::sqrt(0.5 * hellinger);
  if (grid != nullptr) r.wasserstein = w;
}

// Each category's share of the JSD from the kept logarithms, largest
// |delta| first.
void fill_contributions(CompareResult& r, size_t k, const double* pa, const double* pb,
                        const double* la, const double* lb,
                        const std::vector<std::string>& categories) {
  r.contributions.resize(k);
  for (size_t i = 0; i < k; ++i) {
    CategoryContribution& c = r.contributions[i];
    c.category = categories[i];
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
  const bool both = a.total != 0 && b.total != 0;
  const bool either = a.total != 0 || b.total != 0;
  r.entropy_a = a.entropy;
  r.entropy_b = b.entropy;

  PairRoom room(k);
  const LogRuns runs = take_pair_logs(room, a, b, both, either);

  // With the logarithms taken, the sums run over them in entry order.
  const bool keep_logs = categories != nullptr && either;
  double inline_kept[2 * kInlineEntries];
  std::vector<double> heap_kept;
  double* kept = nullptr;
  if (keep_logs) {
    kept = inline_kept;
    if (k > kInlineEntries) {
      heap_kept.resize(2 * k);
      kept = heap_kept.data();
    }
  }
  JsdSums jsd{a.share(), b.share(), room.mid(), runs.jsd, kept, k};
  if (both) {
    sum_pair_terms(r, a, b, grid, runs, jsd);
  } else {
    // Hellinger: 0 when both totals are 0, 1 when exactly one is.
    r.kl_a_b = 0.0;
    r.kl_b_a = 0.0;
    r.hellinger = either ? 1.0 : 0.0;
    if (grid != nullptr) r.wasserstein = 0.0;
    if (either)
      for (size_t i = 0; i < k; ++i) jsd.add(i);
  }
  r.psi = r.kl_a_b + r.kl_b_a;
  if (either) {
    const double j = 0.5 * jsd.sp + 0.5 * jsd.sq;
    r.jsd = j < 0.0 ? 0.0 : j > 1.0 ? 1.0 : j;
  } else {
    r.jsd = 0.0;
  }
  if (keep_logs) fill_contributions(r, k, a.share(), b.share(), kept, kept + k, *categories);
  r.samples_a = a.total;
  r.samples_b = b.total;
}

// measure_pair with the interval of the JSD: a whole result.
void measure_all(CompareResult& r, const SideVectors& a, const SideVectors& b,
                 const std::pair<double, double>* grid,
                 const std::vector<std::string>* categories) {
  measure_pair(r, a, b, grid, categories);
  const auto [low, high] = jsd_interval(r.jsd, r.samples_a, r.samples_b);
  r.ci_low = low;
  r.ci_high = high;
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

SideVectors side_owning_vectors(std::vector<uint64_t> counts, uint64_t total, RunningSums sums) {
  SideVectors v = side_vectors(counts, total, sums);
  v.owned_counts = std::move(counts);  // the buffer, and so the span, stays
  return v;
}

SideVectors side_vectors(std::span<const uint64_t> counts, uint64_t total, RunningSums sums,
                         double* scratch, size_t scratch_size) {
  const bool cumulative = sums == RunningSums::With;
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

// `source` rebinned onto (lo, hi, n), taken from the side's memo when the
// side was rebinned onto the same grid before.
const model::HistogramRepr* rebinned(const model::DistributionRepr& source, const ResolvedSide* side,
                                     double lo, double hi, uint64_t n,
                                     std::optional<model::HistogramRepr>& local) {
  if (side != nullptr && side->rebinned && util::same_bits(side->rebinned->low, lo) &&
      util::same_bits(side->rebinned->high, hi) && side->rebinned->bins == n)
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
    measure_all(r,
                side_vectors(ra->bin_counts, ra->total_count, RunningSums::With, scratch_a, kScratch),
                side_vectors(rb->bin_counts, rb->total_count, RunningSums::With, scratch_b, kScratch),
                &grid, nullptr);
    return r;
  }
  const auto& ca = std::get<model::CategoricalRepr>(a);
  const auto& cb = std::get<model::CategoricalRepr>(b);
  const math::AlignedCategories aligned =
      math::align_categorical(ca.categories, ca.counts, cb.categories, cb.counts);
  double scratch_a[kScratch], scratch_b[kScratch];
  measure_all(
      r, side_vectors(aligned.counts_a, ca.total_count, RunningSums::Without, scratch_a, kScratch),
      side_vectors(aligned.counts_b, cb.total_count, RunningSums::Without, scratch_b, kScratch),
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
  measure_all(r, a, b, grid, categories);
  return r;
}

PreparedSide::PreparedSide(ResolvedSide side, CompareCache& cache) : side_(std::move(side)) {
  if (!side_.cacheable || side_.more.empty()) return;
  more_ = MemberStamps(side_.more);
  cache.share(more_);
}

const SideVectors* PreparedSide::on_grid(double low, double high, uint64_t bins) const {
  if (grid_ && util::same_bits(grid_->low, low) && util::same_bits(grid_->high, high) && grid_->bins == bins)
    return grid_vectors_ ? &*grid_vectors_ : nullptr;
  grid_ = Grid{low, high, bins};
  grid_vectors_.reset();
  std::optional<model::HistogramRepr> h = math::rebin_histogram(side_.repr(), low, high, bins);
  if (!h) return nullptr;
  grid_vectors_ = side_owning_vectors(std::move(h->bin_counts), h->total_count, RunningSums::With);
  return &*grid_vectors_;
}

const SideVectors& PreparedSide::on_categories() const {
  if (!category_vectors_) {
    const auto& c = std::get<model::CategoricalRepr>(side_.repr());
    math::AlignedCategories self =
        math::align_categorical(c.categories, c.counts, c.categories, c.counts);
    categories_ = std::move(self.categories);
    category_vectors_ =
        side_owning_vectors(std::move(self.counts_a), c.total_count, RunningSums::Without);
  }
  return *category_vectors_;
}

// Two prepared sides on their common layout: two histograms rebinned onto
// one grid, or two categorical sides with the same sorted category list.
// Empty (`a` null) for kinds that differ, histograms without bins or
// layouts that differ: such pairs are compared the plain way, which also
// gives the errors.
struct CommonLayout {
  const SideVectors* a = nullptr;
  const SideVectors* b = nullptr;
  std::pair<double, double> grid{0.0, 0.0};
  bool on_grid = false;
  const std::vector<std::string>* categories = nullptr;

  CommonLayout(const PreparedSide& x, const PreparedSide& y) {
    const model::DistributionRepr& rx = x.side_.repr();
    const model::DistributionRepr& ry = y.side_.repr();
    if (rx.index() != ry.index()) return;
    if (const auto* hx = std::get_if<model::HistogramRepr>(&rx)) {
      const auto& hy = std::get<model::HistogramRepr>(ry);
      const double lo = std::fmin(hx->min, hy.min);
      const double hi = std::fmax(hx->max, hy.max);
      const uint64_t n = std::max(hx->bin_counts.size(), hy.bin_counts.size());
      const SideVectors* va = x.on_grid(lo, hi, n);
      const SideVectors* vb = va == nullptr ? nullptr : y.on_grid(lo, hi, n);
      if (vb == nullptr) return;
      a = va;
      b = vb;
      grid = {lo, hi};
      on_grid = true;
      return;
    }
    const SideVectors& va = x.on_categories();
    const SideVectors& vb = y.on_categories();
    if (*x.categories_ != *y.categories_) return;
    a = &va;
    b = &vb;
    categories = &*x.categories_;
  }
};

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
  std::optional<CompareResult> r;
  if (const CommonLayout layout(a, b); layout.a != nullptr)
    r = compare_vectors(*layout.a, *layout.b, layout.on_grid ? &layout.grid : nullptr,
                        layout.categories);
  if (!r) {
    QUOR_ASSIGN_OR_RETURN(CompareResult plain, compare_impl(ra.repr(), rb.repr(), &ra, &rb));
    r = std::move(plain);
  }
  if (key && store) cache.put(std::move(*key), *r);
  return std::move(*r);
}

Result<PairMeasures> measure_unkept(const PreparedSide& a, const PreparedSide& b) {
  if (const CommonLayout layout(a, b); layout.a != nullptr) {
    CompareResult r;  // only the printed fields are filled in
    measure_pair(r, *layout.a, *layout.b, nullptr, nullptr);
    return PairMeasures::of(r);
  }
  QUOR_ASSIGN_OR_RETURN(CompareResult plain,
                        compare_impl(a.side_.repr(), b.side_.repr(), &a.side_, &b.side_));
  return PairMeasures::of(plain);
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
