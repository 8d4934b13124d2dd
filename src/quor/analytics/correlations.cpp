#include "quor/analytics/correlations.h"

#include <algorithm>

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
  CorrelationRow row;
  row.variable_a = x;
  row.variable_b = y;
  row.label = std::move(label);
  row.mutual_info = math::mutual_information(t.rows, t.total);
  row.normalized_mi = math::normalized_mutual_information(t.rows, t.total);
  row.cramers_v = math::cramers_v(t.rows, t.total);
  row.samples = t.total;
  return row;
}

}  // namespace

Result<std::vector<CorrelationRow>> correlations(const store::Database& db,
                                                 std::optional<std::string_view> dimension,
                                                 uint64_t limit) {
  const auto& joints = db.meta.schema.joints;
  if (joints.empty()) return Error("no joint distributions defined; call define_joint() first");
  std::vector<std::string> values;
  if (dimension) {
    const auto set = db.dimension_values(*dimension);
    values.assign(set.begin(), set.end());
  }
  std::vector<CorrelationRow> rows;
  for (const auto& [x, y] : joints) {
    const std::string& lo = y < x ? y : x;
    const std::string& hi = y < x ? x : y;
    if (!dimension) {
      for (const auto& j : db.data.joints) {
        if (j.variables.first != lo || j.variables.second != hi) continue;
        std::optional<std::string> label;
        if (!j.dimension_key.empty()) label = store::dimension_key_string(j.dimension_key);
        if (auto row = measure(x, y, j, std::move(label))) rows.push_back(std::move(*row));
      }
    } else {
      for (const auto& v : values) {
        const store::DimensionMap key{{std::string(*dimension), v}};
        const store::JointDistributionObject* found = nullptr;
        for (const auto& j : db.data.joints) {
          if (j.variables.first == lo && j.variables.second == hi && j.dimension_key == key) {
            found = &j;
            break;
          }
        }
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
