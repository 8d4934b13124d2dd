// Records that exercise every field, alternative and float corner of the
// stored formats, shared by the store's format tests.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "quor/store/model.h"

namespace quor::store::testing {

inline Schema full_schema() {
  Schema s;
  s.variables.push_back({"age", ContinuousType{20, Range{0.0, 1.0}}});
  s.variables.push_back({"score", ContinuousType{4, std::nullopt}});
  s.variables.push_back({"colour", CategoricalType{{"red", "gr\xc3\xbcn", ""}, true}});
  s.variables.push_back({"q\"b\\t\t\xc3\xa9", CategoricalType{{"x"}, false}});
  s.dimensions.push_back({"region", "region_col", std::nullopt});
  s.dimensions.push_back({"time", "date", std::string("monthly")});
  s.joints.push_back({"age", "colour"});
  return s;
}

inline MetaFile full_meta() {
  MetaFile m;
  m.schema = full_schema();
  m.next_distribution_id = 3;
  m.next_joint_id = 4;
  m.next_raw_record_id = 1234567890123ULL;
  m.format_version = 2;
  m.raw_log_enabled = false;
  m.high_water_mark = UINT64_MAX;
  return m;
}

inline DistributionObject histogram_object() {
  DistributionObject d;
  d.id = 1;
  d.variable = "age";
  d.dimension_key = {{"region", "EU"}, {"time", "2024-01"}};
  d.repr = HistogramRepr{-0.0, std::numeric_limits<double>::infinity(), {1, 0, UINT64_MAX}, 7};
  d.sample_count = 7;
  d.entropy = std::nan("");
  d.last_updated = 1700000000;
  d.version = 5;
  d.raw_record_range = {2, 9};
  return d;
}

inline DistributionObject categorical_object() {
  DistributionObject d;
  d.id = 2;
  d.variable = "colour";
  d.repr = CategoricalRepr{{"red", "gr\xc3\xbcn"}, {3, 0}, 2, 5};
  d.sample_count = 5;
  d.entropy = 0.9709505944546686;
  d.last_updated = 1;
  return d;
}

inline DistributionFile full_distribution_file() {
  DistributionFile f;
  f.distributions = {histogram_object(), categorical_object()};
  JointDistributionObject grid;
  grid.id = 1;
  grid.variables = {"age", "score"};
  grid.dimension_key = {{"region", "EU"}};
  grid.repr = HistogramGridRepr{0.0, 1.0, 2, -5.5, 5.5, 3, {{1, 2, 3}, {4, 5, 6}}, 21};
  grid.sample_count = 21;
  grid.last_updated = 99;
  JointDistributionObject table;
  table.id = 2;
  table.variables = {"colour", "q"};
  table.repr = ContingencyTableRepr{{"red", "blue"}, {"x"}, {{1}, {0}}, 1};
  JointDistributionObject cond;
  cond.id = 3;
  cond.variables = {"age", "colour"};
  cond.dimension_key = {{"time", "2024-02"}};
  // A categorical alternative inside the histogram list is accepted as is.
  cond.repr = ConditionalHistogramsRepr{
      {"red", "blue"},
      {HistogramRepr{0.0, 1.0, {1, 1}, 2}, CategoricalRepr{{"a"}, {1}, 0, 1}},
      3};
  f.joints = {grid, table, cond};
  return f;
}

inline DistIndex full_index() {
  DistIndex idx;
  idx.by_key = {{"age|region:EU/time:2024-01", 1}, {"colour|", 2}};
  return idx;
}

inline SnapshotStore full_snapshots() {
  SnapshotStore s;
  DistributionObject h = histogram_object();
  h.entropy = 1.5;  // finite values keep == meaningful and fit the JSON form
  std::get<HistogramRepr>(h.repr).max = 2.0;
  s.entries["age|region:EU"] = {SnapshotEntry{1, 100, h},
                                SnapshotEntry{2, 200, categorical_object()}};
  s.entries["empty"] = {};
  return s;
}

// Equality that also tells NaN payloads and the sign of zero apart.
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace quor::store::testing
