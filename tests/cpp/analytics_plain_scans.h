// Plain scans of a database's stored lists, one per search that the store's
// lookups (ids, postings, joints by identity) answer faster: the oracles of
// analytics_scan_oracle_test.cpp. A found distribution is its position in
// the stored record's list.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare.h"
#include "quor/analytics/compare_cache.h"
#include "quor/analytics/correlations.h"
#include "quor/analytics/explain.h"
#include "quor/analytics/mutual_info.h"
#include "quor/analytics/reference.h"
#include "quor/analytics/track.h"
#include "quor/model/model.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics::plain_scans {

using store::Database;
using store::Position;

// The first distribution of the stored list with this id.
std::optional<Position> scan_by_id(const Database& db, uint64_t id);
// Every distribution of `variable` whose key holds every pair of `filter`.
std::vector<Position> scan_matching(const Database& db, std::string_view variable,
                                    const model::DimensionMap& filter);
// The values of dimension `name` over every stored distribution.
std::set<std::string> scan_values(const Database& db, const std::string& name);
// The first joint of the pair (either order) with exactly this key.
const model::JointDistributionObject* scan_joint(const Database& db, std::string_view a,
                                                 std::string_view b, const model::DimensionMap& map);
// resolve_side, track, explain, cmi and correlations over the scans.
Result<ResolvedSide> scan_resolve(const Database& db, std::string_view variable,
                                  const model::DimensionMap& filter);
Result<TrackResult> scan_track(const Database& db, CompareCache& cache, std::string_view variable,
                               const model::DimensionMap& filter);
Result<ExplainResult> scan_explain(const Database& db, CompareCache& cache,
                                   const model::DimensionMap& fa, const model::DimensionMap& fb);
Result<CmiResult> scan_cmi(const Database& db, std::string_view first, std::string_view second,
                           const std::string& given);
std::vector<CorrelationRow> scan_correlations(const Database& db,
                                              std::optional<std::string> dimension);

}  // namespace quor::analytics::plain_scans
