// Placeholder until the query language lands.
#include "quor/sql/executor.h"

namespace quor::sql {

Result<QueryResult> run_query(const store::Database&, analytics::CompareCache&, std::string_view) {
  return Error("parse error: the query language is not built yet");
}

}  // namespace quor::sql
