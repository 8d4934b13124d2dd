#include "quor/analytics/mutual_info.h"

#include <algorithm>
#include <variant>

#include "quor/analytics/reference.h"
#include "quor/store/dim_key.h"
#include "quor/store/engine_error.h"

namespace quor::analytics {

JointTable joint_count_table(const model::JointDistributionObject& joint) {
  JointTable t;
  t.total = joint.repr.total_count();
  if (const auto* g = std::get_if<model::HistogramGridRepr>(&joint.repr))
    t.rows = g->counts;
  else if (const auto* c = std::get_if<model::ContingencyTableRepr>(&joint.repr))
    t.rows = c->counts;
  else
    t.rows = math::collect_count_vectors(std::get<model::ConditionalHistogramsRepr>(joint.repr).histograms);
  return t;
}

Status check_joint_defined(const store::Database& db, std::string_view first,
                           std::string_view second) {
  for (const auto& [x, y] : db.meta.schema.joints)
    if ((x == first && y == second) || (x == second && y == first)) return ok_status();
  return Error("no joint distribution defined for '" + std::string(first) + "' and '" +
               std::string(second) + "'; call define_joint() first");
}

Result<double> mutual_info_query(const store::Database& db, std::string_view first,
                                 std::string_view second, std::string_view reference) {
  QUOR_ASSIGN_OR_RETURN(ParsedReference ref, parse_reference(reference));
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  const model::JointDistributionObject* joint = db.find_joint(first, second, ref.dimensions);
  if (joint == nullptr) return store::joint_not_found_error(first, second, ref.dimensions);
  const JointTable t = joint_count_table(*joint);
  return math::mutual_information(t.rows, t.total);
}

std::vector<KeyedJoint> joints_over_dimension(const store::Database& db, std::string_view a,
                                              std::string_view b, std::string_view dimension) {
  const auto [x, y] = store::joint_pair_order(a, b);
  std::vector<KeyedJoint> keyed;
  for (const auto& j : db.joints) {
    if (j.dimension_key.size() != 1 || j.dimension_key.begin()->first != dimension) continue;
    if (j.variables.first != x || j.variables.second != y) continue;
    keyed.push_back({&j.dimension_key.begin()->second, &j});
  }
  // Joints made by one ingest often come in value order already, each value
  // once: one pass that finds every value above the one before it settles
  // both the order and the duplicates.
  auto by_value = [](const KeyedJoint& l, const KeyedJoint& r) { return *l.value < *r.value; };
  auto not_above = [](const KeyedJoint& l, const KeyedJoint& r) { return !(*l.value < *r.value); };
  const bool ascending = std::adjacent_find(keyed.begin(), keyed.end(), not_above) == keyed.end();
  if (!ascending) {
    std::stable_sort(keyed.begin(), keyed.end(), by_value);
    keyed.erase(std::unique(keyed.begin(), keyed.end(),
                            [](const KeyedJoint& l, const KeyedJoint& r) { return *l.value == *r.value; }),
                keyed.end());
  }
  std::vector<std::string_view> values(keyed.size());
  for (size_t i = 0; i < keyed.size(); ++i) values[i] = *keyed[i].value;
  std::vector<char> held;
  db.has_dimension_values(dimension, values, held);
  size_t kept = 0;
  for (size_t i = 0; i < keyed.size(); ++i)
    if (held[i]) keyed[kept++] = keyed[i];
  keyed.resize(kept);
  return keyed;
}

Result<CmiResult> conditional_mutual_info(const store::Database& db, std::string_view first,
                                          std::string_view second, std::string_view given) {
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  CmiResult out;
  math::TableMargins room;  // one allocation for every stratum's margins
  for (const KeyedJoint& k : joints_over_dimension(db, first, second, given)) {
    if (k.joint->repr.total_count() == 0) continue;
    const math::TableMeasures m = with_joint_table(
        *k.joint, [&room](math::CountTable t, uint64_t n) { return math::table_measures(t, n, room); });
    out.strata.push_back({*k.value, m.mutual_info, m.normalized_mi, k.joint->repr.total_count()});
  }
  // Which error: listing the values costs their number, paid on failure only.
  if (out.strata.empty() && db.dimension_values(given).empty())
    return Error("no values found for dimension '" + std::string(given) + "'");
  if (out.strata.empty())
    return Error("no joint distributions found across dimension '" + std::string(given) + "'");
  uint64_t s = 0;
  for (const auto& st : out.strata) s = util::add_saturating(s, st.samples);
  out.total_samples = s;
  const double total = static_cast<double>(s);
  double cmi = 0.0;
  for (const auto& st : out.strata) cmi = cmi + (static_cast<double>(st.samples) / total) * st.mutual_info;
  out.cmi = cmi;
  return out;
}

}  // namespace quor::analytics
