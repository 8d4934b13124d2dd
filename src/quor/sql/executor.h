// The query entry: tokenize, parse and execute one statement.
#pragma once

#include <string_view>

#include "quor/analytics/compare_cache.h"
#include "quor/sql/query_result.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::sql {

// Parses `text` (a failure becomes "parse error: {}") and runs the one
// statement against `db`, reading and filling `cache`.
Result<QueryResult> run_query(const store::Database& db, analytics::CompareCache& cache,
                              std::string_view text);

}  // namespace quor::sql
