// The per-record step for one observation, in records that name what they
// count: what the observation contributes, computed without touching the
// database. The batched apply runs the same step in its compact form
// (quor/ingest/internal/update_core.h); tests read its results through these records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/ingest/preparation.h"
#include "quor/model/model.h"
#include "quor/util/json_value.h"

namespace quor::reference {

using ingest::Observation;

// One count cell of a marginal distribution.
struct CountSlot {
  enum class Kind { Unknown, Category, Bin };
  Kind kind = Kind::Unknown;
  uint64_t index = 0;  // a category or bin index; 0 for Unknown
  static CountSlot unknown() { return {Kind::Unknown, 0}; }
  static CountSlot category(uint64_t i) { return {Kind::Category, i}; }
  static CountSlot bin(uint64_t i) { return {Kind::Bin, i}; }
  bool operator==(const CountSlot&) const = default;
};

struct VariableUpdate {
  std::string variable;
  CountSlot slot;
  bool operator==(const VariableUpdate&) const = default;
};

// One cell of a joint distribution, on the stored joint's axes.
struct JointUpdate {
  std::pair<std::string, std::string> variables;  // as the schema lists the pair
  uint64_t x_index = 0;
  uint64_t y_index = 0;
  bool operator==(const JointUpdate&) const = default;
};

struct RecordUpdate {
  std::vector<VariableUpdate> variable_updates;  // schema variable order, slotted only
  std::vector<JointUpdate> joint_updates;        // schema joint order, celled only
  model::DimensionMap dimension_key;             // one bucketed label per schema dimension
  util::JsonValue payload;                       // object of the observation's values
  bool operator==(const RecordUpdate&) const = default;
};

// Position of the first category equal to `text`, byte for byte.
std::optional<uint64_t> category_position(const std::vector<std::string>& categories,
                                          std::string_view text);

// The update of one observation, or nothing when the observation lacks a
// text for one of the schema's dimensions. Pure; safe on any thread.
std::optional<RecordUpdate> compute_record_update(const model::Schema& schema,
                                                  const Observation& observation);

}  // namespace quor::reference
