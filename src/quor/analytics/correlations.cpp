#include "quor/analytics/correlations.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "quor/analytics/mutual_info.h"
#include "quor/math/measures.h"
#include "quor/util/total_order.h"
#include "quor/store/dim_key.h"

namespace quor::analytics {

namespace {

using NamePair = std::pair<std::string_view, std::string_view>;

struct NamePairHash {
  size_t operator()(const NamePair& p) const noexcept {
    const size_t h = std::hash<std::string_view>{}(p.first);
    return h ^ (std::hash<std::string_view>{}(p.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};

// A measured joint before its row is built: rows are sorted on the mutual
// information alone and cut, so only the rows kept need the other two
// measures (and a row at all).
struct Measured {
  size_t definition;                         // into the schema's joints
  const model::JointDistributionObject* joint;
  const std::string* value;                  // over a dimension: its value
  double mutual_info;
  size_t order;                              // rank before the sort
};

}  // namespace

Result<std::vector<CorrelationRow>> correlations(const store::Database& db,
                                                 std::optional<std::string_view> dimension,
                                                 uint64_t limit) {
  const auto& joints = db.meta.schema.joints;
  if (joints.empty()) return Error("no joint distributions defined; call define_joint() first");
  std::vector<Measured> measured;
  math::MutualInformationRun run;  // every table's MI, several tables at a time
  auto measure = [&](size_t definition, const model::JointDistributionObject& j,
                     const std::string* value) {
    if (j.repr.total_count() == 0) return;
    with_joint_table(j, [&run](math::CountTable t, uint64_t n) { run.add(t, n); });
    measured.push_back({definition, &j, value, 0.0, 0});
  };
  if (!dimension) {
    // One walk over the joints files each under its pair, in storage order.
    std::unordered_map<NamePair, std::vector<const model::JointDistributionObject*>, NamePairHash> by_pair;
    for (const auto& [x, y] : joints) by_pair.try_emplace(store::joint_pair_order(x, y));
    for (const auto& j : db.joints) {
      auto it = by_pair.find({j.variables.first, j.variables.second});
      if (it != by_pair.end()) it->second.push_back(&j);
    }
    for (size_t d = 0; d < joints.size(); ++d)
      for (const model::JointDistributionObject* j :
           by_pair.at(store::joint_pair_order(joints[d].first, joints[d].second)))
        measure(d, *j, nullptr);
  } else {
    // Over a dimension: per pair, the joint keyed exactly {dimension: v} for
    // each value v the dimension has, ascending.
    std::unordered_map<NamePair, std::vector<KeyedJoint>, NamePairHash> by_pair;
    for (const auto& [x, y] : joints) {
      auto [it, added] = by_pair.try_emplace(store::joint_pair_order(x, y));
      if (added) it->second = joints_over_dimension(db, x, y, *dimension);
    }
    for (size_t d = 0; d < joints.size(); ++d)
      for (const KeyedJoint& k : by_pair.at(store::joint_pair_order(joints[d].first, joints[d].second)))
        measure(d, *k.joint, k.value);
  }
  const std::vector<double>& mi = run.finish();
  for (size_t i = 0; i < measured.size(); ++i) {
    measured[i].mutual_info = mi[i];
    measured[i].order = i;
  }
  // Largest mutual information first, equal values in the order measured:
  // with the order as the last key no two rows tie, so selecting the first
  // `limit` rows gives the head of the stable sort without sorting the rest.
  auto before = [](const Measured& a, const Measured& b) {
    const int64_t ka = util::total_order_key(a.mutual_info);
    const int64_t kb = util::total_order_key(b.mutual_info);
    return ka != kb ? ka > kb : a.order < b.order;
  };
  if (measured.size() > limit) {
    const auto keep = measured.begin() + static_cast<std::ptrdiff_t>(limit);
    std::partial_sort(measured.begin(), keep, measured.end(), before);
    measured.erase(keep, measured.end());
  } else {
    std::sort(measured.begin(), measured.end(), before);
  }

  std::vector<CorrelationRow> rows;
  rows.reserve(measured.size());
  math::TableMargins room;  // one allocation for every kept row's margins
  for (const Measured& e : measured) {
    CorrelationRow row;
    row.variable_a = joints[e.definition].first;
    row.variable_b = joints[e.definition].second;
    if (e.value != nullptr)
      row.label = *e.value;
    else if (!e.joint->dimension_key.empty())
      row.label = store::dimension_key_string(e.joint->dimension_key);
    const math::TableMeasures m = with_joint_table(
        *e.joint, [&room](math::CountTable t, uint64_t n) { return math::table_measures(t, n, room); });
    row.mutual_info = m.mutual_info;  // the same bits as e.mutual_info
    row.normalized_mi = m.normalized_mi;
    row.cramers_v = m.cramers_v;
    row.samples = e.joint->repr.total_count();
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace quor::analytics
