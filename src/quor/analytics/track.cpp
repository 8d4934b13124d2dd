#include "quor/analytics/track.h"

#include <algorithm>
#include <map>

#include "quor/analytics/compare.h"
#include "quor/store/dim_key.h"
#include "quor/util/format.h"
#include "quor/util/total_order.h"

namespace quor::analytics {

std::string drift_alert_message(double threshold) {
  return "drift exceeded threshold " + util::format_fixed(threshold, 4) + " (IQR-based)";
}

double drift_threshold(const std::vector<double>& drifts) {
  std::vector<double> s = drifts;
  std::stable_sort(s.begin(), s.end(), util::total_less);
  const size_t l = s.size();
  const double q1 = s[l / 4];
  const double q3 = s[(3 * l) / 4];
  const double iqr = q3 - q1;
  if (iqr < 1e-12) return 3.0 * s[l / 2];
  return q3 + 1.5 * iqr;
}

Result<TrackResult> track_drift(const store::Database& db, CompareCache& cache,
                                std::string_view variable, const Filter& filter) {
  // Every candidate per label, in storage order: the distributions of the
  // variable that hold the filter's non-time pairs and have a time entry.
  // A label's candidates are exactly the members of the selection at that
  // label, so they also serve its roll-up below. The last candidate's key
  // (less its time entry) is the label's point key.
  const std::string time(kTimeDimension);
  Filter others = filter;
  others.erase(time);
  const store::DistributionTable& table = db.distributions;
  const uint32_t time_dim = table.find_dimension(time);
  std::map<std::string_view, std::vector<store::Position>> candidates;
  if (time_dim != store::kNoId) {
    for (const store::Position p : db.matching_distributions(variable, others)) {
      if (auto l = table.label_of(p, time_dim)) candidates[table.label(time_dim, *l)].push_back(p);
    }
  }

  TrackResult out;
  for (const auto& [label, list] : candidates) {
    // The point distribution is the first of the variable whose key holds
    // the point key plus this label; any such distribution is a candidate
    // of this label, so searching the candidates suffices.
    const std::span<const store::KeyEntry> lookup = table.key(list.back());
    store::Position point = list.back();
    for (const store::Position c : list) {
      if (table.key_holds(c, lookup)) {
        point = c;
        break;
      }
    }
    out.time_labels.emplace_back(label);
    out.entropies.push_back(table.row(point).entropy);
  }

  const size_t n = out.time_labels.size();
  std::vector<const std::vector<store::Position>*> members;
  members.reserve(n);
  for (const auto& [label, list] : candidates) members.push_back(&list);
  std::vector<std::optional<Result<ResolvedSide>>> sides(n);
  auto side = [&](size_t k) -> const Result<ResolvedSide>& {
    if (!sides[k]) {
      Filter selection = filter;
      selection.insert_or_assign(time, out.time_labels[k]);
      sides[k].emplace(resolve_side_among(db, variable, selection, *members[k]));
    }
    return *sides[k];
  };
  for (size_t k = 0; k + 1 < n; ++k) {
    const auto& a = side(k);
    if (!a.ok()) return a.error();
    const auto& b = side(k + 1);
    if (!b.ok()) return b.error();
    QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_resolved(cache, *a, *b));
    out.drifts.push_back(r.jsd);
  }

  if (!out.drifts.empty()) {
    const double threshold = drift_threshold(out.drifts);
    if (threshold > 0.0) {
      const std::string message = drift_alert_message(threshold);
      for (size_t k = 0; k < out.drifts.size(); ++k) {
        if (out.drifts[k] > threshold)
          out.alerts.push_back({out.time_labels[k], out.time_labels[k + 1], message, out.drifts[k]});
      }
    }
  }
  return out;
}

Result<TrackResult> track_query(const store::Database& db, CompareCache& cache,
                                std::string_view reference,
                                std::optional<std::string_view> variable) {
  QUOR_ASSIGN_OR_RETURN(ParsedReference ref, parse_reference(reference));
  QUOR_ASSIGN_OR_RETURN(std::string name, query_variable(db, variable, {&ref}));
  return track_drift(db, cache, name, ref.dimensions);
}

}  // namespace quor::analytics
