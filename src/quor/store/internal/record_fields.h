// The field lists of the stored records, written once.
//
// RecordFields<T> names each field of a record (or of a variant
// alternative's fields) in declaration order and hands it to a visitor:
//
//   each(record, visit) calls visit(field, "key") for every field in order
//   and stops at the first call that returns false (a writer's visitor
//   always returns true).
//
// The binary size pass, encoder and decoder and the JSON-form reader all
// walk these lists, so a field is added, moved or renamed in one place.
// `record` may be const (writers) or not (readers).
//
// The JSON form also needs, per record: its text in messages (`name`), the
// fields that may be missing from the object form (`absent_ok`, a bit per
// field; a missing one keeps its default) and the first field from which
// the array form may end early (`array_min`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quor/model/model.h"

namespace quor::store {

template <class T>
struct RecordFields;  // defined for every record below

// True for the types that have a field list.
template <class T>
concept FieldRecord = requires { RecordFields<T>::name; };

template <>
struct RecordFields<model::MetaFile> {
  static constexpr std::string_view name = "struct MetaFile";
  static constexpr uint32_t absent_ok = (1u << 5) | (1u << 6);
  static constexpr size_t array_min = 5;
  template <class R, class V>
  static bool each(R& m, V&& v) {
    return v(m.schema, "schema") && v(m.next_distribution_id, "next_distribution_id") &&
           v(m.next_joint_id, "next_joint_id") && v(m.next_raw_record_id, "next_raw_record_id") &&
           v(m.format_version, "format_version") && v(m.raw_log_enabled, "raw_log_enabled") &&
           v(m.high_water_mark, "high_water_mark");
  }
};

template <>
struct RecordFields<model::Schema> {
  static constexpr std::string_view name = "struct Schema";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 3;
  template <class R, class V>
  static bool each(R& s, V&& v) {
    return v(s.variables, "variables") && v(s.dimensions, "dimensions") && v(s.joints, "joints");
  }
};

template <>
struct RecordFields<model::VariableDefinition> {
  static constexpr std::string_view name = "struct VariableDefinition";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 2;
  template <class R, class V>
  static bool each(R& d, V&& v) {
    return v(d.name, "name") && v(d.var_type, "var_type");
  }
};

template <>
struct RecordFields<model::ContinuousType> {
  static constexpr std::string_view name = "struct variant VariableType::Continuous";
  static constexpr uint32_t absent_ok = 1u << 1;
  static constexpr size_t array_min = 2;
  template <class R, class V>
  static bool each(R& c, V&& v) {
    return v(c.bins, "bins") && v(c.range, "range");
  }
};

template <>
struct RecordFields<model::CategoricalType> {
  static constexpr std::string_view name = "struct variant VariableType::Categorical";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 2;
  template <class R, class V>
  static bool each(R& c, V&& v) {
    return v(c.categories, "categories") && v(c.allow_unknown, "allow_unknown");
  }
};

template <>
struct RecordFields<model::DimensionDefinition> {
  static constexpr std::string_view name = "struct DimensionDefinition";
  static constexpr uint32_t absent_ok = 1u << 2;
  static constexpr size_t array_min = 3;
  template <class R, class V>
  static bool each(R& d, V&& v) {
    return v(d.name, "name") && v(d.source_column, "source_column") &&
           v(d.granularity, "granularity");
  }
};

template <>
struct RecordFields<model::DistributionFile> {
  static constexpr std::string_view name = "struct DistributionFile";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 2;
  template <class R, class V>
  static bool each(R& f, V&& v) {
    return v(f.distributions, "distributions") && v(f.joints, "joints");
  }
};

template <>
struct RecordFields<model::DistributionObject> {
  static constexpr std::string_view name = "struct DistributionObject";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 9;
  template <class R, class V>
  static bool each(R& d, V&& v) {
    return v(d.id, "id") && v(d.variable, "variable") && v(d.dimension_key, "dimension_key") &&
           v(d.repr, "repr") && v(d.sample_count, "sample_count") && v(d.entropy, "entropy") &&
           v(d.last_updated, "last_updated") && v(d.version, "version") &&
           v(d.raw_record_range, "raw_record_range");
  }
};

template <>
struct RecordFields<model::HistogramRepr> {
  static constexpr std::string_view name = "struct variant DistributionRepr::Histogram";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 4;
  template <class R, class V>
  static bool each(R& h, V&& v) {
    return v(h.min, "min") && v(h.max, "max") && v(h.bin_counts, "bin_counts") &&
           v(h.total_count, "total_count");
  }
};

template <>
struct RecordFields<model::CategoricalRepr> {
  static constexpr std::string_view name = "struct variant DistributionRepr::Categorical";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 4;
  template <class R, class V>
  static bool each(R& c, V&& v) {
    return v(c.categories, "categories") && v(c.counts, "counts") &&
           v(c.unknown_count, "unknown_count") && v(c.total_count, "total_count");
  }
};

template <>
struct RecordFields<model::JointDistributionObject> {
  static constexpr std::string_view name = "struct JointDistributionObject";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 7;
  template <class R, class V>
  static bool each(R& j, V&& v) {
    return v(j.id, "id") && v(j.variables, "variables") && v(j.dimension_key, "dimension_key") &&
           v(j.repr, "repr") && v(j.sample_count, "sample_count") &&
           v(j.last_updated, "last_updated") && v(j.version, "version");
  }
};

template <>
struct RecordFields<model::HistogramGridRepr> {
  static constexpr std::string_view name = "struct variant JointRepr::HistogramGrid";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 8;
  template <class R, class V>
  static bool each(R& g, V&& v) {
    return v(g.x_min, "x_min") && v(g.x_max, "x_max") && v(g.x_bins, "x_bins") &&
           v(g.y_min, "y_min") && v(g.y_max, "y_max") && v(g.y_bins, "y_bins") &&
           v(g.counts, "counts") && v(g.total_count, "total_count");
  }
};

template <>
struct RecordFields<model::ContingencyTableRepr> {
  static constexpr std::string_view name = "struct variant JointRepr::ContingencyTable";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 4;
  template <class R, class V>
  static bool each(R& t, V&& v) {
    return v(t.x_categories, "x_categories") && v(t.y_categories, "y_categories") &&
           v(t.counts, "counts") && v(t.total_count, "total_count");
  }
};

template <>
struct RecordFields<model::ConditionalHistogramsRepr> {
  static constexpr std::string_view name = "struct variant JointRepr::ConditionalHistograms";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 3;
  template <class R, class V>
  static bool each(R& c, V&& v) {
    return v(c.condition_categories, "condition_categories") &&
           v(c.histograms, "histograms") && v(c.total_count, "total_count");
  }
};

template <>
struct RecordFields<model::DistIndex> {
  static constexpr std::string_view name = "struct DistIndex";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 1;
  template <class R, class V>
  static bool each(R& d, V&& v) {
    return v(d.by_key, "by_key");
  }
};

template <>
struct RecordFields<model::SnapshotStore> {
  static constexpr std::string_view name = "struct SnapshotStore";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 1;
  template <class R, class V>
  static bool each(R& s, V&& v) {
    return v(s.entries, "entries");
  }
};

template <>
struct RecordFields<model::SnapshotEntry> {
  static constexpr std::string_view name = "struct SnapshotEntry";
  static constexpr uint32_t absent_ok = 0;
  static constexpr size_t array_min = 3;
  template <class R, class V>
  static bool each(R& e, V&& v) {
    return v(e.version, "version") && v(e.timestamp, "timestamp") &&
           v(e.distribution, "distribution");
  }
};

// The number of fields of T ("struct MetaFile with 7 elements").
template <FieldRecord T>
size_t record_field_count() {
  static const size_t count = [] {
    size_t n = 0;
    T probe{};
    RecordFields<T>::each(probe, [&n](auto&, std::string_view) { return ++n, true; });
    return n;
  }();
  return count;
}

}  // namespace quor::store
