#include "quor/analytics/explain.h"

#include <algorithm>

#include "quor/analytics/compare.h"
#include "quor/util/total_order.h"

namespace quor::analytics {

Result<ExplainResult> explain_query(const store::Database& db, CompareCache& cache,
                                    std::string_view reference_a, std::string_view reference_b) {
  QUOR_ASSIGN_OR_RETURN(ParsedReference a, parse_reference(reference_a));
  QUOR_ASSIGN_OR_RETURN(ParsedReference b, parse_reference(reference_b));
  return explain_by_variable(db, cache, a.dimensions, b.dimensions);
}

Result<ExplainResult> explain_by_variable(const store::Database& db, CompareCache& cache,
                                          const Filter& dimensions_a, const Filter& dimensions_b) {
  ExplainResult out;
  const auto& variables = db.meta.schema.variables;
  out.entries.reserve(variables.size());
  for (const auto& def : variables) {
    QUOR_ASSIGN_OR_RETURN(CompareResult r,
                          compare_distributions(db, cache, def.name, dimensions_a, dimensions_b));
    ExplainEntry e;
    e.variable = def.name;
    e.contributions = std::move(r.contributions);
    e.jsd = r.jsd;
    e.entropy_a = r.entropy_a;
    e.entropy_b = r.entropy_b;
    out.entries.push_back(std::move(e));
  }
  rank_explain_entries(out);
  return out;
}

void rank_explain_entries(ExplainResult& result) {
  double total = -0.0;
  for (const auto& e : result.entries) total = total + e.jsd;
  result.total_jsd = total;
  if (total > 0.0)
    for (auto& e : result.entries) e.fraction = e.jsd / total;
  std::stable_sort(result.entries.begin(), result.entries.end(),
                   [](const ExplainEntry& x, const ExplainEntry& y) {
                     return util::total_greater(x.jsd, y.jsd);
                   });
}

}  // namespace quor::analytics
