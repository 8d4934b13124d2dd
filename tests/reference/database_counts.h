// Counts added to a Database one distribution at a time, and the searches
// that answer for one distribution or one value: the plain road that the
// batched apply and the postings are checked against, and the way tests
// (and the testing module) fill a database by hand.
//
// Everything here goes through the Database's public operations; nothing of
// it is linked into the engine or the installed module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quor/model/model.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::reference {

// One batch's counts of one marginal distribution. Entry order does not
// matter. Histogram: bin number -> count. Categorical: category number ->
// count, with `unknown` for values outside the categories.
struct HistogramCounts {
  std::unordered_map<uint64_t, uint64_t> bins;
};
struct CategoricalCounts {
  std::unordered_map<uint64_t, uint64_t> known;
  uint64_t unknown = 0;
};
using CountAccumulator = std::variant<HistogramCounts, CategoricalCounts>;

// Marginals changed by a batch, each (variable, map) at most once.
using TouchedSet = std::vector<std::pair<std::string, model::DimensionMap>>;

// Adds a batch's counts to the distribution of (variable, map), creating it
// if needed. Bins / categories beyond the lists raise only total_count; a
// kind mismatch changes nothing and succeeds. Derived fields wait for
// finalize_updates. Refused on a read-only database.
Status apply_counts(store::Database& db, std::string_view variable, const model::DimensionMap& map,
                          const CountAccumulator& counts);

// Brings sample_count, entropy, version (+1) and last_updated (one clock
// read, or `now` when given) up to date for every touched marginal; pairs
// that name no distribution are passed over. Never fails.
void finalize_updates(store::Database& db, const TouchedSet& touched);
void finalize_updates(store::Database& db, const TouchedSet& touched, uint64_t now);

// The first distribution of `variable` whose dimension_key holds every
// entry of `filter` (an empty filter matches the first of the variable).
template <class FilterMap>
std::optional<model::DistributionObject> find_distribution(const store::Database& db,
                                                           std::string_view variable,
                                                           const FilterMap& filter) {
  return db.record_at(db.find_position(variable, filter));
}

// db.dimension_values(name).contains(value), without listing the values.
bool has_dimension_value(const store::Database& db, std::string_view name, std::string_view value);

}  // namespace quor::reference
