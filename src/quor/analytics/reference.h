// Naming distributions: reference texts, and resolving a variable with a
// dimension filter into one distribution.
//
// A reference is "name:value" segments joined by "/"; a segment named
// "variable" names the variable, every other one is a dimension condition.
// A filter (dimension name -> value) matches a stored distribution whose
// dimension key holds each of its pairs with a byte-equal value; further
// dimensions do not matter and an empty filter matches everything.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/store/database.h"
#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::analytics {

using Filter = model::DimensionMap;

struct ParsedReference {
  std::optional<std::string> variable;  // the last "variable" segment's value
  Filter dimensions;                    // later segments replace earlier ones
  bool operator==(const ParsedReference&) const = default;
};

// Parses a reference. Fails with "reference cannot be empty" when the text
// is only (Unicode) white space, and with "invalid reference segment '{}'"
// for the first segment without ":" (empty segments included). Nothing is
// trimmed or checked against the schema.
Result<ParsedReference> parse_reference(std::string_view text);

// The variable a query over references works on: `given` when present,
// else that of the first reference naming one, else the schema's first
// variable. Fails with "no variable available in schema".
Result<std::string> query_variable(const store::Database& db, std::optional<std::string_view> given,
                                   std::initializer_list<const ParsedReference*> references);

// The distribution selected by (variable, filter): a copy of the stored
// distribution indexed under exactly that key; otherwise every matching
// distribution of the variable summed in storage order (those of the other
// kind than the first are skipped), carrying the first match's identity
// with sample_count = summed total and entropy recomputed. Fails with
// "distribution not found for variable '{}' and dimensions {}".
Result<model::DistributionObject> resolve_distribution(const store::Database& db,
                                                       std::string_view variable,
                                                       const Filter& filter);

// "distribution not found for variable '{}' and dimensions {}".
Error distribution_not_found_error(std::string_view variable, const Filter& filter);

// A resolution that borrows from the database instead of copying: valid
// while the database is not changed. Used by the operations that compare
// the same selection several times.
struct ResolvedSide {
  // The exact hit or first match (a copy of its record).
  std::shared_ptr<const model::DistributionObject> first;
  std::optional<model::DistributionRepr> summed;     // present when 2+ members were summed
  std::vector<DistributionStamp> more;  // (id, version) of the members after the first
  bool rolled_up = false;   // not an exact index hit
  bool cacheable = true;    // its (id, version) list identifies its counts

  const model::DistributionRepr& repr() const { return summed ? *summed : first->repr; }

  // The last rebinning of this side's histogram, kept for the next
  // comparison onto the same grid.
  struct Rebinned {
    double low;
    double high;
    uint64_t bins;
    model::HistogramRepr histogram;
  };
  mutable std::optional<Rebinned> rebinned;
};

// As resolve_distribution, without copying. A roll-up visits only the
// postings of the variable and the filter's pairs, never the whole store.
Result<ResolvedSide> resolve_side(const store::Database& db, std::string_view variable,
                                  const Filter& filter);

// As resolve_side, for a caller that already holds the roll-up's members:
// `members` must be exactly the positions of the distributions of
// `variable` matching `filter`, in storage order (as
// Database::matching_distributions gives them).
Result<ResolvedSide> resolve_side_among(const store::Database& db, std::string_view variable,
                                        const Filter& filter, std::span<const store::Position> members);

}  // namespace quor::analytics
