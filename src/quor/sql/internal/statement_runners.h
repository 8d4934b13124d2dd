// One function per statement kind that runs it against the database (internal to the executor).
#pragma once

#include "quor/analytics/compare_cache.h"
#include "quor/sql/query_result.h"
#include "quor/sql/statement.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::sql::runners {

using store::Database;
using analytics::CompareCache;

// Catalogue: never fail.
QueryResult stats(const Database& db);
QueryResult schema(const Database& db);
QueryResult dimensions(const Database& db, const DimensionsStatement& s);

// Distributions read straight from the store.
Result<QueryResult> show(const Database& db, const ShowStatement& s);
QueryResult rank(const Database& db, const RankStatement& s);

// Built on the analytics operations.
Result<QueryResult> compare_between(const Database& db, CompareCache& cache,
                                    const CompareBetweenStatement& s);
Result<QueryResult> compare_across(const Database& db, CompareCache& cache,
                                   const CompareAcrossStatement& s);
Result<QueryResult> explain(const Database& db, CompareCache& cache, const ExplainStatement& s);
Result<QueryResult> track(const Database& db, CompareCache& cache, const TrackStatement& s);
Result<QueryResult> mi(const Database& db, const MiStatement& s);
Result<QueryResult> cmi(const Database& db, const CmiStatement& s);
Result<QueryResult> correlations(const Database& db, const CorrelationsStatement& s);
Result<QueryResult> pairwise(const Database& db, CompareCache& cache, const PairwiseStatement& s);
Result<QueryResult> nearest(const Database& db, CompareCache& cache, const NearestStatement& s);

}  // namespace quor::sql::runners
