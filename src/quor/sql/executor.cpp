#include "quor/sql/executor.h"

#include <type_traits>

#include "quor/sql/internal/statement_runners.h"
#include "quor/sql/parser.h"

namespace quor::sql {

namespace {

Result<QueryResult> execute_export(const store::Database& db, analytics::CompareCache& cache,
                                   const ExportStatement& s) {
  QUOR_ASSIGN_OR_RETURN(QueryResult inner, execute_statement(db, cache, *s.statement));
  std::string text =
      s.format == ExportFormat::Json ? query_result_to_json(inner) : query_result_to_csv(inner);
  QueryResult out;
  out.header = {"Output"};
  out.rows.push_back({std::move(text)});
  return out;
}

}  // namespace

Error query_parse_error(std::string_view message) {
  return Error("parse error: " + std::string(message));
}

std::string build_reference_key(const DimensionPair& pair,
                                const std::vector<DimensionPair>& filters) {
  std::string key = pair.dimension + ":" + pair.value;
  for (const auto& f : filters) {
    key += '/';
    key += f.dimension;
    key += ':';
    key += f.value;
  }
  return key;
}

Result<QueryResult> execute_statement(const store::Database& db, analytics::CompareCache& cache,
                                      const Statement& statement) {
  return std::visit(
      [&](const auto& s) -> Result<QueryResult> {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, CompareBetweenStatement>) {
          return runners::compare_between(db, cache, s);
        } else if constexpr (std::is_same_v<S, CompareAcrossStatement>) {
          return runners::compare_across(db, cache, s);
        } else if constexpr (std::is_same_v<S, ExplainStatement>) {
          return runners::explain(db, cache, s);
        } else if constexpr (std::is_same_v<S, TrackStatement>) {
          return runners::track(db, cache, s);
        } else if constexpr (std::is_same_v<S, ShowStatement>) {
          return runners::show(db, s);
        } else if constexpr (std::is_same_v<S, RankStatement>) {
          return runners::rank(db, s);
        } else if constexpr (std::is_same_v<S, MiStatement>) {
          return runners::mi(db, s);
        } else if constexpr (std::is_same_v<S, CmiStatement>) {
          return runners::cmi(db, s);
        } else if constexpr (std::is_same_v<S, CorrelationsStatement>) {
          return runners::correlations(db, s);
        } else if constexpr (std::is_same_v<S, PairwiseStatement>) {
          return runners::pairwise(db, cache, s);
        } else if constexpr (std::is_same_v<S, NearestStatement>) {
          return runners::nearest(db, cache, s);
        } else if constexpr (std::is_same_v<S, ExportStatement>) {
          return execute_export(db, cache, s);
        } else if constexpr (std::is_same_v<S, StatsStatement>) {
          return runners::stats(db);
        } else if constexpr (std::is_same_v<S, SchemaStatement>) {
          return runners::schema(db);
        } else {
          static_assert(std::is_same_v<S, DimensionsStatement>);
          return runners::dimensions(db, s);
        }
      },
      statement.base());
}

Result<QueryResult> run_query(const store::Database& db, analytics::CompareCache& cache,
                              std::string_view text) {
  Result<Statement> statement = parse_query(text);
  if (!statement.ok()) return query_parse_error(statement.error().short_text());
  return execute_statement(db, cache, *statement);
}

}  // namespace quor::sql
