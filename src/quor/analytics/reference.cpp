#include "quor/analytics/reference.h"

#include "quor/math/measures.h"
#include "quor/store/dim_key.h"
#include "quor/store/engine_error.h"

namespace quor::analytics {

namespace {

// Decodes one UTF-8 code point at `i` (advancing it); an invalid byte reads
// as itself and is no white space.
char32_t next_code_point(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](size_t k) -> int {
    if (i + k >= s.size()) return -1;
    const auto b = static_cast<unsigned char>(s[i + k]);
    return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
  };
  if (b0 < 0x80) {
    i += 1;
    return b0;
  }
  int len = (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  char32_t cp = len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int k = 1; k < len; ++k) {
    int c = cont(k);
    if (c < 0) {
      len = 0;
      break;
    }
    cp = (cp << 6) | static_cast<char32_t>(c);
  }
  if (len == 0) {
    i += 1;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool only_white_space(std::string_view s) {
  size_t i = 0;
  while (i < s.size())
    if (!is_unicode_space(next_code_point(s, i))) return false;
  return true;
}

uint64_t sat_add(uint64_t a, uint64_t b) { return store::add_counts(a, b); }

// Adds `from` into `into` position by position over the shared positions.
void add_positions(std::vector<uint64_t>& into, const std::vector<uint64_t>& from) {
  const size_t n = std::min(into.size(), from.size());
  for (size_t i = 0; i < n; ++i) into[i] = sat_add(into[i], from[i]);
}

void add_repr(model::DistributionRepr& into, const model::DistributionRepr& from) {
  if (auto* h = std::get_if<model::HistogramRepr>(&into)) {
    const auto& f = std::get<model::HistogramRepr>(from);
    add_positions(h->bin_counts, f.bin_counts);
    h->total_count = sat_add(h->total_count, f.total_count);
  } else {
    auto& c = std::get<model::CategoricalRepr>(into);
    const auto& f = std::get<model::CategoricalRepr>(from);
    add_positions(c.counts, f.counts);
    c.unknown_count = sat_add(c.unknown_count, f.unknown_count);
    c.total_count = sat_add(c.total_count, f.total_count);
  }
}

double repr_counts_entropy(const model::DistributionRepr& repr) {
  if (const auto* h = std::get_if<model::HistogramRepr>(&repr))
    return math::shannon_entropy(h->bin_counts, h->total_count);
  const auto& c = std::get<model::CategoricalRepr>(repr);
  return math::shannon_entropy(c.counts, c.total_count);
}

}  // namespace

Result<ParsedReference> parse_reference(std::string_view text) {
  if (only_white_space(text)) return Error("reference cannot be empty");
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
  auto id = store::index_lookup(db.index, variable, filter);
  const model::DistributionObject* d = id ? db.distribution_by_id(*id) : nullptr;
  if (d == nullptr) return std::nullopt;
  ResolvedSide side;
  side.first = d;
  return side;
}

// The roll-up of `members` (storage order): the first, plus every later one
// of the first's kind.
Result<ResolvedSide> roll_up(const store::Database& db, std::string_view variable,
                             const Filter& filter,
                             std::span<const model::DistributionObject* const> members) {
  if (members.empty()) return distribution_not_found_error(variable, filter);
  ResolvedSide side;
  side.rolled_up = true;
  side.first = members.front();
  side.cacheable = db.distribution_by_id(side.first->id) == side.first;
  for (const model::DistributionObject* d : members.subspan(1)) {
    if (d->repr.index() != side.first->repr.index()) continue;
    if (!side.summed) side.summed = side.first->repr;
    add_repr(*side.summed, d->repr);
    side.more.emplace_back(d->id, d->version);
    if (db.distribution_by_id(d->id) != d) side.cacheable = false;
  }
  return side;
}

}  // namespace

Result<ResolvedSide> resolve_side(const store::Database& db, std::string_view variable,
                                  const Filter& filter) {
  if (auto side = exact_side(db, variable, filter)) return std::move(*side);
  return roll_up(db, variable, filter, db.matching_distributions(variable, filter));
}

Result<ResolvedSide> resolve_side_among(
    const store::Database& db, std::string_view variable, const Filter& filter,
    std::span<const model::DistributionObject* const> members) {
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
