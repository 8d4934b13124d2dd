// STATS, SCHEMA and DIMENSIONS: what the database holds.
#include <string>

#include "quor/sql/internal/statement_runners.h"
#include "quor/util/format.h"

namespace quor::sql::runners {

QueryResult stats(const Database& db) {
  store::DatabaseStats st = db.database_stats();
  QueryResult r;
  r.header = {"Stat", "Value"};
  r.rows = {
      {"Distributions", std::to_string(st.distributions)},
      {"Total samples", std::to_string(st.total_samples)},
      {"Variables", std::to_string(st.variables)},
      {"Dimensions", std::to_string(st.dimensions)},
  };
  return r;
}

namespace {

std::string variable_details(const model::VariableType& type) {
  if (const auto* c = std::get_if<model::ContinuousType>(&type)) {
    std::string range;
    if (c->range)
      range = "[" + util::format_plain(c->range->first) + ", " +
              util::format_plain(c->range->second) + "]";
    return "continuous  bins=" + std::to_string(c->bins) + "  range=" + range;
  }
  const auto& cat = std::get<model::CategoricalType>(type);
  return "categorical  cats=" + std::to_string(cat.categories.size()) +
         "  unknown=" + std::string(util::format_bool(cat.allow_unknown));
}

}  // namespace

QueryResult schema(const Database& db) {
  const model::Schema& sc = db.meta.schema;
  QueryResult r;
  r.header = {"Type", "Name", "Details"};
  for (const auto& v : sc.variables)
    r.rows.push_back({"variable", v.name, variable_details(v.var_type)});
  for (const auto& d : sc.dimensions)
    r.rows.push_back({"dimension", d.name,
                      "source=" + d.source_column +
                          "  granularity=" + (d.granularity ? *d.granularity : "none")});
  for (const auto& [a, b] : sc.joints) r.rows.push_back({"joint", a + " \xC3\x97 " + b, ""});
  return r;
}

QueryResult dimensions(const Database& db, const DimensionsStatement& s) {
  QueryResult r;
  if (s.name) {
    r.header = {*s.name};
    for (const auto& v : db.dimension_values(*s.name)) r.rows.push_back({v});
    return r;
  }
  r.header = {"Dimension", "Cardinality"};
  for (const auto& d : db.meta.schema.dimensions)
    r.rows.push_back({d.name, std::to_string(db.dimension_values(d.name).size()) + " values"});
  return r;
}

}  // namespace quor::sql::runners
