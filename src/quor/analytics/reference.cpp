#include "quor/analytics/reference.h"

#include "quor/math/measures.h"
#include "quor/store/dim_key.h"
#include "quor/store/engine_error.h"
#include "quor/util/utf8.h"

namespace quor::analytics {

namespace {

// Adds `from` into `into` position by position over the shared positions.
void add_positions(std::vector<uint64_t>& into, std::span<const uint64_t> from) {
  const size_t n = std::min(into.size(), from.size());
  for (size_t i = 0; i < n; ++i) into[i] = util::add_saturating(into[i], from[i]);
}

// Adds the counts of the stored distribution at `p` (of the same kind).
void add_stored(model::DistributionRepr& into, const store::DistributionTable& table, store::Position p) {
  const store::DistributionRow& r = table.row(p);
  if (auto* h = std::get_if<model::HistogramRepr>(&into)) {
    add_positions(h->bin_counts, table.cells(p));
    h->total_count = util::add_saturating(h->total_count, r.total_count);
  } else {
    auto& c = std::get<model::CategoricalRepr>(into);
    add_positions(c.counts, table.cells(p));
    c.unknown_count = util::add_saturating(c.unknown_count, r.unknown_count);
    c.total_count = util::add_saturating(c.total_count, r.total_count);
  }
}

double repr_counts_entropy(const model::DistributionRepr& repr) {
  if (const auto* h = std::get_if<model::HistogramRepr>(&repr))
    return math::shannon_entropy(h->bin_counts, h->total_count);
  const auto& c = std::get<model::CategoricalRepr>(repr);
  return math::shannon_entropy(c.counts, c.total_count);
}

}  // namespace

Result<std::string> query_variable(const store::Database& db, std::optional<std::string_view> given,
                                   std::initializer_list<const ParsedReference*> references) {
  if (given) return std::string(*given);
  for (const ParsedReference* r : references)
    if (r->variable) return *r->variable;
  if (!db.meta.schema.variables.empty()) return db.meta.schema.variables.front().name;
  return Error("no variable available in schema");
}

Result<ParsedReference> parse_reference(std::string_view text) {
  if (util::trim_unicode_white_space(text).empty()) return Error("reference cannot be empty");
  ParsedReference out;
  size_t start = 0;
  while (true) {
    const size_t slash = text.find('/', start);
    const std::string_view segment =
        text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    const size_t colon = segment.find(':');
    if (colon == std::string_view::npos)
      return Error("invalid reference segment '" + std::string(segment) + "'");
    const std::string_view name = segment.substr(0, colon);
    std::string value(segment.substr(colon + 1));
    if (name == "variable")
      out.variable = std::move(value);
    else
      out.dimensions.insert_or_assign(std::string(name), std::move(value));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return out;
}

Error distribution_not_found_error(std::string_view variable, const Filter& filter) {
  return Error("distribution not found for variable '" + std::string(variable) +
               "' and dimensions " + store::debug_dimension_map(filter));
}

namespace {

// The side of the exact hit of (variable, filter) in the index, if any.
std::optional<ResolvedSide> exact_side(const store::Database& db, std::string_view variable,
                                       const Filter& filter) {
  std::optional<store::Position> p = db.lookup_position(variable, filter);
  if (!p) return std::nullopt;
  ResolvedSide side;
  side.first = std::make_shared<const model::DistributionObject>(db.distribution(*p));
  return side;
}

// The roll-up of `members` (storage order): the first, plus every later one
// of the first's kind.
Result<ResolvedSide> roll_up(const store::Database& db, std::string_view variable,
                             const Filter& filter,
                             std::span<const store::Position> members) {
  if (members.empty()) return distribution_not_found_error(variable, filter);
  const store::DistributionTable& table = db.distributions;
  ResolvedSide side;
  side.rolled_up = true;
  const store::Position first = members.front();
  side.first = std::make_shared<const model::DistributionObject>(table.record(first));
  side.cacheable = db.position_of_id(side.first->id) == first;
  const bool histogram = table.row(first).is_histogram();
  for (const store::Position p : members.subspan(1)) {
    const store::DistributionRow& r = table.row(p);
    if (r.is_histogram() != histogram) continue;
    if (!side.summed) side.summed = side.first->repr;
    add_stored(*side.summed, table, p);
    side.more.emplace_back(r.id, r.version);
    if (db.position_of_id(r.id) != p) side.cacheable = false;
  }
  return side;
}

}  // namespace

Result<ResolvedSide> resolve_side(const store::Database& db, std::string_view variable,
                                  const Filter& filter) {
  if (auto side = exact_side(db, variable, filter)) return std::move(*side);
  return roll_up(db, variable, filter, db.matching_distributions(variable, filter));
}

Result<ResolvedSide> resolve_side_among(const store::Database& db, std::string_view variable,
                                        const Filter& filter, std::span<const store::Position> members) {
  if (auto side = exact_side(db, variable, filter)) return std::move(*side);
  return roll_up(db, variable, filter, members);
}

Result<model::DistributionObject> resolve_distribution(const store::Database& db,
                                                       std::string_view variable,
                                                       const Filter& filter) {
  QUOR_ASSIGN_OR_RETURN(ResolvedSide side, resolve_side(db, variable, filter));
  model::DistributionObject out = *side.first;
  if (!side.rolled_up) return out;
  if (side.summed) out.repr = std::move(*side.summed);
  out.sample_count = out.repr.total_count();
  out.entropy = repr_counts_entropy(out.repr);
  return out;
}

}  // namespace quor::analytics
