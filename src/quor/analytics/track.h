// TRACK: drift of one variable over the values of the "time" dimension.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/analytics/reference.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

// One step whose drift stands out.
struct DriftAlert {
  std::string from;     // the earlier label
  std::string to;       // the later label
  std::string message;  // "drift exceeded threshold {:.4} (IQR-based)"
  double drift = 0.0;
  bool operator==(const DriftAlert&) const = default;
};

struct TrackResult {
  std::vector<std::string> time_labels;  // byte-wise ascending, each once
  std::vector<double> entropies;         // stored entropy of each label's point distribution
  std::vector<double> drifts;            // jsd from label k to label k + 1
  std::vector<DriftAlert> alerts;        // ascending k
  bool operator==(const TrackResult&) const = default;
};

// The name of the dimension that carries time labels.
inline constexpr std::string_view kTimeDimension = "time";

// Parses `reference`; tracks `variable` when given, else the reference's
// variable segment, else the schema's first variable ("no variable
// available in schema" without any), with the reference's dimensions as
// the filter.
Result<TrackResult> track_query(const store::Database& db, CompareCache& cache,
                                std::string_view reference,
                                std::optional<std::string_view> variable);

// The labels at which `variable` has a distribution agreeing with the
// filter's non-time pairs, their entropies, the JSD between consecutive
// labels (the filter with "time" set to each label, exact or summed) and
// the alerts of drifts above the IQR threshold. A failing comparison ends
// the tracking with its error; no matching distribution gives an empty
// result.
Result<TrackResult> track_drift(const store::Database& db, CompareCache& cache,
                                std::string_view variable, const Filter& filter);

// The alert threshold of a list of drifts (not empty): q3 + 1.5 IQR, or 3
// times the median when the IQR is below 1e-12.
double drift_threshold(const std::vector<double>& drifts);

// "drift exceeded threshold {:.4} (IQR-based)" with `threshold` in fixed
// point with four decimals.
std::string drift_alert_message(double threshold);

}  // namespace quor::analytics
