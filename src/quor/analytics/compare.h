// Comparing two distributions of one variable.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/analytics/compare_result.h"
#include "quor/analytics/reference.h"
#include "quor/math/rebin.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

// COMPARE's entry: parses reference A, then B, and compares the variable
// between their dimension filters. The variable is `variable` when given,
// else A's variable segment, else B's, else the schema's first variable;
// "no variable available in schema" when there is none. Errors are those of
// parse_reference and compare_distributions, unchanged.
Result<CompareResult> compare_query(const store::Database& db, CompareCache& cache,
                                    std::string_view reference_a, std::string_view reference_b,
                                    std::optional<std::string_view> variable);

// Resolves A, then B (resolve_distribution's errors), answers from `cache`
// when both sides are in the same state as a cached comparison, otherwise
// computes compare_representations and stores the result. A failed
// comparison leaves the cache unchanged.
Result<CompareResult> compare_distributions(const store::Database& db, CompareCache& cache,
                                            std::string_view variable, const Filter& filter_a,
                                            const Filter& filter_b);

// compare_distributions for two sides already resolved.
Result<CompareResult> compare_resolved(CompareCache& cache, const ResolvedSide& a,
                                       const ResolvedSide& b);

// One side's compared vectors on one layout (a histogram grid or a sorted
// category list): everything a measure derives from a single side, so that
// a side met by many comparisons derives it once.
struct SideVectors {
  std::vector<uint64_t> owned_counts;   // when the vectors own their counts
  std::span<const uint64_t> counts;     // the compared counts
  uint64_t total = 0;            // the total every measure uses
  double entropy = 0.0;          // shannon_entropy(counts, total)
  // k shares, then k roots, k smoothed divisors and, for a histogram, k
  // running sums, in one block: the caller's scratch (a single comparison
  // then allocates nothing for it) or `owned`.
  std::vector<double> owned;
  const double* block = nullptr;

  SideVectors() = default;
  SideVectors(SideVectors&&) = default;  // `owned` keeps its buffer
  SideVectors& operator=(SideVectors&&) = default;
  SideVectors(const SideVectors&) = delete;
  SideVectors& operator=(const SideVectors&) = delete;

  size_t size() const { return counts.size(); }
  // count / total; 0.0 when the total is 0.
  const double* share() const { return block; }
  // sqrt(share), for Hellinger.
  const double* root() const { return block + size(); }
  // (count + 1e-10) / (total + k 1e-10): the side as the divisor of a KL.
  const double* smoothed() const { return block + 2 * size(); }
  // Running sum of share from 0.0 (histograms only).
  const double* cumulative() const { return block + 3 * size(); }
};

// Whether a side's vectors include the running sums: a histogram's do (its
// Wasserstein distance walks them), a categorical side's do not.
enum class RunningSums { Without, With };

// The vectors of `counts` with `total`, the running sums when asked. The
// block goes into `scratch` when it holds `scratch_size` doubles enough
// (the result is then valid while the scratch is), else into `owned`.
// `counts` must outlive the result; side_owning_vectors keeps its own.
SideVectors side_vectors(std::span<const uint64_t> counts, uint64_t total, RunningSums sums,
                         double* scratch = nullptr, size_t scratch_size = 0);
SideVectors side_owning_vectors(std::vector<uint64_t> counts, uint64_t total, RunningSums sums);

// Every measure of A against B from their vectors on one common layout
// (equal lengths), in the operations and summation order of the separate
// measures of quor::math, so each value equals theirs to the last bit.
// `grid` (low, high) adds the Wasserstein distance; `categories` (the
// layout's names) adds the contributions, sorted largest |delta| first.
CompareResult compare_vectors(const SideVectors& a, const SideVectors& b,
                              const std::pair<double, double>* grid,
                              const std::vector<std::string>* categories);

// A resolved side prepared for a statement that compares it many times
// (COMPARE ... ACROSS, PAIRWISE, NEAREST): its member list is built once
// and shared by every cache key it forms, and its vectors are derived once
// per layout (two histograms of one variable share one grid; two
// categorical sides with equal category sets share their sorted list). A
// pair whose layouts differ is compared the plain way. Results equal
// compare_resolved's bit for bit, cache behaviour included.
class PreparedSide {
 public:
  PreparedSide(ResolvedSide side, CompareCache& cache);
  PreparedSide(PreparedSide&&) = default;
  PreparedSide& operator=(PreparedSide&&) = default;

  const ResolvedSide& resolved() const { return side_; }

 private:
  friend Result<CompareResult> compare_prepared(CompareCache&, const PreparedSide&,
                                                const PreparedSide&, bool);
  friend Result<PairMeasures> measure_unkept(const PreparedSide&, const PreparedSide&);
  // The two sides' vectors on their common layout and that layout, or
  // nothing when the pair must be compared the plain way.
  friend struct CommonLayout;
  friend size_t leading_stores_that_cannot_survive(const std::vector<const PreparedSide*>&);
  struct Grid {
    double low;
    double high;
    uint64_t bins;
  };
  // The vectors on (low, high, bins), derived when the grid differs from the
  // last one; nothing when the histogram cannot be rebinned.
  const SideVectors* on_grid(double low, double high, uint64_t bins) const;
  // The sorted category list and its vectors.
  const SideVectors& on_categories() const;

  ResolvedSide side_;
  MemberStamps more_;
  mutable std::optional<Grid> grid_;
  mutable std::optional<SideVectors> grid_vectors_;
  mutable std::optional<std::vector<std::string>> categories_;
  mutable std::optional<SideVectors> category_vectors_;
};

// compare_resolved for two prepared sides. With `store` false a computed
// result is not stored (see leading_stores_that_cannot_survive).
Result<CompareResult> compare_prepared(CompareCache& cache, const PreparedSide& a,
                                       const PreparedSide& b, bool store = true);

// What an ACROSS row prints of compare_prepared(cache, a, b), for a pair
// whose result the cache is certain not to keep (one of the first
// leading_stores_that_cannot_survive pairs): the cache is neither asked
// nor given anything, and neither the entropies, the interval, the
// Wasserstein distance nor the contributions are computed. Leaving out the
// lookup changes nothing either: a hit would return the very values
// computed here, and its refreshed entry is evicted before the statement
// ends like the rest. The errors are compare_prepared's.
Result<PairMeasures> measure_unkept(const PreparedSide& a, const PreparedSide& b);

// For a statement that compares every pair (i, j), i < j, of `sides` in
// order (i ascending, then j): how many of the first comparisons need not
// store their result, because it is certain to be evicted before the
// statement ends. That holds when every side is present and cacheable, no
// two sides share an identity (so every pair has its own key) and every
// pair will succeed (one kind, histograms with bins): the last kCapacity
// pairs then touch kCapacity other keys after each earlier pair, and the
// cache ends in the same state whether or not the earlier ones were stored.
// 0 whenever this cannot be shown.
size_t leading_stores_that_cannot_survive(const std::vector<const PreparedSide*>& sides);

// Every measure of A against B without the cache. Two histograms are
// rebinned onto the grid from the lower min to the higher max with the
// larger bin count; two categorical distributions are aligned on the union
// of their categories and measured with their stored totals. Fails with
// "type mismatch for compare" for one of each kind, "failed to rebin A" /
// "failed to rebin B" when neither histogram has a bin.
Result<CompareResult> compare_representations(const model::DistributionRepr& a,
                                              const model::DistributionRepr& b);

// The 95 % interval (low, high) of a JSD measured on totals n_a and n_b:
// JSD -/+ 1.96 sqrt(max(J, 1e-12) max(1 - J, 1e-12) / n_eff) with
// n_eff = n_a n_b / (n_a + n_b), cut to [0, 1]; [J, J] when n_eff is 0.
std::pair<double, double> jsd_interval(double jsd, uint64_t n_a, uint64_t n_b);

}  // namespace quor::analytics
