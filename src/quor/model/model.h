// The persistent records of a database.
//
// Every record is a plain value that owns its contents; copying a record
// copies everything inside it. Fields are declared in their stored order:
// the binary form writes them in this order without names and the JSON form
// uses this order for its array form and the field names as object keys.
// Variant records derive from std::variant; the alternative's position is
// its stored index and its name the JSON tag.
//
// Ordered maps (`DimensionMap`) are std::map<std::string, std::string>, kept
// and visited in byte-wise key order (std::string compares as unsigned char).
// Unordered maps are std::unordered_map, or for the index the flat
// util::TextIdMap; nothing depends on their order.
//
// The readers check only the encoding, never the invariants stated here.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quor/util/text_id_map.h"

namespace quor::model {

// Dimension name -> dimension value, in byte-wise order of the names.
using DimensionMap = std::map<std::string, std::string>;

// Minimum and maximum of a histogram.
using Range = std::pair<double, double>;

// Values counted in `bins` equal-width bins over `range` (0.0 to 1.0 when
// absent). A variable being added must have bins > 0.
struct ContinuousType {
  uint32_t bins = 0;
  std::optional<Range> range;
  bool operator==(const ContinuousType&) const = default;
};

// Values counted per category in the order of `categories`; with
// `allow_unknown` an outside value is counted as unknown. A variable being
// added must have at least one category.
struct CategoricalType {
  std::vector<std::string> categories;
  bool allow_unknown = false;
  bool operator==(const CategoricalType&) const = default;
};

// Index 0 `Continuous`, index 1 `Categorical`.
struct VariableType : std::variant<ContinuousType, CategoricalType> {
  using Continuous = ContinuousType;
  using Categorical = CategoricalType;
  using variant::variant;
  bool is_continuous() const { return index() == 0; }
  bool is_categorical() const { return index() == 1; }
};

// One variable; `name` is also the input column (or record key) of its values.
struct VariableDefinition {
  std::string name;
  VariableType var_type;
  bool operator==(const VariableDefinition&) const = default;
};

// One dimension; `granularity` "daily", "weekly", "monthly" or "yearly"
// buckets date values, any other text (or none) leaves values unchanged.
struct DimensionDefinition {
  std::string name;
  std::string source_column;
  std::optional<std::string> granularity;
  bool operator==(const DimensionDefinition&) const = default;
};

// The database's schema. Variable names are unique among `variables` and
// dimension names among `dimensions` (kept by the schema edits).
struct Schema {
  std::vector<VariableDefinition> variables;
  std::vector<DimensionDefinition> dimensions;
  std::vector<std::pair<std::string, std::string>> joints;
  bool operator==(const Schema&) const = default;
};

// The content of "meta.edb".
struct MetaFile {
  Schema schema;
  uint64_t next_distribution_id = 1;
  uint64_t next_joint_id = 1;
  uint64_t next_raw_record_id = 1;
  uint32_t format_version = 3;
  bool raw_log_enabled = true;
  uint64_t high_water_mark = 0;
  bool operator==(const MetaFile&) const = default;
};

// Equal-width bins between `min` and `max`. `total_count` counts every
// observation applied, including those whose bin lay beyond `bin_counts`.
struct HistogramRepr {
  double min = 0.0;
  double max = 1.0;
  std::vector<uint64_t> bin_counts;
  uint64_t total_count = 0;
  bool operator==(const HistogramRepr&) const = default;
};

// Counts per category; `total_count` includes `unknown_count`.
struct CategoricalRepr {
  std::vector<std::string> categories;
  std::vector<uint64_t> counts;
  uint64_t unknown_count = 0;
  uint64_t total_count = 0;
  bool operator==(const CategoricalRepr&) const = default;
};

// Index 0 `Histogram`, index 1 `Categorical`.
struct DistributionRepr : std::variant<HistogramRepr, CategoricalRepr> {
  using Histogram = HistogramRepr;
  using Categorical = CategoricalRepr;
  using variant::variant;
  bool is_histogram() const { return index() == 0; }
  bool is_categorical() const { return index() == 1; }
  // The `total_count` of whichever alternative is held.
  uint64_t total_count() const {
    return std::visit([](const auto& r) { return r.total_count; },
                      static_cast<const variant&>(*this));
  }
};

// One marginal distribution: the counts of one variable for one combination
// of dimension values. At most one exists per (variable, dimension_key).
struct DistributionObject {
  uint64_t id = 0;
  std::string variable;
  DimensionMap dimension_key;
  DistributionRepr repr;
  uint64_t sample_count = 0;
  double entropy = 0.0;
  uint64_t last_updated = 0;
  uint64_t version = 1;
  std::pair<uint64_t, uint64_t> raw_record_range{0, 0};
  bool operator==(const DistributionObject&) const = default;
};

// Both variables continuous: `x_bins` rows of `y_bins` cells.
struct HistogramGridRepr {
  double x_min = 0.0;
  double x_max = 1.0;
  uint32_t x_bins = 0;
  double y_min = 0.0;
  double y_max = 1.0;
  uint32_t y_bins = 0;
  std::vector<std::vector<uint64_t>> counts;
  uint64_t total_count = 0;
  bool operator==(const HistogramGridRepr&) const = default;
};

// Both variables categorical: one row per x category, one cell per y category.
struct ContingencyTableRepr {
  std::vector<std::string> x_categories;
  std::vector<std::string> y_categories;
  std::vector<std::vector<uint64_t>> counts;
  uint64_t total_count = 0;
  bool operator==(const ContingencyTableRepr&) const = default;
};

// One categorical and one continuous variable: one histogram of the
// continuous values per category of the categorical one.
struct ConditionalHistogramsRepr {
  std::vector<std::string> condition_categories;
  std::vector<DistributionRepr> histograms;
  uint64_t total_count = 0;
  bool operator==(const ConditionalHistogramsRepr&) const = default;
};

// Index 0 `HistogramGrid`, 1 `ContingencyTable`, 2 `ConditionalHistograms`.
struct JointRepr
    : std::variant<HistogramGridRepr, ContingencyTableRepr, ConditionalHistogramsRepr> {
  using HistogramGrid = HistogramGridRepr;
  using ContingencyTable = ContingencyTableRepr;
  using ConditionalHistograms = ConditionalHistogramsRepr;
  using variant::variant;
  uint64_t total_count() const {
    return std::visit([](const auto& r) { return r.total_count; },
                      static_cast<const variant&>(*this));
  }
};

// One joint distribution of a variable pair; `variables` holds the byte-wise
// lesser name first (the x variable). Joint ids are their own sequence.
struct JointDistributionObject {
  uint64_t id = 0;
  std::pair<std::string, std::string> variables;
  DimensionMap dimension_key;
  JointRepr repr;
  uint64_t sample_count = 0;
  uint64_t last_updated = 0;
  uint64_t version = 1;
  bool operator==(const JointDistributionObject&) const = default;
};

// The content of "distributions.edb": both lists in creation order.
struct DistributionFile {
  std::vector<DistributionObject> distributions;
  std::vector<JointDistributionObject> joints;
  bool operator==(const DistributionFile&) const = default;
};

// The content of "dist_index.edb": index key -> marginal distribution id.
struct DistIndex {
  util::TextIdMap by_key;
  bool operator==(const DistIndex&) const = default;
};

// One saved distribution; kept as loaded, never created or read.
struct SnapshotEntry {
  uint64_t version = 0;
  uint64_t timestamp = 0;
  DistributionObject distribution;
  bool operator==(const SnapshotEntry&) const = default;
};

// The content of "snapshots.edb"; written back exactly as loaded.
struct SnapshotStore {
  std::unordered_map<std::string, std::vector<SnapshotEntry>> entries;
  bool operator==(const SnapshotStore&) const = default;
};

}  // namespace quor::model
