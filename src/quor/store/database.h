// The in-memory state of one open database directory, and the operations that
// change or search it (opening, flushing and releasing live elsewhere).
//
// A Database owns everything by value; searches hand out references into it
// or copies. It has no lock of its own: changing operations need exclusive
// access, searches shared access. Nothing here reads or writes a file.
#pragma once

#include <cassert>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quor/store/engine_error.h"
#include "quor/store/binary_codec.h"
#include "quor/store/dim_key.h"
#include "quor/store/distribution_table.h"
#include "quor/store/flush_state.h"
#include "quor/store/lock_file.h"
#include "quor/store/lookups.h"
#include "quor/store/name_index.h"
#include "quor/model/model.h"
#include "quor/store/raw_log.h"
#include "quor/util/error.h"
#include "quor/util/saturating.h"

namespace quor::store {

// Sums shown to Python; joint distributions count nowhere.
struct DatabaseStats {
  uint64_t distributions = 0;
  uint64_t total_samples = 0;
  uint64_t variables = 0;
  uint64_t dimensions = 0;
  bool operator==(const DatabaseStats&) const = default;
};

// A variable pair in the order joints store it: the byte-wise lesser name
// first (equal names keep `a` first).
inline std::pair<std::string_view, std::string_view> joint_pair_order(std::string_view a,
                                                                      std::string_view b) {
  if (b < a) return {b, a};
  return {a, b};
}

// Counts bound for one marginal in flat form: `cells[i]` for bin or category
// i, `unknown` for values outside the categories, `total_only` for counts
// that raise the total and no cell.
struct CellCounts {
  bool categorical = false;  // category counts (else bin counts)
  std::span<const uint64_t> cells;
  uint64_t unknown = 0;
  uint64_t total_only = 0;
};

// Brings a marginal's derived fields up to date after counts were added:
// sample_count = total_count, entropy recomputed, version raised by
// `batches` (one per finalising call it stands for), last_updated = `now`.
void finalize_distribution(model::DistributionObject& d, uint64_t now, uint64_t batches = 1);

// Shannon entropy in bits of a representation's cells over its total_count:
// +0.0 when the total is 0, otherwise a sum started from -0.0 (so a total in
// one cell, or in no cell, gives -0.0).
double repr_entropy(const model::DistributionRepr& repr);

// A new object with version 1, entropy 0.0, sample_count = total_count,
// raw_record_range (0, 0) and last_updated = now.
model::DistributionObject new_distribution_object(uint64_t id, std::string variable, model::DimensionMap map,
                                           model::DistributionRepr repr);
// One zero histogram per category, in category order.
std::vector<model::DistributionRepr> empty_histograms_per_category(
    const std::vector<std::string>& categories, model::Range range, uint32_t bins);

// The cells a distribution of `objects` has on average (0 for none).
size_t cells_per_distribution(std::span<const model::DistributionObject> objects);

// The marginal distributions live in a DistributionTable (lean rows, see
// distribution_table.h); `records()` gives them, with the joints, as the
// stored record, and `load_records` replaces them with one. Searches answer
// from the table's index and ids and from postings per variable and per
// dimension value, built by the first search that needs them and extended
// by later ones over what was appended since (safely, also when searches
// run side by side). Joints are held as their records; whoever appends to
// `joints` directly or edits a stored joint's variables or key must call
// reset_id_order() before the next search. The schema's lists may be
// appended to directly; whoever replaces or renames their definitions in
// place calls reset_id_order() too.
class Database {
 public:
  std::optional<LockFile> lock_file;
  std::filesystem::path dir;
  model::MetaFile meta;
  DistributionTable distributions;
  std::vector<model::JointDistributionObject> joints;
  std::optional<RawLog> raw_log;
  model::SnapshotStore snapshots;
  bool writable = false;
  // What the data files hold as far as open and flush know (see
  // flush_state.h). Not part of the database's state. The changing
  // operations below raise its generation; code that edits the records
  // directly calls flush_state.note_change().
  FlushState flush_state;

  Database() = default;
  Database(Database&&) noexcept = default;
  Database& operator=(Database&&) noexcept = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The stored record of the distributions and joints (a copy), and its
  // replacement (the index then follows the new distributions).
  model::DistributionFile records() const;
  void load_records(model::DistributionFile file);
  // The same in steps, for a record handed on as it is read: begin_loading
  // empties the table, the caller then appends to `distributions` (records
  // in order, after reserving), and finish_loading takes the joints.
  void begin_loading();
  void finish_loading(std::vector<model::JointDistributionObject> file_joints);
  // The same record made part by part from the table (for encoding it
  // without holding it whole); valid while the database is not changed.
  DistributionFileSource record_source() const;
  // The stored record of the index.
  model::DistIndex index_record() const { return distributions.index_record(); }
  // Writes `id` under the index key of (variable, map), as a stored index
  // might hold it; the index keeps its text form from here on.
  void index_insert(std::string_view variable, const model::DimensionMap& map, uint64_t id) {
    flush_state.note_change();
    distributions.index_insert(variable, map, id);
  }

  // Appends a variable / dimension to the schema. Refused first with
  // "database opened in read-only mode"; a validation failure becomes the
  // message "schema validation error: ...". The schema is unchanged on failure.
  Status add_variable(model::VariableDefinition def);
  Status add_dimension(model::DimensionDefinition def);

  // The first variable / dimension definition with this name, if any. One
  // hash lookup once a changing operation or reset_id_order() has seen the
  // schema's lists as they are; a scan before.
  const model::VariableDefinition* find_variable(std::string_view name) const;
  const model::DimensionDefinition* find_dimension(std::string_view name) const;

  // Every value that marginal distributions hold for dimension `name`, once
  // each, in byte-wise order. Costs the values listed, not the store.
  std::set<std::string> dimension_values(std::string_view name) const;
  // dimension_values(name).contains(values[i]) for every i, into `out[i]`
  // (1 or 0), without listing the values.
  void has_dimension_values(std::string_view name, std::span<const std::string_view> values,
                            std::vector<char>& out) const;

  // The id of the distribution of (variable, map), created with zero counts
  // when absent. Fails with "unknown variable '{}'" and changes nothing when
  // the variable is not in the schema, and with "distribution id counter
  // exhausted" when the counter has no id left (it never wraps). Does not
  // check `writable`.
  Result<uint64_t> ensure_distribution(std::string_view variable, const model::DimensionMap& map);
  // The same for a key already in the table's numbers (`key` in key order,
  // `variable` the table's number of the name, kNoId when it has none
  // yet), stamping a new distribution with `now`. Sets `position` to the
  // distribution's position (when the id names one).
  Result<uint64_t> ensure_distribution(std::string_view variable, std::span<const KeyEntry> key,
                                       uint64_t now, std::optional<Position>& position);
  // What ensure_distribution(variable, key, ...) does before it creates,
  // done once for a batch that creates many distributions of `variable`
  // through the table itself (DistributionTable::find_or_append_empty):
  // notes the change and gives the variable's definition, nullptr when the
  // schema lacks it. The caller then takes ids from meta.next_distribution_id.
  const model::VariableDefinition* variable_to_create(std::string_view variable);

  // The one way counts reach a stored marginal: adds counts to the marginal
  // at `p`. Category counts go only to a categorical, bin counts only to a
  // histogram; any other pairing changes nothing. A cell past the marginal's
  // list raises only total_count. Every addition saturates.
  // finalize_distribution then brings the derived fields up to date (as the
  // free finalize_distribution does for an object).
  void add_cell_counts(Position p, const CellCounts& counts);
  void finalize_distribution(Position p, uint64_t now, uint64_t batches = 1);

  // Creates the zero joint of (a, b, map) unless it exists. Fails with
  // "joint variables not found in schema" when either variable is missing,
  // then with "joint id counter exhausted" when the counter has no id left.
  // Does not check `writable`.
  Status ensure_joint(std::string_view a, std::string_view b, const model::DimensionMap& map);
  // The first joint in list order of the pair (in either order) whose
  // dimension_key equals `map`. One hash lookup.
  const model::JointDistributionObject* find_joint(std::string_view a, std::string_view b,
                                            const model::DimensionMap& map) const;
  model::JointDistributionObject* find_joint_mut(std::string_view a, std::string_view b,
                                          const model::DimensionMap& map);

  // The first distribution of `variable` whose dimension_key holds every
  // entry of `filter` (an empty filter matches the first of the variable).
  // Visits only the shortest posting among the variable's and the entries'.
  template <class FilterMap>
  std::optional<Position> find_position(std::string_view variable, const FilterMap& filter) const {
    thread_local std::vector<KeyEntry> want;
    for (Position p : candidates(variable, filter, want))
      if (distributions.key_holds(p, want)) return p;
    return std::nullopt;
  }

  // Every distribution of `variable` whose dimension_key holds each entry of
  // `filter`, in storage order (an empty filter gives all of the variable).
  // Costs the shortest posting among the variable's and the entries'.
  std::vector<Position> matching_distributions(std::string_view variable,
                                               const model::DimensionMap& filter) const;

  // The first marginal distribution in list order with this id. O(1) for any
  // ids.
  std::optional<Position> position_of_id(uint64_t id) const { return distributions.position_of_id(id); }
  std::optional<model::DistributionObject> distribution_by_id(uint64_t id) const {
    return record_at(position_of_id(id));
  }
  // The distribution the index holds for (variable, map), if any.
  std::optional<Position> lookup_position(std::string_view variable, const model::DimensionMap& map) const {
    return distributions.lookup(variable, map);
  }
  std::optional<model::DistributionObject> lookup_distribution(std::string_view variable,
                                                               const model::DimensionMap& map) const {
    return record_at(lookup_position(variable, map));
  }
  // The id the index holds for (variable, map), if any.
  std::optional<uint64_t> index_lookup(std::string_view variable, const model::DimensionMap& map) const {
    return distributions.lookup_id(variable, map);
  }
  // A copy of the stored record of the distribution at `p`.
  model::DistributionObject distribution(Position p) const { return distributions.record(p); }
  std::optional<model::DistributionObject> record_at(std::optional<Position> p) const {
    if (!p) return std::nullopt;
    return distributions.record(*p);
  }

  DatabaseStats database_stats() const;

  // Rebuilds the joints' lookups and forgets the postings. Call after
  // appending to `joints` directly or editing a stored joint's identity.
  void reset_id_order();

 private:
  // The shortest of the variable's posting and the postings of the filter's
  // entries: a superset of the matches, in storage order. `want` gets the
  // filter in the table's numbers (empty span when nothing can match).
  template <class FilterMap>
  std::span<const Position> candidates(std::string_view variable, const FilterMap& filter,
                                       std::vector<KeyEntry>& want) const {
    want.clear();
    const uint32_t v = distributions.find_variable(variable);
    if (v == kNoId) return {};
    for (const auto& [name, value] : filter) {
      const uint32_t d = distributions.find_dimension(name);
      if (d == kNoId) return {};
      const uint32_t l = distributions.find_label(d, value);
      if (l == kNoId) return {};
      want.push_back({d, l});
    }
    lookups_.refresh_postings(distributions);
    std::span<const Position> best = lookups_.of_variable(v);
    for (const KeyEntry& e : want) {
      if (best.empty()) break;
      std::span<const Position> list = lookups_.of_value(v, e);
      if (list.size() < best.size()) best = list;
    }
    return best;
  }

  // Rebuilds the joint lookups when `joints` grew behind their back.
  void catch_up_lookups();
  // Brings the name indexes up to the schema's lists.
  void sync_names();

  DistributionLookups lookups_;
  NameIndex variable_names_;
  NameIndex dimension_names_;
};

}  // namespace quor::store
