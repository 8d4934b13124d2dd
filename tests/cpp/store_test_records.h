// Records that exercise every field, alternative and float corner of the
// stored formats, shared by the store's format tests.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/model/model.h"
#include "quor/util/total_order.h"

namespace quor::store::testing {

inline model::Schema full_schema() {
  model::Schema s;
  s.variables.push_back({"age", model::ContinuousType{20, model::Range{0.0, 1.0}}});
  s.variables.push_back({"score", model::ContinuousType{4, std::nullopt}});
  s.variables.push_back({"colour", model::CategoricalType{{"red", "gr\xc3\xbcn", ""}, true}});
  s.variables.push_back({"q\"b\\t\t\xc3\xa9", model::CategoricalType{{"x"}, false}});
  s.dimensions.push_back({"region", "region_col", std::nullopt});
  s.dimensions.push_back({"time", "date", std::string("monthly")});
  s.joints.push_back({"age", "colour"});
  return s;
}

inline model::MetaFile full_meta() {
  model::MetaFile m;
  m.schema = full_schema();
  m.next_distribution_id = 3;
  m.next_joint_id = 4;
  m.next_raw_record_id = 1234567890123ULL;
  m.format_version = 2;
  m.raw_log_enabled = false;
  m.high_water_mark = UINT64_MAX;
  return m;
}

inline model::DistributionObject histogram_object() {
  model::DistributionObject d;
  d.id = 1;
  d.variable = "age";
  d.dimension_key = {{"region", "EU"}, {"time", "2024-01"}};
  d.repr = model::HistogramRepr{-0.0, std::numeric_limits<double>::infinity(), {1, 0, UINT64_MAX}, 7};
  d.sample_count = 7;
  d.entropy = std::nan("");
  d.last_updated = 1700000000;
  d.version = 5;
  d.raw_record_range = {2, 9};
  return d;
}

inline model::DistributionObject categorical_object() {
  model::DistributionObject d;
  d.id = 2;
  d.variable = "colour";
  d.repr = model::CategoricalRepr{{"red", "gr\xc3\xbcn"}, {3, 0}, 2, 5};
  d.sample_count = 5;
  d.entropy = 0.9709505944546686;
  d.last_updated = 1;
  return d;
}

inline model::DistributionFile full_distribution_file() {
  model::DistributionFile f;
  f.distributions = {histogram_object(), categorical_object()};
  model::JointDistributionObject grid;
  grid.id = 1;
  grid.variables = {"age", "score"};
  grid.dimension_key = {{"region", "EU"}};
  grid.repr = model::HistogramGridRepr{0.0, 1.0, 2, -5.5, 5.5, 3, {{1, 2, 3}, {4, 5, 6}}, 21};
  grid.sample_count = 21;
  grid.last_updated = 99;
  model::JointDistributionObject table;
  table.id = 2;
  table.variables = {"colour", "q"};
  table.repr = model::ContingencyTableRepr{{"red", "blue"}, {"x"}, {{1}, {0}}, 1};
  model::JointDistributionObject cond;
  cond.id = 3;
  cond.variables = {"age", "colour"};
  cond.dimension_key = {{"time", "2024-02"}};
  // A categorical alternative inside the histogram list is accepted as is.
  cond.repr = model::ConditionalHistogramsRepr{
      {"red", "blue"},
      {model::HistogramRepr{0.0, 1.0, {1, 1}, 2}, model::CategoricalRepr{{"a"}, {1}, 0, 1}},
      3};
  f.joints = {grid, table, cond};
  return f;
}

inline model::DistIndex full_index() {
  model::DistIndex idx;
  idx.by_key = {{"age|region:EU/time:2024-01", 1}, {"colour|", 2}};
  return idx;
}

inline model::SnapshotStore full_snapshots() {
  model::SnapshotStore s;
  model::DistributionObject h = histogram_object();
  h.entropy = 1.5;  // finite values keep == meaningful and fit the JSON form
  std::get<model::HistogramRepr>(h.repr).max = 2.0;
  s.entries["age|region:EU"] = {model::SnapshotEntry{1, 100, h},
                                model::SnapshotEntry{2, 200, categorical_object()}};
  s.entries["empty"] = {};
  return s;
}

// Equality that also tells NaN payloads and the sign of zero apart.
using util::same_bits;

// Small records covering every field and alternative, whose binary and JSON
// texts the format tests spell out by hand.
inline model::MetaFile golden_meta() {
  model::MetaFile m;
  m.schema.variables = {{"x", model::ContinuousType{4, model::Range{0.0, 2.0}}},
                        {"y", model::ContinuousType{3, std::nullopt}},
                        {"c", model::CategoricalType{{"a", "b"}, true}}};
  m.schema.dimensions = {{"region", "reg", std::nullopt}, {"time", "date", std::string("monthly")}};
  m.schema.joints = {{"x", "c"}};
  m.next_distribution_id = 5;
  m.next_joint_id = 2;
  m.next_raw_record_id = 7;
  m.format_version = 3;
  m.raw_log_enabled = false;
  m.high_water_mark = 9;
  return m;
}

inline model::DistributionObject golden_categorical() {
  model::DistributionObject d;
  d.id = 2;
  d.variable = "c";
  d.repr = model::CategoricalRepr{{"a"}, {4}, 1, 5};
  d.sample_count = 5;
  d.entropy = 1.0;
  d.last_updated = 101;
  d.version = 1;
  return d;
}

inline model::DistributionFile golden_distribution_file() {
  model::DistributionFile f;
  model::DistributionObject h;
  h.id = 1;
  h.variable = "x";
  h.dimension_key = {{"region", "EU"}};
  h.repr = model::HistogramRepr{0.5, 1.5, {1, 2}, 3};
  h.sample_count = 3;
  h.entropy = 0.25;
  h.last_updated = 100;
  h.version = 2;
  h.raw_record_range = {4, 6};
  f.distributions = {h, golden_categorical()};
  model::JointDistributionObject grid;
  grid.id = 1;
  grid.variables = {"x", "y"};
  grid.repr = model::HistogramGridRepr{0.0, 1.0, 2, -1.0, 1.0, 1, {{1}, {2}}, 3};
  grid.sample_count = 3;
  grid.last_updated = 7;
  model::JointDistributionObject table;
  table.id = 2;
  table.variables = {"c", "c"};
  table.dimension_key = {{"time", "2024"}};
  table.repr = model::ContingencyTableRepr{{"a"}, {"b"}, {{2}}, 2};
  table.sample_count = 2;
  table.last_updated = 8;
  model::JointDistributionObject cond;
  cond.id = 3;
  cond.variables = {"x", "c"};
  cond.repr = model::ConditionalHistogramsRepr{{"a"}, {model::HistogramRepr{0.0, 1.0, {1}, 1}}, 1};
  cond.sample_count = 1;
  cond.last_updated = 9;
  f.joints = {grid, table, cond};
  return f;
}

inline model::DistIndex golden_index() {
  model::DistIndex idx;
  idx.by_key = {{"x|region:EU", 1}};
  return idx;
}

inline model::SnapshotStore golden_snapshots() {
  model::SnapshotStore s;
  s.entries["x|"] = {model::SnapshotEntry{1, 50, golden_categorical()}};
  return s;
}

// A deterministic pseudo-random record generator for byte-level comparisons:
// varied sizes, every alternative, texts and count lists longer than any
// internal buffer of the codec.
class RecordMaker {
 public:
  explicit RecordMaker(uint64_t seed) : s_(seed | 1) {}

  uint64_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_;
  }
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
  double real() {
    switch (below(8)) {
      case 0: return -0.0;
      case 1: return std::numeric_limits<double>::infinity();
      case 2: return std::nan("");
      default: return static_cast<double>(static_cast<int64_t>(next())) / 1e9;
    }
  }
  std::string text(size_t max_len) {
    static const char* const kPieces[] = {"a", "Z", "_", "0", " ", "\xc3\xa9", "\xe2\x82\xac",
                                          "\xf0\x9f\x98\x80", "|", ":"};
    std::string out;
    const size_t n = below(max_len + 1);
    while (out.size() < n) out += kPieces[below(10)];
    return out;
  }
  std::vector<std::string> texts(size_t max_count, size_t max_len) {
    std::vector<std::string> v(below(max_count + 1));
    for (auto& t : v) t = text(max_len);
    return v;
  }
  std::vector<uint64_t> counts(size_t max_count) {
    std::vector<uint64_t> v(below(max_count + 1));
    for (auto& c : v) c = below(4) == 0 ? next() : below(1000);
    return v;
  }
  model::DimensionMap dims() {
    model::DimensionMap m;
    for (uint64_t i = below(4); i > 0; --i) m[text(12)] = text(20);
    return m;
  }
  model::DistributionRepr repr(size_t max_bins) {
    if (below(2) == 0) return model::HistogramRepr{real(), real(), counts(max_bins), next()};
    return model::CategoricalRepr{texts(8, 16), counts(8), next(), next()};
  }
  model::DistributionObject object(size_t max_bins) {
    model::DistributionObject d;
    d.id = next();
    d.variable = text(24);
    d.dimension_key = dims();
    d.repr = repr(max_bins);
    d.sample_count = next();
    d.entropy = real();
    d.last_updated = next();
    d.version = below(100);
    d.raw_record_range = {next(), next()};
    return d;
  }
  std::vector<std::vector<uint64_t>> rows() {
    std::vector<std::vector<uint64_t>> r(below(6));
    for (auto& row : r) row = counts(6);
    return r;
  }
  model::JointDistributionObject joint() {
    model::JointDistributionObject j;
    j.id = next();
    j.variables = {text(10), text(10)};
    j.dimension_key = dims();
    switch (below(3)) {
      case 0:
        j.repr = model::HistogramGridRepr{real(), real(), static_cast<uint32_t>(next()), real(), real(),
                                   static_cast<uint32_t>(next()), rows(), next()};
        break;
      case 1: j.repr = model::ContingencyTableRepr{texts(5, 8), texts(5, 8), rows(), next()}; break;
      default: {
        model::ConditionalHistogramsRepr c{texts(4, 8), {}, next()};
        for (uint64_t i = below(4); i > 0; --i) c.histograms.push_back(repr(30));
        j.repr = std::move(c);
      }
    }
    j.sample_count = next();
    j.last_updated = next();
    j.version = next();
    return j;
  }
  // `n` distributions (a few with very long bin lists and texts) and some joints.
  model::DistributionFile file(size_t n) {
    model::DistributionFile f;
    for (size_t i = 0; i < n; ++i) {
      f.distributions.push_back(object(i % 97 == 5 ? 300000 : 40));
      if (i % 131 == 7) f.distributions.back().variable = text(200000);
    }
    for (uint64_t i = below(n / 10 + 2); i > 0; --i) f.joints.push_back(joint());
    return f;
  }
  model::MetaFile meta() {
    model::MetaFile m;
    for (uint64_t i = below(30); i > 0; --i) {
      if (below(2) == 0) {
        std::optional<model::Range> range;
        if (below(2) == 0) range = model::Range{real(), real()};
        m.schema.variables.push_back({text(16), model::ContinuousType{static_cast<uint32_t>(next()), range}});
      } else {
        m.schema.variables.push_back({text(16), model::CategoricalType{texts(20, 12), below(2) == 0}});
      }
    }
    for (uint64_t i = below(5); i > 0; --i) {
      std::optional<std::string> g;
      if (below(2) == 0) g = text(8);
      m.schema.dimensions.push_back({text(10), text(10), g});
    }
    for (uint64_t i = below(5); i > 0; --i) m.schema.joints.push_back({text(6), text(6)});
    m.next_distribution_id = next();
    m.next_joint_id = next();
    m.next_raw_record_id = next();
    m.format_version = static_cast<uint32_t>(next());
    m.raw_log_enabled = below(2) == 0;
    m.high_water_mark = next();
    return m;
  }
  // One key only: the bytes do not depend on a hash map's visiting order.
  model::SnapshotStore snapshots(size_t n) {
    model::SnapshotStore s;
    auto& list = s.entries[text(30)];
    for (size_t i = 0; i < n; ++i) list.push_back(model::SnapshotEntry{next(), next(), object(40)});
    return s;
  }

 private:
  uint64_t s_;
};

// FNV-1a over `bytes`, to freeze long encodings in a test.
inline uint64_t fnv1a(std::string_view bytes) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

}  // namespace quor::store::testing
