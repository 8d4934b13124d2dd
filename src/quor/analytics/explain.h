// EXPLAIN: which variables make two selections differ, and by how much.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/analytics/compare_result.h"
#include "quor/analytics/reference.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

// The breakdown for one schema variable.
struct ExplainEntry {
  std::string variable;
  std::vector<CategoryContribution> contributions;  // as the comparison ordered them; empty for histograms
  double jsd = 0.0;
  double fraction = 0.0;  // jsd / total_jsd, or 0 when total_jsd is not above 0
  double entropy_a = 0.0;
  double entropy_b = 0.0;
  bool operator==(const ExplainEntry&) const = default;
};

struct ExplainResult {
  std::vector<ExplainEntry> entries;  // one per schema variable, largest jsd first (stable)
  double total_jsd = -0.0;            // sum of the entries' jsd in schema order, from -0.0
  bool operator==(const ExplainResult&) const = default;
};

// Parses reference A, then B (their variable segments are ignored) and runs
// explain_by_variable on their dimension filters.
Result<ExplainResult> explain_query(const store::Database& db, CompareCache& cache,
                                    std::string_view reference_a, std::string_view reference_b);

// Compares every schema variable, in schema order, between the two filters;
// the first failing comparison's error ends the whole breakdown.
Result<ExplainResult> explain_by_variable(const store::Database& db, CompareCache& cache,
                                          const Filter& dimensions_a, const Filter& dimensions_b);

// The last step of a breakdown, once its entries hold their jsd in schema
// order: sums them into total_jsd, sets each fraction and orders the entries
// largest jsd first (stable).
void rank_explain_entries(ExplainResult& result);

}  // namespace quor::analytics
