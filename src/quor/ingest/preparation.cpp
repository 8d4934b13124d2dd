#include "quor/ingest/preparation.h"

#include "quor/ingest/internal/value_text.h"

namespace quor::ingest {

ColumnLookup build_column_lookup(const model::Schema& schema) {
  ColumnLookup lookup;
  for (const auto& v : schema.variables) lookup.variables_by_column.insert_or_assign(v.name, v.name);
  for (const auto& d : schema.dimensions)
    lookup.dimensions_by_column.insert_or_assign(d.source_column, d.name);
  return lookup;
}

std::optional<Observation> record_to_observation(const InputRecord& record,
                                                 const ColumnLookup& lookup) {
  Observation obs;
  for (const auto& [column, variable] : lookup.variables_by_column) {
    auto it = record.find(column);
    if (it != record.end()) obs.values.insert_or_assign(variable, it->second);
  }
  for (const auto& [column, dimension] : lookup.dimensions_by_column) {
    auto it = record.find(column);
    if (it == record.end()) return std::nullopt;
    const util::JsonValue& v = it->second;
    if (v.is_null() || v.is_array() || v.is_object()) return std::nullopt;
    obs.dimensions.insert_or_assign(dimension, value_as_text(v));
  }
  return obs;
}

}  // namespace quor::ingest
