// CORRELATIONS: dependence between every variable pair of the schema's
// joint definitions, strongest mutual information first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

// One measured joint distribution.
struct CorrelationRow {
  std::string variable_a;  // the definition's first name, as the schema lists it
  std::string variable_b;  // its second name
  // Over a dimension: the dimension's value; otherwise the joint's dimension
  // key string, absent for an empty key.
  std::optional<std::string> label;
  double mutual_info = 0.0;
  double normalized_mi = 0.0;
  double cramers_v = 0.0;
  uint64_t samples = 0;  // N of the joint
  bool operator==(const CorrelationRow&) const = default;
};

// For every joint definition in schema order: every stored joint of the
// pair (storage order), or with `dimension` the joint keyed exactly
// {dimension: value} for each of its values (ascending); joints with N 0
// give no row. Rows are stably sorted by mutual_info, largest first, then
// cut to `limit`. Fails only with "no joint distributions defined; call
// define_joint() first" when the schema lists no pair.
Result<std::vector<CorrelationRow>> correlations(const store::Database& db,
                                                 std::optional<std::string_view> dimension,
                                                 uint64_t limit);

}  // namespace quor::analytics
