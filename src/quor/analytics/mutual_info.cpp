#include "quor/analytics/mutual_info.h"

#include <variant>

#include "quor/analytics/reference.h"
#include "quor/store/engine_error.h"

namespace quor::analytics {

JointTable joint_count_table(const store::JointDistributionObject& joint) {
  JointTable t;
  t.total = joint.repr.total_count();
  if (const auto* g = std::get_if<store::HistogramGridRepr>(&joint.repr))
    t.rows = g->counts;
  else if (const auto* c = std::get_if<store::ContingencyTableRepr>(&joint.repr))
    t.rows = c->counts;
  else
    t.rows = math::collect_count_vectors(std::get<store::ConditionalHistogramsRepr>(joint.repr).histograms);
  return t;
}

Status check_joint_defined(const store::Database& db, std::string_view first,
                           std::string_view second) {
  for (const auto& [x, y] : db.meta.schema.joints)
    if ((x == first && y == second) || (x == second && y == first)) return ok_status();
  return Error("no joint distribution defined for '" + std::string(first) + "' and '" +
               std::string(second) + "'; call define_joint() first");
}

size_t NamePairHash::operator()(
    const std::pair<std::string_view, std::string_view>& p) const noexcept {
  const size_t h = std::hash<std::string_view>{}(p.first);
  return h ^ (std::hash<std::string_view>{}(p.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

JointsAtValues::JointsAtValues(const store::Database& db,
                               std::span<const std::pair<std::string_view, std::string_view>> pairs,
                               std::string_view dimension) {
  for (const auto& [a, b] : pairs) by_pair_.try_emplace(store::joint_pair_order(a, b));
  for (const auto& j : db.data.joints) {
    if (j.dimension_key.size() != 1) continue;
    const auto& [name, value] = *j.dimension_key.begin();
    if (name != dimension) continue;
    auto it = by_pair_.find({j.variables.first, j.variables.second});
    if (it != by_pair_.end()) it->second.try_emplace(value, &j);
  }
}

const store::JointDistributionObject* JointsAtValues::find(std::string_view a, std::string_view b,
                                                           std::string_view value) const {
  auto it = by_pair_.find(store::joint_pair_order(a, b));
  if (it == by_pair_.end()) return nullptr;
  auto at = it->second.find(value);
  return at == it->second.end() ? nullptr : at->second;
}

Result<double> mutual_info_query(const store::Database& db, std::string_view first,
                                 std::string_view second, std::string_view reference) {
  QUOR_ASSIGN_OR_RETURN(ParsedReference ref, parse_reference(reference));
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  const store::JointDistributionObject* joint = db.find_joint(first, second, ref.dimensions);
  if (joint == nullptr) return store::joint_not_found_error(first, second, ref.dimensions);
  const JointTable t = joint_count_table(*joint);
  return math::mutual_information(t.rows, t.total);
}

Result<CmiResult> conditional_mutual_info(const store::Database& db, std::string_view first,
                                          std::string_view second, std::string_view given) {
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  const auto values = db.dimension_values(given);
  if (values.empty())
    return Error("no values found for dimension '" + std::string(given) + "'");
  const std::pair<std::string_view, std::string_view> pair{first, second};
  const JointsAtValues at(db, {&pair, 1}, given);
  CmiResult out;
  for (const auto& v : values) {
    const store::JointDistributionObject* joint = at.find(first, second, v);
    if (joint == nullptr) continue;
    const JointTable t = joint_count_table(*joint);
    if (t.total == 0) continue;
    const math::TableMeasures m = math::table_measures(t.rows, t.total);
    out.strata.push_back({v, m.mutual_info, m.normalized_mi, t.total});
  }
  if (out.strata.empty())
    return Error("no joint distributions found across dimension '" + std::string(given) + "'");
  uint64_t s = 0;
  for (const auto& st : out.strata) s = store::add_counts(s, st.samples);
  out.total_samples = s;
  const double total = static_cast<double>(s);
  double cmi = 0.0;
  for (const auto& st : out.strata) cmi = cmi + (static_cast<double>(st.samples) / total) * st.mutual_info;
  out.cmi = cmi;
  return out;
}

}  // namespace quor::analytics
