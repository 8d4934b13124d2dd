#include "quor/analytics/correlations.h"

#include <algorithm>
#include <set>
#include <unordered_map>
#include <utility>

#include "quor/analytics/mutual_info.h"
#include "quor/math/measures.h"
#include "quor/math/total_order.h"
#include "quor/store/dim_key.h"

namespace quor::analytics {

namespace {

struct NamePairHash {
  size_t operator()(const std::pair<std::string_view, std::string_view>& p) const noexcept {
    const size_t h = std::hash<std::string_view>{}(p.first);
    return h ^ (std::hash<std::string_view>{}(p.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};

// A measured joint before its row is built: rows are sorted and cut as
// these, and only the rows kept are built.
struct Measured {
  size_t definition;                         // into the schema's joints
  const model::JointDistributionObject* joint;
  const std::string* value;                  // over a dimension: its value
  math::TableMeasures m;
};

}  // namespace

Result<std::vector<CorrelationRow>> correlations(const store::Database& db,
                                                 std::optional<std::string_view> dimension,
                                                 uint64_t limit) {
  const auto& joints = db.meta.schema.joints;
  if (joints.empty()) return Error("no joint distributions defined; call define_joint() first");
  std::vector<Measured> measured;
  auto measure = [&](size_t definition, const model::JointDistributionObject& j,
                     const std::string* value) {
    if (j.repr.total_count() == 0) return;
    measured.push_back({definition, &j, value, with_joint_table(j, math::table_measures)});
  };
  std::set<std::string> values;
  if (!dimension) {
    // One walk over the joints files each under its pair, in storage order.
    std::unordered_map<std::pair<std::string_view, std::string_view>,
                       std::vector<const model::JointDistributionObject*>, NamePairHash>
        by_pair;
    for (const auto& [x, y] : joints) by_pair.try_emplace(store::joint_pair_order(x, y));
    for (const auto& j : db.data.joints) {
      auto it = by_pair.find({j.variables.first, j.variables.second});
      if (it != by_pair.end()) it->second.push_back(&j);
    }
    for (size_t d = 0; d < joints.size(); ++d)
      for (const model::JointDistributionObject* j :
           by_pair.at(store::joint_pair_order(joints[d].first, joints[d].second)))
        measure(d, *j, nullptr);
  } else {
    values = db.dimension_values(*dimension);
    // One key whose value is swapped per lookup; each lookup is one hash probe.
    model::DimensionMap key{{std::string(*dimension), std::string()}};
    std::string& at = key.begin()->second;
    for (size_t d = 0; d < joints.size(); ++d)
      for (const auto& v : values) {
        at = v;
        if (const auto* j = db.find_joint(joints[d].first, joints[d].second, key)) measure(d, *j, &v);
      }
  }
  std::stable_sort(measured.begin(), measured.end(), [](const Measured& a, const Measured& b) {
    return math::total_greater(a.m.mutual_info, b.m.mutual_info);
  });
  if (measured.size() > limit) measured.resize(static_cast<size_t>(limit));

  std::vector<CorrelationRow> rows;
  rows.reserve(measured.size());
  for (const Measured& e : measured) {
    CorrelationRow row;
    row.variable_a = joints[e.definition].first;
    row.variable_b = joints[e.definition].second;
    if (e.value != nullptr)
      row.label = *e.value;
    else if (!e.joint->dimension_key.empty())
      row.label = store::dimension_key_string(e.joint->dimension_key);
    row.mutual_info = e.m.mutual_info;
    row.normalized_mi = e.m.normalized_mi;
    row.cramers_v = e.m.cramers_v;
    row.samples = e.joint->repr.total_count();
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace quor::analytics
