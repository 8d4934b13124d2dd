// The typed error of the schema edits, and the store's message builders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

enum class EngineErrorKind {
  SchemaValidation,
  DistributionNotFound,
  TypeMismatch,
  InvalidQueryReference,
  InsufficientSamples,
  NoSnapshotsAvailable,
  NoJointDistributionDefined,
  Io,
  Serialization,
};

// A kind and a message. Only SchemaValidation is raised (by the schema
// edits); the other kinds exist for completeness of the type.
struct EngineError {
  EngineErrorKind kind;
  std::string message;

  // The kind's template with the message in place, e.g.
  // "schema validation error: variable 'x' already exists".
  std::string text() const;
  bool operator==(const EngineError&) const = default;
};

// The text form of `e` as the root of a new message error.
Error engine_error_to_message(const EngineError& e);
// "unknown variable '{}'"
Error unknown_variable_error(std::string_view name);
// "distribution id '{}' not found"
Error distribution_id_not_found_error(uint64_t id);
// "joint distribution not found for '{}' and '{}' at {}" with the map in
// debug notation.
Error joint_not_found_error(std::string_view a, std::string_view b, const model::DimensionMap& map);

// {"name": "value", ...} in byte-wise name order; quotes, backslashes and
// control characters escaped with a backslash. An empty map gives "{}".
std::string debug_dimension_map(const model::DimensionMap& map);
// A text in double quotes with the debug escapes above.
std::string debug_quoted(std::string_view text);

inline constexpr std::string_view kReadOnlyMessage = "database opened in read-only mode";

}  // namespace quor::store
