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

namespace {

EngineError schema_invalid(std::string message) {
  return EngineError{EngineErrorKind::SchemaValidation, std::move(message)};
}

// Appends `def` unless its name is taken (`taken`, as the caller found it)
// or it defines nothing to count, tested in that order.
std::optional<EngineError> append_variable(model::Schema& schema, model::VariableDefinition def,
                                           bool taken) {
  if (taken) return schema_invalid("variable '" + def.name + "' already exists");
  if (const auto* cat = std::get_if<model::CategoricalType>(&def.var_type)) {
    if (cat->categories.empty())
      return schema_invalid("variable '" + def.name + "' must define at least one category");
  } else if (std::get<model::ContinuousType>(def.var_type).bins == 0) {
    return schema_invalid("variable '" + def.name + "' must have bins > 0");
  }
  schema.variables.push_back(std::move(def));
  return std::nullopt;
}

std::optional<EngineError> append_dimension(model::Schema& schema, model::DimensionDefinition def,
                                            bool taken) {
  if (taken) return schema_invalid("dimension '" + def.name + "' already exists");
  schema.dimensions.push_back(std::move(def));
  return std::nullopt;
}

}  // namespace

Status Database::add_variable(model::VariableDefinition def) {
  if (!writable) return read_only_error();
  flush_state.note_change();
  sync_names();
  const bool taken = find_variable(def.name) != nullptr;
  if (auto e = append_variable(meta.schema, std::move(def), taken)) return engine_error_to_message(*e);
  sync_names();
  return ok_status();
}

Status Database::add_dimension(model::DimensionDefinition def) {
  if (!writable) return read_only_error();
  flush_state.note_change();
  sync_names();
  const bool taken = find_dimension(def.name) != nullptr;
  if (auto e = append_dimension(meta.schema, std::move(def), taken)) return engine_error_to_message(*e);
  sync_names();
  return ok_status();
}

const model::VariableDefinition* Database::find_variable(std::string_view name) const {
  return variable_names_.find(meta.schema.variables, name);
}

const model::DimensionDefinition* Database::find_dimension(std::string_view name) const {
  return dimension_names_.find(meta.schema.dimensions, name);
}

void Database::sync_names() {
  variable_names_.sync(meta.schema.variables);
  dimension_names_.sync(meta.schema.dimensions);
}

model::DistributionFile Database::records() const {
  model::DistributionFile out;
  out.distributions.reserve(distributions.size());
  for (Position p = 0; p < distributions.size(); ++p) out.distributions.push_back(distributions.record(p));
  out.joints = joints;
  return out;
}

DistributionFileSource Database::record_source() const {
  DistributionFileSource out;
  out.distributions = distributions.size();
  out.view = [this](size_t p, DistributionView& v) { distributions.view(static_cast<Position>(p), v); };
  out.joints = &joints;
  return out;
}

size_t cells_per_distribution(std::span<const model::DistributionObject> objects) {
  if (objects.empty()) return 0;
  size_t cells = 0;
  for (const auto& d : objects)
    cells += std::visit([](const auto& r) {
      if constexpr (std::is_same_v<std::decay_t<decltype(r)>, model::HistogramRepr>)
        return r.bin_counts.size();
      else
        return r.counts.size();
    }, static_cast<const model::DistributionRepr::variant&>(d.repr));
  return cells / objects.size();
}

void Database::begin_loading() {
  flush_state.note_change();
  distributions = DistributionTable{};
}

void Database::finish_loading(std::vector<model::JointDistributionObject> file_joints) {
  flush_state.note_change();
  joints = std::move(file_joints);
  lookups_.forget_postings();
  lookups_.rebuild_joints(joints);
}

void Database::load_records(model::DistributionFile file) {
  begin_loading();
  if (!file.distributions.empty())
    distributions.reserve(file.distributions.size(), cells_per_distribution(file.distributions));
  for (auto& d : file.distributions) {
    distributions.append_record(d);
    d = model::DistributionObject{};  // its memory goes back as the table fills
  }
  finish_loading(std::move(file.joints));
}

std::set<std::string> Database::dimension_values(std::string_view name) const {
  std::set<std::string> out;
  const uint32_t d = distributions.find_dimension(name);
  if (d == kNoId) return out;
  // Every label of the table belongs to some stored distribution's key.
  const size_t n = distributions.label_count(d);
  std::vector<std::string_view> labels(n);
  for (uint32_t l = 0; l < n; ++l) labels[l] = distributions.label(d, l);
  std::sort(labels.begin(), labels.end());
  for (std::string_view l : labels) out.emplace_hint(out.end(), l);
  return out;
}

void Database::has_dimension_values(std::string_view name, std::span<const std::string_view> values,
                                    std::vector<char>& out) const {
  out.assign(values.size(), 0);
  const uint32_t d = distributions.find_dimension(name);
  if (d == kNoId) return;
  for (size_t i = 0; i < values.size(); ++i) out[i] = distributions.find_label(d, values[i]) != kNoId;
}

std::vector<Position> Database::matching_distributions(std::string_view variable,
                                                       const model::DimensionMap& filter) const {
  std::vector<Position> out;
  std::vector<KeyEntry> want;
  for (Position p : candidates(variable, filter, want))
    if (distributions.key_holds(p, want)) out.push_back(p);
  return out;
}

Result<uint64_t> Database::ensure_distribution(std::string_view variable,
                                               const model::DimensionMap& map) {
  // A known distribution is found whatever the schema and counters say.
  if (auto known = distributions.lookup_id(variable, map)) return *known;
  flush_state.note_change();
  sync_names();
  const model::VariableDefinition* def = find_variable(variable);
  if (def == nullptr) return unknown_variable_error(variable);
  const uint64_t id = meta.next_distribution_id;
  if (id == UINT64_MAX) return Error("distribution id counter exhausted");
  if (distributions.size() >= kMaxPositions) return Error("too many distributions");
  thread_local std::vector<KeyEntry> key;
  distributions.intern_key(map, key);
  const uint32_t v = distributions.intern_variable(variable);
  distributions.append_empty(id, v, key, *def, unix_now_seconds());
  meta.next_distribution_id = id + 1;
  return id;
}

Result<uint64_t> Database::ensure_distribution(std::string_view variable, std::span<const KeyEntry> key,
                                               uint64_t now, std::optional<Position>& position) {
  flush_state.note_change();
  sync_names();
  uint32_t v = distributions.find_variable(variable);
  if (v != kNoId) {
    if (auto known = distributions.lookup_id(v, key)) {
      position = distributions.position_of_id(*known);
      return *known;
    }
  } else if (distributions.text_indexed()) {
    // A text index may name (variable, key) before the table knows the
    // variable's name.
    if (auto known = distributions.lookup_id(variable, distributions.dimension_map(key))) {
      position = distributions.position_of_id(*known);
      return *known;
    }
  }
  const model::VariableDefinition* def = find_variable(variable);
  if (def == nullptr) return unknown_variable_error(variable);
  const uint64_t id = meta.next_distribution_id;
  if (id == UINT64_MAX) return Error("distribution id counter exhausted");
  if (distributions.size() >= kMaxPositions) return Error("too many distributions");
  if (v == kNoId) v = distributions.intern_variable(variable);
  position = distributions.append_empty(id, v, key, *def, now);
  meta.next_distribution_id = id + 1;
  return id;
}

const model::VariableDefinition* Database::variable_to_create(std::string_view variable) {
  flush_state.note_change();
  sync_names();
  return find_variable(variable);
}

namespace {

// Adds flat counts to cells and a total (see Database::add_cell_counts).
void add_flat(std::span<uint64_t> cells, uint64_t& total, const CellCounts& counts) {
  const size_t n = counts.cells.size();
  const size_t in_list = std::min(n, cells.size());
  for (size_t i = 0; i < n; ++i) {
    const uint64_t c = counts.cells[i];
    if (c == 0) continue;
    if (i < in_list) cells[i] = util::add_saturating(cells[i], c);
    total = util::add_saturating(total, c);
  }
  total = util::add_saturating(total, counts.total_only);
}

}  // namespace

void Database::add_cell_counts(Position p, const CellCounts& counts) {
  flush_state.note_change();
  DistributionRow& r = distributions.row(p);
  if (r.is_histogram() == counts.categorical) return;  // a kind mismatch changes nothing
  add_flat(distributions.cells(p), r.total_count, counts);
  if (counts.categorical) {
    r.unknown_count = util::add_saturating(r.unknown_count, counts.unknown);
    r.total_count = util::add_saturating(r.total_count, counts.unknown);
  }
}

void finalize_distribution(model::DistributionObject& d, uint64_t now, uint64_t batches) {
  d.sample_count = d.repr.total_count();
  d.entropy = repr_entropy(d.repr);
  d.version += batches;
  d.last_updated = now;
}

void Database::finalize_distribution(Position p, uint64_t now, uint64_t batches) {
  flush_state.note_change();
  DistributionRow& r = distributions.row(p);
  r.sample_count = r.total_count;
  r.entropy = math::shannon_entropy(distributions.cells(p), r.total_count);
  r.version += batches;
  r.last_updated = now;
}

Status Database::ensure_joint(std::string_view a, std::string_view b, const model::DimensionMap& map) {
  flush_state.note_change();
  catch_up_lookups();
  if (find_joint(a, b, map) != nullptr) return ok_status();
  auto [xn, yn] = joint_pair_order(a, b);
  sync_names();
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
  if (joints.size() >= kMaxPositions) return Error("too many joint distributions");
  model::JointDistributionObject j;
  j.id = meta.next_joint_id;
  meta.next_joint_id = j.id + 1;
  j.variables = {std::string(xn), std::string(yn)};
  j.dimension_key = map;
  j.repr = std::move(repr);
  j.sample_count = 0;
  j.last_updated = unix_now_seconds();
  j.version = 1;
  joints.push_back(std::move(j));
  lookups_.add_joint(joints.back(), joints.size() - 1);
  return ok_status();
}

const model::JointDistributionObject* Database::find_joint(std::string_view a, std::string_view b,
                                                    const model::DimensionMap& map) const {
  assert(lookups_.joints_covered() == joints.size());
  auto [x, y] = joint_pair_order(a, b);
  auto pos = lookups_.joint_position(x, y, map);
  if (!pos || *pos >= joints.size()) return nullptr;
  return &joints[*pos];
}

model::JointDistributionObject* Database::find_joint_mut(std::string_view a, std::string_view b,
                                                  const model::DimensionMap& map) {
  return const_cast<model::JointDistributionObject*>(std::as_const(*this).find_joint(a, b, map));
}

DatabaseStats Database::database_stats() const {
  DatabaseStats s;
  s.distributions = distributions.size();
  for (Position p = 0; p < distributions.size(); ++p)
    s.total_samples = util::add_saturating(s.total_samples, distributions.row(p).sample_count);
  s.variables = meta.schema.variables.size();
  s.dimensions = meta.schema.dimensions.size();
  return s;
}

void Database::reset_id_order() {
  lookups_.forget_postings();
  lookups_.rebuild_joints(joints);
  variable_names_ = NameIndex();
  dimension_names_ = NameIndex();
  sync_names();
}

void Database::catch_up_lookups() {
  if (lookups_.joints_covered() != joints.size()) lookups_.rebuild_joints(joints);
}

}  // namespace quor::store
