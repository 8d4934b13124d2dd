#include "quor/analytics/correlations.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "quor/analytics/mutual_info.h"
#include "quor/math/measures.h"
#include "quor/math/total_order.h"
#include "quor/store/dim_key.h"

namespace quor::analytics {

namespace {

std::optional<CorrelationRow> measure(const std::string& x, const std::string& y,
                                      const store::JointDistributionObject& joint,
                                      std::optional<std::string> label) {
  const JointTable t = joint_count_table(joint);
  if (t.total == 0) return std::nullopt;
  const math::TableMeasures m = math::table_measures(t.rows, t.total);
  CorrelationRow row;
  row.variable_a = x;
  row.variable_b = y;
  row.label = std::move(label);
  row.mutual_info = m.mutual_info;
  row.normalized_mi = m.normalized_mi;
  row.cramers_v = m.cramers_v;
  row.samples = t.total;
  return row;
}

}  // namespace

Result<std::vector<CorrelationRow>> correlations(const store::Database& db,
                                                 std::optional<std::string_view> dimension,
                                                 uint64_t limit) {
  const auto& joints = db.meta.schema.joints;
  if (joints.empty()) return Error("no joint distributions defined; call define_joint() first");
  std::vector<CorrelationRow> rows;
  if (!dimension) {
    // One walk over the joints files each under its pair, in storage order.
    std::unordered_map<std::pair<std::string_view, std::string_view>,
                       std::vector<const store::JointDistributionObject*>, NamePairHash>
        by_pair;
    for (const auto& [x, y] : joints) by_pair.try_emplace(store::joint_pair_order(x, y));
    for (const auto& j : db.data.joints) {
      auto it = by_pair.find({j.variables.first, j.variables.second});
      if (it != by_pair.end()) it->second.push_back(&j);
    }
    for (const auto& [x, y] : joints) {
      for (const store::JointDistributionObject* j : by_pair.at(store::joint_pair_order(x, y))) {
        std::optional<std::string> label;
        if (!j->dimension_key.empty()) label = store::dimension_key_string(j->dimension_key);
        if (auto row = measure(x, y, *j, std::move(label))) rows.push_back(std::move(*row));
      }
    }
  } else {
    const auto values = db.dimension_values(*dimension);
    std::vector<std::pair<std::string_view, std::string_view>> pairs(joints.begin(), joints.end());
    const JointsAtValues at(db, pairs, *dimension);
    for (const auto& [x, y] : joints) {
      for (const auto& v : values) {
        const store::JointDistributionObject* found = at.find(x, y, v);
        if (found == nullptr) continue;
        if (auto row = measure(x, y, *found, v)) rows.push_back(std::move(*row));
      }
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const CorrelationRow& a, const CorrelationRow& b) {
    return math::total_greater(a.mutual_info, b.mutual_info);
  });
  if (rows.size() > limit) rows.resize(static_cast<size_t>(limit));
  return rows;
}

}  // namespace quor::analytics
