#include "quor/analytics/mutual_info.h"

#include <variant>

#include "quor/analytics/reference.h"
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

Result<CmiResult> conditional_mutual_info(const store::Database& db, std::string_view first,
                                          std::string_view second, std::string_view given) {
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  const auto values = db.dimension_values(given);
  if (values.empty())
    return Error("no values found for dimension '" + std::string(given) + "'");
  // One key whose value is swapped per lookup; each lookup is one hash probe.
  model::DimensionMap key{{std::string(given), std::string()}};
  std::string& at = key.begin()->second;
  CmiResult out;
  for (const auto& v : values) {
    at = v;
    const model::JointDistributionObject* joint = db.find_joint(first, second, key);
    if (joint == nullptr) continue;
    if (joint->repr.total_count() == 0) continue;
    const math::TableMeasures m = with_joint_table(*joint, math::table_measures);
    out.strata.push_back({v, m.mutual_info, m.normalized_mi, joint->repr.total_count()});
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
