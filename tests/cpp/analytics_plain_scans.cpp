// The plain scans that the store's lookups and the analytics' searches are
// checked against (analytics_scan_oracle_test.cpp): each reads the stored
// lists from the front, without an index.
#include "analytics_plain_scans.h"

#include <algorithm>
#include <map>
#include <utility>

#include "quor/math/measures.h"
#include "quor/store/dim_key.h"
#include "quor/store/engine_error.h"
#include "quor/util/saturating.h"
#include "quor/util/total_order.h"

namespace quor::analytics::plain_scans {

using model::DimensionMap;
using model::DistributionObject;
using model::JointDistributionObject;

namespace {

std::optional<Position> scan_by_id(const model::DistributionFile& data, uint64_t id) {
  for (size_t i = 0; i < data.distributions.size(); ++i)
    if (data.distributions[i].id == id) return static_cast<Position>(i);
  return std::nullopt;
}

void scan_add(std::vector<uint64_t>& into, const std::vector<uint64_t>& from) {
  for (size_t i = 0; i < std::min(into.size(), from.size()); ++i)
    into[i] = util::add_saturating(into[i], from[i]);
}

template <class FilterMap>
bool scan_holds(const DimensionMap& key, const FilterMap& filter) {
  for (const auto& [name, value] : filter) {
    auto it = key.find(std::string(name));
    if (it == key.end() || it->second != value) return false;
  }
  return true;
}

}  // namespace

std::optional<Position> scan_by_id(const Database& db, uint64_t id) { return scan_by_id(db.records(), id); }

std::vector<Position> scan_matching(const Database& db, std::string_view variable,
                                    const DimensionMap& filter) {
  const model::DistributionFile data = db.records();
  std::vector<Position> out;
  for (size_t i = 0; i < data.distributions.size(); ++i) {
    const auto& d = data.distributions[i];
    if (d.variable == variable && scan_holds(d.dimension_key, filter)) out.push_back(static_cast<Position>(i));
  }
  return out;
}

std::set<std::string> scan_values(const Database& db, const std::string& name) {
  std::set<std::string> out;
  for (const auto& d : db.records().distributions) {
    auto it = d.dimension_key.find(name);
    if (it != d.dimension_key.end()) out.insert(it->second);
  }
  return out;
}

const JointDistributionObject* scan_joint(const Database& db, std::string_view a, std::string_view b,
                                          const DimensionMap& map) {
  std::string_view x = a, y = b;
  if (y < x) std::swap(x, y);
  for (const auto& j : db.joints)
    if (j.variables.first == x && j.variables.second == y && j.dimension_key == map) return &j;
  return nullptr;
}

Result<ResolvedSide> scan_resolve(const Database& db, std::string_view variable,
                                  const DimensionMap& filter) {
  const model::DistributionFile data = db.records();
  ResolvedSide side;
  if (auto id = store::index_lookup(db.index_record(), variable, filter)) {
    if (auto p = scan_by_id(data, *id)) {
      side.first = std::make_shared<const DistributionObject>(data.distributions[*p]);
      return side;
    }
  }
  side.rolled_up = true;
  for (size_t i = 0; i < data.distributions.size(); ++i) {
    const auto& d = data.distributions[i];
    if (d.variable != variable || !scan_holds(d.dimension_key, filter)) continue;
    if (side.first == nullptr) {
      side.first = std::make_shared<const DistributionObject>(d);
      side.cacheable = scan_by_id(data, d.id) == i;
      continue;
    }
    if (d.repr.index() != side.first->repr.index()) continue;
    if (!side.summed) side.summed = side.first->repr;
    if (auto* h = std::get_if<model::HistogramRepr>(&*side.summed)) {
      const auto& f = std::get<model::HistogramRepr>(d.repr);
      scan_add(h->bin_counts, f.bin_counts);
      h->total_count = util::add_saturating(h->total_count, f.total_count);
    } else {
      auto& c = std::get<model::CategoricalRepr>(*side.summed);
      const auto& f = std::get<model::CategoricalRepr>(d.repr);
      scan_add(c.counts, f.counts);
      c.unknown_count = util::add_saturating(c.unknown_count, f.unknown_count);
      c.total_count = util::add_saturating(c.total_count, f.total_count);
    }
    side.more.emplace_back(d.id, d.version);
    if (scan_by_id(data, d.id) != i) side.cacheable = false;
  }
  if (side.first == nullptr) return distribution_not_found_error(variable, filter);
  return side;
}

Result<TrackResult> scan_track(const Database& db, CompareCache& cache, std::string_view variable,
                               const DimensionMap& filter) {
  const model::DistributionFile data = db.records();
  std::map<std::string, std::vector<const DistributionObject*>> candidates;
  for (const auto& d : data.distributions) {
    if (d.variable != variable) continue;
    auto t = d.dimension_key.find("time");
    if (t == d.dimension_key.end()) continue;
    bool holds = true;
    for (const auto& [name, value] : filter) {
      if (name == "time") continue;
      auto it = d.dimension_key.find(name);
      if (it == d.dimension_key.end() || it->second != value) holds = false;
    }
    if (holds) candidates[t->second].push_back(&d);
  }
  TrackResult out;
  for (const auto& [label, list] : candidates) {
    DimensionMap lookup = list.back()->dimension_key;
    const DistributionObject* point = nullptr;
    for (const auto& d : data.distributions) {
      if (d.variable == variable && scan_holds(d.dimension_key, lookup)) {
        point = &d;
        break;
      }
    }
    out.time_labels.push_back(label);
    out.entropies.push_back(point->entropy);
  }
  for (size_t k = 0; k + 1 < out.time_labels.size(); ++k) {
    DimensionMap sa = filter, sb = filter;
    sa.insert_or_assign("time", out.time_labels[k]);
    sb.insert_or_assign("time", out.time_labels[k + 1]);
    QUOR_ASSIGN_OR_RETURN(ResolvedSide a, scan_resolve(db, variable, sa));
    QUOR_ASSIGN_OR_RETURN(ResolvedSide b, scan_resolve(db, variable, sb));
    QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_resolved(cache, a, b));
    out.drifts.push_back(r.jsd);
  }
  if (!out.drifts.empty()) {
    const double threshold = drift_threshold(out.drifts);
    for (size_t k = 0; k < out.drifts.size(); ++k)
      if (threshold > 0.0 && out.drifts[k] > threshold)
        out.alerts.push_back({out.time_labels[k], out.time_labels[k + 1],
                              drift_alert_message(threshold), out.drifts[k]});
  }
  return out;
}

Result<ExplainResult> scan_explain(const Database& db, CompareCache& cache, const DimensionMap& fa,
                                   const DimensionMap& fb) {
  ExplainResult out;
  for (const auto& def : db.meta.schema.variables) {
    QUOR_ASSIGN_OR_RETURN(ResolvedSide a, scan_resolve(db, def.name, fa));
    QUOR_ASSIGN_OR_RETURN(ResolvedSide b, scan_resolve(db, def.name, fb));
    QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_resolved(cache, a, b));
    out.entries.push_back({def.name, r.contributions, r.jsd, 0.0, r.entropy_a, r.entropy_b});
  }
  rank_explain_entries(out);
  return out;
}

Result<CmiResult> scan_cmi(const Database& db, std::string_view first, std::string_view second,
                           const std::string& given) {
  QUOR_RETURN_IF_ERROR(check_joint_defined(db, first, second));
  const auto values = scan_values(db, given);
  if (values.empty()) return Error("no values found for dimension '" + given + "'");
  CmiResult out;
  for (const auto& v : values) {
    const JointDistributionObject* joint = scan_joint(db, first, second, {{given, v}});
    if (joint == nullptr) continue;
    const JointTable t = joint_count_table(*joint);
    if (t.total == 0) continue;
    out.strata.push_back({v, math::mutual_information(t.rows, t.total),
                          math::normalized_mutual_information(t.rows, t.total), t.total});
  }
  if (out.strata.empty()) return Error("no joint distributions found across dimension '" + given + "'");
  uint64_t s = 0;
  for (const auto& st : out.strata) s = util::add_saturating(s, st.samples);
  out.total_samples = s;
  double cmi = 0.0;
  for (const auto& st : out.strata)
    cmi = cmi + (static_cast<double>(st.samples) / static_cast<double>(s)) * st.mutual_info;
  out.cmi = cmi;
  return out;
}

std::vector<CorrelationRow> scan_correlations(const Database& db,
                                              std::optional<std::string> dimension) {
  std::vector<CorrelationRow> rows;
  auto measure = [&](const std::string& x, const std::string& y, const JointDistributionObject& j,
                     std::optional<std::string> label) {
    const JointTable t = joint_count_table(j);
    if (t.total == 0) return;
    rows.push_back({x, y, std::move(label), math::mutual_information(t.rows, t.total),
                    math::normalized_mutual_information(t.rows, t.total),
                    math::cramers_v(t.rows, t.total), t.total});
  };
  for (const auto& [x, y] : db.meta.schema.joints) {
    const std::string& lo = y < x ? y : x;
    const std::string& hi = y < x ? x : y;
    if (!dimension) {
      for (const auto& j : db.joints) {
        if (j.variables.first != lo || j.variables.second != hi) continue;
        std::optional<std::string> label;
        if (!j.dimension_key.empty()) label = store::dimension_key_string(j.dimension_key);
        measure(x, y, j, label);
      }
    } else {
      for (const auto& v : scan_values(db, *dimension))
        if (const auto* j = scan_joint(db, x, y, {{*dimension, v}})) measure(x, y, *j, v);
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const CorrelationRow& a, const CorrelationRow& b) {
    return util::total_greater(a.mutual_info, b.mutual_info);
  });
  return rows;
}

}  // namespace quor::analytics::plain_scans
