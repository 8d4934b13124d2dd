// Comparing two distributions of one variable.
#pragma once

#include <optional>
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

// Every measure of A against B without the cache. Two histograms are
// rebinned onto the grid from the lower min to the higher max with the
// larger bin count; two categorical distributions are aligned on the union
// of their categories and measured with their stored totals. Fails with
// "type mismatch for compare" for one of each kind, "failed to rebin A" /
// "failed to rebin B" when neither histogram has a bin.
Result<CompareResult> compare_representations(const store::DistributionRepr& a,
                                              const store::DistributionRepr& b);

// The 95 % interval (low, high) of a JSD measured on totals n_a and n_b:
// JSD -/+ 1.96 sqrt(max(J, 1e-12) max(1 - J, 1e-12) / n_eff) with
// n_eff = n_a n_b / (n_a + n_b), cut to [0, 1]; [J, J] when n_eff is 0.
std::pair<double, double> jsd_interval(double jsd, uint64_t n_a, uint64_t n_b);

// Per-category shares and JSD terms, in union order (unsorted).
std::vector<CategoryContribution> category_contributions(const math::AlignedCategories& aligned,
                                                         uint64_t total_a, uint64_t total_b);

}  // namespace quor::analytics
