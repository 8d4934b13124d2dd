#include "quor/store/database.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "quor/math/measures.h"
#include "quor/store/dim_key.h"
#include "quor/util/clock.h"

namespace quor::store {

namespace {

model::Range range_or_unit(const std::optional<model::Range>& r) { return r ? *r : model::Range{0.0, 1.0}; }

Error read_only_error() { return Error(std::string(kReadOnlyMessage)); }

}  // namespace

double repr_entropy(const model::DistributionRepr& repr) {
  if (const auto* h = std::get_if<model::HistogramRepr>(&repr))
    return math::shannon_entropy(h->bin_counts, h->total_count);
  const auto& c = std::get<model::CategoricalRepr>(repr);
  return math::shannon_entropy(c.counts, c.total_count);
}

model::DistributionRepr empty_distribution_for(const model::VariableDefinition& def) {
  if (const auto* c = std::get_if<model::ContinuousType>(&def.var_type)) {
    model::Range r = range_or_unit(c->range);
    return model::HistogramRepr{r.first, r.second, std::vector<uint64_t>(c->bins, 0), 0};
  }
  const auto& cat = std::get<model::CategoricalType>(def.var_type);
  return model::CategoricalRepr{cat.categories, std::vector<uint64_t>(cat.categories.size(), 0), 0, 0};
}

model::DistributionObject new_distribution_object(uint64_t id, std::string variable, model::DimensionMap map,
                                           model::DistributionRepr repr) {
  model::DistributionObject d;
  d.id = id;
  d.variable = std::move(variable);
  d.dimension_key = std::move(map);
  d.sample_count = repr.total_count();
  d.repr = std::move(repr);
  d.entropy = 0.0;
  d.last_updated = unix_now_seconds();
  d.version = 1;
  d.raw_record_range = {0, 0};
  return d;
}

std::vector<model::DistributionRepr> empty_histograms_per_category(
    const std::vector<std::string>& categories, model::Range range, uint32_t bins) {
  std::vector<model::DistributionRepr> out;
  out.reserve(categories.size());
  for (size_t i = 0; i < categories.size(); ++i)
    out.emplace_back(model::HistogramRepr{range.first, range.second, std::vector<uint64_t>(bins, 0), 0});
  return out;
}

std::optional<EngineError> schema_add_variable(model::Schema& schema, model::VariableDefinition def) {
  auto invalid = [](std::string msg) {
    return EngineError{EngineErrorKind::SchemaValidation, std::move(msg)};
  };
  for (const auto& v : schema.variables)
    if (v.name == def.name) return invalid("variable '" + def.name + "' already exists");
  if (const auto* cat = std::get_if<model::CategoricalType>(&def.var_type)) {
    if (cat->categories.empty())
      return invalid("variable '" + def.name + "' must define at least one category");
  } else if (std::get<model::ContinuousType>(def.var_type).bins == 0) {
    return invalid("variable '" + def.name + "' must have bins > 0");
  }
  schema.variables.push_back(std::move(def));
  return std::nullopt;
}

std::optional<EngineError> schema_add_dimension(model::Schema& schema, model::DimensionDefinition def) {
  for (const auto& d : schema.dimensions)
    if (d.name == def.name)
      return EngineError{EngineErrorKind::SchemaValidation,
                         "dimension '" + def.name + "' already exists"};
  schema.dimensions.push_back(std::move(def));
  return std::nullopt;
}

Status Database::add_variable(model::VariableDefinition def) {
  if (!writable) return read_only_error();
  flush_state.note_change();
  if (auto e = schema_add_variable(meta.schema, std::move(def))) return engine_error_to_message(*e);
  return ok_status();
}

Status Database::add_dimension(model::DimensionDefinition def) {
  if (!writable) return read_only_error();
  flush_state.note_change();
  if (auto e = schema_add_dimension(meta.schema, std::move(def))) return engine_error_to_message(*e);
  return ok_status();
}

const model::VariableDefinition* Database::find_variable(std::string_view name) const {
  for (const auto& v : meta.schema.variables)
    if (v.name == name) return &v;
  return nullptr;
}

std::set<std::string> Database::dimension_values(std::string_view name) const {
  assert(lookups_.distributions_covered() == data.distributions.size());
  lookups_.refresh_postings(data.distributions);
  std::set<std::string> out;
  lookups_.collect_values(name, out);
  return out;
}

bool Database::has_dimension_value(std::string_view name, std::string_view value) const {
  assert(lookups_.distributions_covered() == data.distributions.size());
  lookups_.refresh_postings(data.distributions);
  return lookups_.holds_value(name, value);
}

void Database::has_dimension_values(std::string_view name, std::span<const std::string_view> values,
                                    std::vector<char>& out) const {
  assert(lookups_.distributions_covered() == data.distributions.size());
  lookups_.refresh_postings(data.distributions);
  lookups_.holds_values(name, values, out);
}

std::vector<const model::DistributionObject*> Database::matching_distributions(
    std::string_view variable, const model::DimensionMap& filter) const {
  std::vector<const model::DistributionObject*> out;
  for (Position p : candidates(variable, filter)) {
    const model::DistributionObject& d = data.distributions[p];
    if (key_holds(d.dimension_key, filter)) out.push_back(&d);
  }
  return out;
}

Result<uint64_t> Database::ensure_distribution(std::string_view variable,
                                               const model::DimensionMap& map) {
  // Creating many distributions one after another builds every key in one
  // buffer.
  thread_local std::string key;
  assign_index_key(key, variable, map);
  return ensure_distribution(variable, map, key);
}

Result<uint64_t> Database::ensure_distribution(std::string_view variable, const model::DimensionMap& map,
                                               std::string_view key) {
  flush_state.note_change();
  // A new distribution's key walks the index once: the checks that do not
  // depend on the key come first, so the lookup can be the insertion.
  const model::VariableDefinition* def = find_variable(variable);
  const uint64_t id = meta.next_distribution_id;
  auto& list = data.distributions;
  if (def == nullptr || id == UINT64_MAX || list.size() >= kMaxPositions) {
    // An existing distribution is found whatever the schema and counters say.
    if (const uint64_t* known = index.by_key.find_id(key)) return *known;
    if (def == nullptr) return unknown_variable_error(variable);
    if (id == UINT64_MAX) return Error("distribution id counter exhausted");
    return Error("too many distributions");
  }
  auto [entry, added] = index.by_key.try_emplace(key, id);
  if (!added) return entry->second;
  try {
    catch_up_lookups();
    list.push_back(new_distribution_object(id, std::string(variable), map,
                                           empty_distribution_for(*def)));
  } catch (...) {
    index.by_key.erase(key);
    throw;
  }
  meta.next_distribution_id = id + 1;
  lookups_.add_distribution(list.back(), list.size() - 1);
  return id;
}

Status Database::apply_counts(std::string_view variable, const model::DimensionMap& map,
                              const CountAccumulator& counts) {
  if (!writable) return read_only_error();
  auto ensured = ensure_distribution(variable, map);
  if (!ensured.ok()) return std::move(ensured).error();
  auto id = index_lookup(index, variable, map);
  if (!id) return Error("distribution index missing after ensure");
  model::DistributionObject* d = distribution_by_id_mut(*id);
  if (d == nullptr) return distribution_id_not_found_error(*id);

  // The sparse counts in flat form over the stored cells; numbers past them
  // raise only the total.
  const size_t ncells = std::visit(
      [](const auto& r) {
        if constexpr (std::is_same_v<std::decay_t<decltype(r)>, model::HistogramRepr>)
          return r.bin_counts.size();
        else
          return r.counts.size();
      },
      static_cast<const model::DistributionRepr::variant&>(d->repr));
  std::vector<uint64_t> cells(ncells, 0);
  CellCounts flat;
  auto put = [&](uint64_t i, uint64_t c) {
    if (i < ncells) cells[i] = util::add_saturating(cells[i], c);
    else flat.total_only = util::add_saturating(flat.total_only, c);
  };
  if (const auto* hc = std::get_if<HistogramCounts>(&counts)) {
    for (const auto& [bin, c] : hc->bins) put(bin, c);
  } else {
    const auto& cc = std::get<CategoricalCounts>(counts);
    flat.categorical = true;
    for (const auto& [i, c] : cc.known) put(i, c);
    flat.unknown = cc.unknown;
  }
  flat.cells = cells;
  add_cell_counts(d->repr, flat);
  return ok_status();
}

void add_cell_counts(model::DistributionRepr& repr, const CellCounts& counts) {
  auto add = [&](std::vector<uint64_t>& cells, uint64_t& total) {
    const size_t n = counts.cells.size();
    const size_t in_list = std::min(n, cells.size());
    for (size_t i = 0; i < n; ++i) {
      const uint64_t c = counts.cells[i];
      if (c == 0) continue;
      if (i < in_list) cells[i] = util::add_saturating(cells[i], c);
      total = util::add_saturating(total, c);
    }
    total = util::add_saturating(total, counts.total_only);
  };
  if (auto* h = std::get_if<model::HistogramRepr>(&repr)) {
    if (!counts.categorical) add(h->bin_counts, h->total_count);
  } else if (auto* cat = std::get_if<model::CategoricalRepr>(&repr)) {
    if (counts.categorical) {
      add(cat->counts, cat->total_count);
      cat->unknown_count = util::add_saturating(cat->unknown_count, counts.unknown);
      cat->total_count = util::add_saturating(cat->total_count, counts.unknown);
    }
  }
}

void finalize_distribution(model::DistributionObject& d, uint64_t now, uint64_t batches) {
  d.sample_count = d.repr.total_count();
  d.entropy = repr_entropy(d.repr);
  d.version += batches;
  d.last_updated = now;
}

void Database::finalize_updates(const TouchedSet& touched) {
  finalize_updates(touched, unix_now_seconds());
}

void Database::finalize_updates(const TouchedSet& touched, uint64_t now) {
  flush_state.note_change();
  for (const auto& [variable, map] : touched) {
    auto id = index_lookup(index, variable, map);
    if (!id) continue;
    model::DistributionObject* d = distribution_by_id_mut(*id);
    if (d == nullptr) continue;
    finalize_distribution(*d, now);
  }
}

Status Database::ensure_joint(std::string_view a, std::string_view b, const model::DimensionMap& map) {
  flush_state.note_change();
  catch_up_lookups();
  if (find_joint(a, b, map) != nullptr) return ok_status();
  auto [xn, yn] = joint_pair_order(a, b);
  const model::VariableDefinition* x = find_variable(xn);
  const model::VariableDefinition* y = find_variable(yn);
  if (x == nullptr || y == nullptr) return Error("joint variables not found in schema");

  model::JointRepr repr;
  const auto* xc = std::get_if<model::ContinuousType>(&x->var_type);
  const auto* yc = std::get_if<model::ContinuousType>(&y->var_type);
  if (xc && yc) {
    model::Range xr = range_or_unit(xc->range), yr = range_or_unit(yc->range);
    repr = model::HistogramGridRepr{xr.first, xr.second, xc->bins, yr.first, yr.second, yc->bins,
                             std::vector<std::vector<uint64_t>>(xc->bins,
                                                                std::vector<uint64_t>(yc->bins, 0)),
                             0};
  } else if (!xc && !yc) {
    const auto& xcat = std::get<model::CategoricalType>(x->var_type).categories;
    const auto& ycat = std::get<model::CategoricalType>(y->var_type).categories;
    repr = model::ContingencyTableRepr{
        xcat, ycat,
        std::vector<std::vector<uint64_t>>(xcat.size(), std::vector<uint64_t>(ycat.size(), 0)), 0};
  } else {
    const model::CategoricalType& cat = std::get<model::CategoricalType>(xc ? y->var_type : x->var_type);
    const model::ContinuousType& cont = xc ? *xc : *yc;
    repr = model::ConditionalHistogramsRepr{
        cat.categories,
        empty_histograms_per_category(cat.categories, range_or_unit(cont.range), cont.bins), 0};
  }

  if (meta.next_joint_id == UINT64_MAX) return Error("joint id counter exhausted");
  if (data.joints.size() >= kMaxPositions) return Error("too many joint distributions");
  model::JointDistributionObject j;
  j.id = meta.next_joint_id;
  meta.next_joint_id = j.id + 1;
  j.variables = {std::string(xn), std::string(yn)};
  j.dimension_key = map;
  j.repr = std::move(repr);
  j.sample_count = 0;
  j.last_updated = unix_now_seconds();
  j.version = 1;
  data.joints.push_back(std::move(j));
  lookups_.add_joint(data.joints.back(), data.joints.size() - 1);
  return ok_status();
}

const model::JointDistributionObject* Database::find_joint(std::string_view a, std::string_view b,
                                                    const model::DimensionMap& map) const {
  assert(lookups_.joints_covered() == data.joints.size());
  auto [x, y] = joint_pair_order(a, b);
  auto pos = lookups_.joint_position(x, y, map);
  if (!pos || *pos >= data.joints.size()) return nullptr;
  return &data.joints[*pos];
}

model::JointDistributionObject* Database::find_joint_mut(std::string_view a, std::string_view b,
                                                  const model::DimensionMap& map) {
  return const_cast<model::JointDistributionObject*>(std::as_const(*this).find_joint(a, b, map));
}

const model::DistributionObject* Database::distribution_by_id(uint64_t id) const {
  assert(lookups_.distributions_covered() == data.distributions.size());
  auto pos = lookups_.position_of_id(id, data.distributions);
  if (!pos || *pos >= data.distributions.size()) return nullptr;
  return &data.distributions[*pos];
}

model::DistributionObject* Database::distribution_by_id_mut(uint64_t id) {
  return const_cast<model::DistributionObject*>(std::as_const(*this).distribution_by_id(id));
}

const model::DistributionObject* Database::lookup_distribution(std::string_view variable,
                                                        const model::DimensionMap& map) const {
  auto id = index_lookup(index, variable, map);
  return id ? distribution_by_id(*id) : nullptr;
}

DatabaseStats Database::database_stats() const {
  DatabaseStats s;
  s.distributions = data.distributions.size();
  for (const auto& d : data.distributions) s.total_samples = util::add_saturating(s.total_samples, d.sample_count);
  s.variables = meta.schema.variables.size();
  s.dimensions = meta.schema.dimensions.size();
  return s;
}

void Database::reset_id_order() { lookups_.rebuild(data); }

void Database::catch_up_lookups() {
  if (lookups_.distributions_covered() != data.distributions.size() ||
      lookups_.joints_covered() != data.joints.size())
    lookups_.rebuild(data);
}

}  // namespace quor::store
