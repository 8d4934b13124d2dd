// The query entry and the statement executor.
//
// Every statement is a question: nothing here changes the database. Every
// row of a result has exactly as many cells as its header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/sql/query_result.h"
#include "quor/sql/statement.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::sql {

// Parses `text` (a failure becomes "parse error: {}") and runs the one
// statement against `db`, reading and filling `cache`.
Result<QueryResult> run_query(const store::Database& db, analytics::CompareCache& cache,
                              std::string_view text);

// Runs one statement. Errors of the operations it calls come back unchanged.
Result<QueryResult> execute_statement(const store::Database& db, analytics::CompareCache& cache,
                                      const Statement& statement);

// "parse error: {}" with the tokenizer's or parser's message.
Error query_parse_error(std::string_view message);

// The reference text of a selection: "{dim}:{value}" of `pair`, then
// "/{dim}:{value}" for every filter in order. Nothing is escaped.
std::string build_reference_key(const DimensionPair& pair,
                                const std::vector<DimensionPair>& filters);

}  // namespace quor::sql
