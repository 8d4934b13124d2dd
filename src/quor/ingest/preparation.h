// Record preparation: input records into observations of the schema.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "quor/ingest/input_record.h"
#include "quor/model/model.h"
#include "quor/util/json_value.h"

namespace quor::ingest {

// Input column -> schema name, computed once per ingest.
struct ColumnLookup {
  // One entry per variable; a variable's column is its own name.
  std::unordered_map<std::string, std::string> variables_by_column;
  // One entry per distinct source column; the later dimension of two that
  // share a source column wins.
  std::unordered_map<std::string, std::string> dimensions_by_column;
};

// One prepared record.
struct Observation {
  // Variable name -> the record's value (any JSON kind, null included), only
  // for variables whose column the record has.
  std::map<std::string, util::JsonValue, std::less<>> values;
  // Dimension name -> the value's text, for every dimension of the lookup.
  std::map<std::string, std::string, std::less<>> dimensions;
  bool operator==(const Observation&) const = default;
};

ColumnLookup build_column_lookup(const model::Schema& schema);

// The observation of `record`, or nothing when a dimension column is missing
// or holds null, an array or an object. Booleans, numbers (their JSON number
// text) and texts give a dimension's text.
std::optional<Observation> record_to_observation(const InputRecord& record,
                                                 const ColumnLookup& lookup);

}  // namespace quor::ingest
