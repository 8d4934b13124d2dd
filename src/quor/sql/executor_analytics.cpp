// The arms built on the analytics operations.
//
// TEMPORARY: the analytics operations (comparison, EXPLAIN, drift, MI, CMI,
// correlations, pairwise matrix) are not in the engine yet, so each arm
// below answers with the message error "not built yet". The tables they
// will print are ready in cells.h: compare_between_table, across_row /
// across_failed_row / sort_across_rows, explain_table, track_table,
// mi_table with joint_count_table, cmi_table, correlations_table,
// pairwise_table, and parse_metric / metric_title for NEAREST.
#include <string>

#include "quor/sql/cells.h"
#include "quor/sql/executor.h"
#include "quor/sql/executor_arms.h"

namespace quor::sql::arms {

namespace {

// TEMPORARY: the answer of every arm whose operation is not built yet.
Error not_built_yet() { return Error("not built yet"); }

}  // namespace

Result<QueryResult> compare_between(const Database&, CompareCache&, const CompareBetweenStatement&) {
  return not_built_yet();
}

Result<QueryResult> compare_across(const Database& db, CompareCache&,
                                   const CompareAcrossStatement& s) {
  auto values = db.dimension_values(s.dimension);
  if (values.size() < 2)
    return Error("dimension '" + s.dimension + "' has fewer than 2 values for pairwise comparison");
  return not_built_yet();
}

Result<QueryResult> explain(const Database&, CompareCache&, const ExplainStatement&) {
  return not_built_yet();
}

Result<QueryResult> track(const Database&, CompareCache&, const TrackStatement&) {
  return not_built_yet();
}

Result<QueryResult> mi(const Database&, const MiStatement&) { return not_built_yet(); }

Result<QueryResult> cmi(const Database&, const CmiStatement&) { return not_built_yet(); }

Result<QueryResult> correlations(const Database&, const CorrelationsStatement&) {
  return not_built_yet();
}

Result<QueryResult> pairwise(const Database&, CompareCache&, const PairwiseStatement&) {
  return not_built_yet();
}

Result<QueryResult> nearest(const Database&, CompareCache&, const NearestStatement&) {
  return not_built_yet();
}

}  // namespace quor::sql::arms
