// Mutual information of two variables from their stored joint
// distributions, plain (one joint) and conditional on a dimension.
#pragma once

#include <cstdint>
#include <variant>
#include <string>
#include <string_view>
#include <vector>

#include "quor/math/measures.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

// A joint distribution read as a count table with its total N (always the
// stored total_count, never the cell sum). Grids and contingency tables give
// their rows; conditional histograms one row per element (a categorical
// element's unknown count is no cell).
struct JointTable {
  math::CountRows rows;
  uint64_t total = 0;
};
JointTable joint_count_table(const model::JointDistributionObject& joint);

// fn(rows, N) over the same table as joint_count_table, lending the stored
// rows of grids and contingency tables instead of copying them.
template <class Fn>
auto with_joint_table(const model::JointDistributionObject& joint, Fn&& fn) {
  const uint64_t n = joint.repr.total_count();
  if (const auto* g = std::get_if<model::HistogramGridRepr>(&joint.repr))
    return fn(math::CountTable(g->counts), n);
  if (const auto* c = std::get_if<model::ContingencyTableRepr>(&joint.repr))
    return fn(math::CountTable(c->counts), n);
  const math::CountRows rows = math::collect_count_vectors(
      std::get<model::ConditionalHistogramsRepr>(joint.repr).histograms);
  return fn(math::CountTable(rows), n);
}

// A joint keyed by one dimension alone, with that dimension's value.
struct KeyedJoint {
  const std::string* value;  // the joint's own key text
  const model::JointDistributionObject* joint;
};

// For each value v that some marginal distribution gives `dimension`, in
// byte-wise ascending order, the joint of the pair (a, b) (in either order)
// keyed exactly {dimension: v}, when there is one: the first in storage
// order, as find_joint would give it. One walk over the joints, instead of a
// lookup for every value the dimension has.
std::vector<KeyedJoint> joints_over_dimension(const store::Database& db, std::string_view a,
                                              std::string_view b, std::string_view dimension);

// One value of the conditioning dimension with an observed joint.
struct CmiStratum {
  std::string value;
  double mutual_info = 0.0;
  double normalized_mi = 0.0;
  uint64_t samples = 0;  // N of that joint
  bool operator==(const CmiStratum&) const = default;
};

struct CmiResult {
  std::vector<CmiStratum> strata;  // byte-wise ascending value
  double cmi = 0.0;                // sum of (samples / total_samples) * mutual_info
  uint64_t total_samples = 0;
  bool operator==(const CmiResult&) const = default;
};

// Whether the schema's joints list the pair in either order; the error
// "no joint distribution defined for '{}' and '{}'; call define_joint()
// first" (names in the order given) when not.
Status check_joint_defined(const store::Database& db, std::string_view first,
                           std::string_view second);

// MI in bits of the joint of (first, second) whose dimension key equals the
// reference's dimensions exactly. Errors, in order of the checks: the
// reference parser's, the definition check's, "joint distribution not found
// for '{}' and '{}' at {}". A joint with N 0 gives 0.
Result<double> mutual_info_query(const store::Database& db, std::string_view first,
                                 std::string_view second, std::string_view reference);

// Total-weighted MI over the values of dimension `given` whose joint keyed
// exactly {given: value} has N > 0. Errors, in order: the definition
// check's, "no values found for dimension '{}'", "no joint distributions
// found across dimension '{}'".
Result<CmiResult> conditional_mutual_info(const store::Database& db, std::string_view first,
                                          std::string_view second, std::string_view given);

}  // namespace quor::analytics
