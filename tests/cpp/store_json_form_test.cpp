#include <gtest/gtest.h>

#include <string>

#include "quor/store/json_form.h"
#include "quor/util/json.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

// A writer of the full JSON form, for the tests only (the system writes no
// record but the schema). `array` chooses the array form for every record.
struct Emit {
  bool array = false;
  std::string out;

  void str(const std::string& s) { util::write_json_string(out, s); }
  void num(uint64_t v) { out += std::to_string(v); }
  void num(double v) { util::write_json_double(out, v); }
  void boolean(bool b) { out += b ? "true" : "false"; }
  void strs(const std::vector<std::string>& v) {
    out += '[';
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) out += ',';
      str(v[i]);
    }
    out += ']';
  }
  void nums(const std::vector<uint64_t>& v) {
    out += '[';
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) out += ',';
      num(v[i]);
    }
    out += ']';
  }
  void rows(const std::vector<std::vector<uint64_t>>& r) {
    out += '[';
    for (size_t i = 0; i < r.size(); ++i) {
      if (i) out += ',';
      nums(r[i]);
    }
    out += ']';
  }
  void map(const model::DimensionMap& m) {
    out += '{';
    bool first = true;
    for (const auto& [k, v] : m) {
      if (!first) out += ',';
      first = false;
      str(k);
      out += ':';
      str(v);
    }
    out += '}';
  }
  // fields: name + emitter, in declaration order
  template <class... F>
  void record(std::initializer_list<const char*> names, F&&... fields) {
    out += array ? '[' : '{';
    size_t i = 0;
    auto one = [&](auto&& f) {
      if (i) out += ',';
      if (!array) {
        str(*(names.begin() + i));
        out += ':';
      }
      f();
      ++i;
    };
    (one(fields), ...);
    out += array ? ']' : '}';
  }
  void tagged(const char* name, auto&& body) {
    out += "{\"";
    out += name;
    out += "\":";
    body();
    out += '}';
  }

  void put(const model::DistributionRepr& r) {
    if (const auto* h = std::get_if<model::HistogramRepr>(&r)) {
      tagged("Histogram", [&] {
        record({"min", "max", "bin_counts", "total_count"}, [&] { num(h->min); },
               [&] { num(h->max); }, [&] { nums(h->bin_counts); }, [&] { num(h->total_count); });
      });
      return;
    }
    const auto& c = std::get<model::CategoricalRepr>(r);
    tagged("Categorical", [&] {
      record({"categories", "counts", "unknown_count", "total_count"}, [&] { strs(c.categories); },
             [&] { nums(c.counts); }, [&] { num(c.unknown_count); }, [&] { num(c.total_count); });
    });
  }
  void put(const model::DistributionObject& d) {
    record({"id", "variable", "dimension_key", "repr", "sample_count", "entropy", "last_updated",
            "version", "raw_record_range"},
           [&] { num(d.id); }, [&] { str(d.variable); }, [&] { map(d.dimension_key); },
           [&] { put(d.repr); }, [&] { num(d.sample_count); }, [&] { num(d.entropy); },
           [&] { num(d.last_updated); }, [&] { num(d.version); },
           [&] {
             out += '[';
             num(d.raw_record_range.first);
             out += ',';
             num(d.raw_record_range.second);
             out += ']';
           });
  }
  void put(const model::JointRepr& r) {
    if (r.index() == 0) {
      const auto& g = std::get<0>(r);
      tagged("HistogramGrid", [&] {
        record({"x_min", "x_max", "x_bins", "y_min", "y_max", "y_bins", "counts", "total_count"},
               [&] { num(g.x_min); }, [&] { num(g.x_max); }, [&] { num(uint64_t{g.x_bins}); },
               [&] { num(g.y_min); }, [&] { num(g.y_max); }, [&] { num(uint64_t{g.y_bins}); },
               [&] { rows(g.counts); }, [&] { num(g.total_count); });
      });
    } else if (r.index() == 1) {
      const auto& t = std::get<1>(r);
      tagged("ContingencyTable", [&] {
        record({"x_categories", "y_categories", "counts", "total_count"},
               [&] { strs(t.x_categories); }, [&] { strs(t.y_categories); },
               [&] { rows(t.counts); }, [&] { num(t.total_count); });
      });
    } else {
      const auto& c = std::get<2>(r);
      tagged("ConditionalHistograms", [&] {
        record({"condition_categories", "histograms", "total_count"},
               [&] { strs(c.condition_categories); },
               [&] {
                 out += '[';
                 for (size_t i = 0; i < c.histograms.size(); ++i) {
                   if (i) out += ',';
                   put(c.histograms[i]);
                 }
                 out += ']';
               },
               [&] { num(c.total_count); });
      });
    }
  }
  void put(const model::JointDistributionObject& j) {
    record({"id", "variables", "dimension_key", "repr", "sample_count", "last_updated", "version"},
           [&] { num(j.id); },
           [&] {
             out += '[';
             str(j.variables.first);
             out += ',';
             str(j.variables.second);
             out += ']';
           },
           [&] { map(j.dimension_key); }, [&] { put(j.repr); }, [&] { num(j.sample_count); },
           [&] { num(j.last_updated); }, [&] { num(j.version); });
  }
  void put(const model::DistributionFile& f) {
    record({"distributions", "joints"},
           [&] {
             out += '[';
             for (size_t i = 0; i < f.distributions.size(); ++i) {
               if (i) out += ',';
               put(f.distributions[i]);
             }
             out += ']';
           },
           [&] {
             out += '[';
             for (size_t i = 0; i < f.joints.size(); ++i) {
               if (i) out += ',';
               put(f.joints[i]);
             }
             out += ']';
           });
  }
  void put(const model::MetaFile& m) {
    record({"schema", "next_distribution_id", "next_joint_id", "next_raw_record_id",
            "format_version", "raw_log_enabled", "high_water_mark"},
           [&] { write_schema_json(m.schema, out); }, [&] { num(m.next_distribution_id); },
           [&] { num(m.next_joint_id); }, [&] { num(m.next_raw_record_id); },
           [&] { num(uint64_t{m.format_version}); }, [&] { boolean(m.raw_log_enabled); },
           [&] { num(m.high_water_mark); });
  }
  void put(const model::DistIndex& idx) {
    record({"by_key"}, [&] {
      out += '{';
      bool first = true;
      for (const auto& [k, v] : idx.by_key) {
        if (!first) out += ',';
        first = false;
        str(std::string(k));
        out += ':';
        num(v);
      }
      out += '}';
    });
  }
  void put(const model::SnapshotStore& s) {
    record({"entries"}, [&] {
      out += '{';
      bool first = true;
      for (const auto& [k, list] : s.entries) {
        if (!first) out += ',';
        first = false;
        str(k);
        out += ":[";
        for (size_t i = 0; i < list.size(); ++i) {
          if (i) out += ',';
          record({"version", "timestamp", "distribution"}, [&] { num(list[i].version); },
                 [&] { num(list[i].timestamp); }, [&] { put(list[i].distribution); });
        }
        out += ']';
      }
      out += '}';
    });
  }
};

template <class T>
std::string to_json(const T& record, bool array) {
  Emit e{array, {}};
  e.put(record);
  return e.out;
}

model::DistributionFile finite_distribution_file() {
  model::DistributionFile f = full_distribution_file();
  auto& h = std::get<model::HistogramRepr>(f.distributions[0].repr);
  h.max = 1e300;
  f.distributions[0].entropy = 1.25;
  return f;
}

std::string meta_error(std::string_view text) {
  auto r = json_from_slice_meta_file(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? "" : r.error().full_text();
}
std::string file_error(std::string_view text) {
  auto r = json_from_slice_distribution_file(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? "" : r.error().full_text();
}
// The message without its position.
std::string message_of(const std::string& full) { return full.substr(0, full.rfind(" at line ")); }

// A DistributionFile text holding one distribution object whose fields are
// `fields` (JSON object members or array elements, as given).
std::string one_distribution(const std::string& object) {
  return "{\"distributions\":[" + object + "],\"joints\":[]}";
}
const char* kHistRepr = "{\"Histogram\":{\"min\":0,\"max\":1,\"bin_counts\":[1],\"total_count\":1}}";
std::string distribution_with_id(const std::string& id) {
  return one_distribution("{\"id\":" + id +
                          ",\"variable\":\"v\",\"dimension_key\":{},\"repr\":" + kHistRepr +
                          ",\"sample_count\":1,\"entropy\":0,\"last_updated\":0,\"version\":1,"
                          "\"raw_record_range\":[0,0]}");
}

// The golden records' JSON texts, written from the format: objects keyed by
// field name in declaration order, enums as one-member objects keyed by the
// variant name, pairs as two-element arrays, absent optionals as null.
const char* const kGoldenCategorical =
    R"({"id":2,"variable":"c","dimension_key":{},)"
    R"("repr":{"Categorical":{"categories":["a"],"counts":[4],"unknown_count":1,"total_count":5}},)"
    R"("sample_count":5,"entropy":1.0,"last_updated":101,"version":1,"raw_record_range":[0,0]})";

TEST(JsonFormGolden, EveryRecordReadsFromItsHandWrittenText) {
  const std::string meta =
      R"({"schema":{"variables":[)"
      R"({"name":"x","var_type":{"Continuous":{"bins":4,"range":[0.0,2.0]}}},)"
      R"({"name":"y","var_type":{"Continuous":{"bins":3,"range":null}}},)"
      R"({"name":"c","var_type":{"Categorical":{"categories":["a","b"],"allow_unknown":true}}}],)"
      R"("dimensions":[{"name":"region","source_column":"reg","granularity":null},)"
      R"({"name":"time","source_column":"date","granularity":"monthly"}],)"
      R"("joints":[["x","c"]]},)"
      R"("next_distribution_id":5,"next_joint_id":2,"next_raw_record_id":7,"format_version":3,)"
      R"("raw_log_enabled":false,"high_water_mark":9})";
  auto m = json_from_slice_meta_file(meta);
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(*m, golden_meta());

  const std::string file =
      R"({"distributions":[)"
      R"({"id":1,"variable":"x","dimension_key":{"region":"EU"},)"
      R"("repr":{"Histogram":{"min":0.5,"max":1.5,"bin_counts":[1,2],"total_count":3}},)"
      R"("sample_count":3,"entropy":0.25,"last_updated":100,"version":2,"raw_record_range":[4,6]},)" +
      std::string(kGoldenCategorical) +
      R"(],"joints":[)"
      R"({"id":1,"variables":["x","y"],"dimension_key":{},"repr":{"HistogramGrid":{)"
      R"("x_min":0.0,"x_max":1.0,"x_bins":2,"y_min":-1.0,"y_max":1.0,"y_bins":1,)"
      R"("counts":[[1],[2]],"total_count":3}},"sample_count":3,"last_updated":7,"version":1},)"
      R"({"id":2,"variables":["c","c"],"dimension_key":{"time":"2024"},"repr":{"ContingencyTable":{)"
      R"("x_categories":["a"],"y_categories":["b"],"counts":[[2]],"total_count":2}},)"
      R"("sample_count":2,"last_updated":8,"version":1},)"
      R"({"id":3,"variables":["x","c"],"dimension_key":{},"repr":{"ConditionalHistograms":{)"
      R"("condition_categories":["a"],"histograms":[{"Histogram":{"min":0.0,"max":1.0,)"
      R"("bin_counts":[1],"total_count":1}}],"total_count":1}},)"
      R"("sample_count":1,"last_updated":9,"version":1}]})";
  auto f = json_from_slice_distribution_file(file);
  ASSERT_TRUE(f.ok()) << f.error().full_text();
  EXPECT_EQ(*f, golden_distribution_file());

  auto idx = json_from_slice_dist_index(R"({"by_key":{"x|region:EU":1}})");
  ASSERT_TRUE(idx.ok()) << idx.error().full_text();
  EXPECT_EQ(*idx, golden_index());

  auto snaps = json_from_slice_snapshot_store(
      R"({"entries":{"x|":[{"version":1,"timestamp":50,"distribution":)" +
      std::string(kGoldenCategorical) + "}]}}");
  ASSERT_TRUE(snaps.ok()) << snaps.error().full_text();
  EXPECT_EQ(*snaps, golden_snapshots());

  // The array form of the same records: field values in declaration order.
  auto arr = json_from_slice_dist_index(R"([{"x|region:EU":1}])");
  ASSERT_TRUE(arr.ok()) << arr.error().full_text();
  EXPECT_EQ(*arr, golden_index());
  auto short_meta = json_from_slice_meta_file(
      R"([[[],[],[]],5,2,7,3])");
  ASSERT_TRUE(short_meta.ok()) << short_meta.error().full_text();
  EXPECT_EQ(short_meta->next_raw_record_id, 7u);
  EXPECT_TRUE(short_meta->raw_log_enabled);  // absent: its default
}

TEST(JsonForm, EveryRecordRoundTripsInObjectAndArrayForm) {
  for (bool array : {false, true}) {
    SCOPED_TRACE(array ? "array form" : "object form");
    auto meta = json_from_slice_meta_file(to_json(full_meta(), array));
    ASSERT_TRUE(meta.ok()) << meta.error().full_text();
    EXPECT_EQ(*meta, full_meta());

    const model::DistributionFile f = finite_distribution_file();
    auto file = json_from_slice_distribution_file(to_json(f, array));
    ASSERT_TRUE(file.ok()) << file.error().full_text();
    EXPECT_EQ(*file, f);
    EXPECT_TRUE(same_bits(std::get<model::HistogramRepr>(file->distributions[0].repr).min, -0.0));

    auto idx = json_from_slice_dist_index(to_json(full_index(), array));
    ASSERT_TRUE(idx.ok()) << idx.error().full_text();
    EXPECT_EQ(*idx, full_index());

    auto snaps = json_from_slice_snapshot_store(to_json(full_snapshots(), array));
    ASSERT_TRUE(snaps.ok()) << snaps.error().full_text();
    EXPECT_EQ(*snaps, full_snapshots());
  }
}

TEST(JsonForm, DefaultsOptionalsAndMixedForms) {
  const std::string schema = "{\"variables\":[],\"dimensions\":[],\"joints\":[]}";
  // Object without raw_log_enabled and high_water_mark; one with only the mark.
  auto m = json_from_slice_meta_file("{\"schema\":" + schema +
                                     ",\"next_distribution_id\":1,\"next_joint_id\":1,"
                                     "\"next_raw_record_id\":1,\"format_version\":3}");
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(*m, model::MetaFile{});
  m = json_from_slice_meta_file("{\"high_water_mark\":5,\"schema\":" + schema +
                                ",\"next_distribution_id\":1,\"next_joint_id\":1,"
                                "\"next_raw_record_id\":1,\"format_version\":3}");
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m->raw_log_enabled);
  EXPECT_EQ(m->high_water_mark, 5u);
  // Arrays of 5 and 6 values; the schema itself in array form.
  m = json_from_slice_meta_file(" [[[],[],[]],1,2,3,3] \n");
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m->raw_log_enabled);
  EXPECT_EQ(m->next_raw_record_id, 3u);
  m = json_from_slice_meta_file("[[[],[],[]],1,2,3,3,false]");
  ASSERT_TRUE(m.ok());
  EXPECT_FALSE(m->raw_log_enabled);
  EXPECT_EQ(message_of(meta_error("[[[],[],[]],1,2,3]")),
            "invalid length 4, expected struct MetaFile with 7 elements");

  // granularity absent or null; range null; unknown keys at any depth.
  std::string deep = std::string(300, '[') + std::string(300, ']');
  m = json_from_slice_meta_file(
      "{\"x\":" + deep +
      ",\"schema\":{\"variables\":[{\"name\":\"a\",\"var_type\":{\"Continuous\":{\"bins\":2,"
      "\"range\":null,\"junk\":{\"\xff\":[1,{\"q\":null}]}}}}],"
      "\"dimensions\":[{\"name\":\"d\",\"source_column\":\"c\"},[\"e\",\"f\",null]],\"joints\":[]},"
      "\"next_distribution_id\":1,\"next_joint_id\":1,\"next_raw_record_id\":1,"
      "\"format_version\":3,\"x\":1}");
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(std::get<model::ContinuousType>(m->schema.variables[0].var_type).range, std::nullopt);
  EXPECT_EQ(m->schema.dimensions[0].granularity, std::nullopt);
  EXPECT_EQ(m->schema.dimensions[1].granularity, std::nullopt);

  // Later duplicate map keys win; a repr's fields in array form.
  auto f = json_from_slice_distribution_file(one_distribution(
      "[1,\"v\",{\"d\":\"x\",\"d\":\"y\"},{\"Histogram\":[0,1,[2],2]},2,0.5,0,1,[0,0]]"));
  ASSERT_TRUE(f.ok()) << f.error().full_text();
  EXPECT_EQ(f->distributions[0].dimension_key.at("d"), "y");
  EXPECT_EQ(std::get<model::HistogramRepr>(f->distributions[0].repr).bin_counts.size(), 1u);
}

TEST(JsonForm, StructureErrorMessages) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string obj_tail =
      ",\"variable\":\"v\",\"dimension_key\":{},\"repr\":" + std::string(kHistRepr) +
      ",\"sample_count\":1,\"entropy\":0,\"last_updated\":0,\"version\":1";
  const std::string arr8 = std::string("[1,\"v\",{},") + kHistRepr + ",1,0,0,1";
  auto with_repr = [&](const std::string& repr) {
    return one_distribution("{\"id\":1,\"variable\":\"v\",\"dimension_key\":{},\"repr\":" + repr +
                            ",\"sample_count\":1,\"entropy\":0,\"last_updated\":0,"
                            "\"version\":1,\"raw_record_range\":[0,0]}");
  };
  const Case cases[] = {
      {distribution_with_id("1.0"), "invalid type: floating point `1.0`, expected u64"},
      {distribution_with_id("-0"), "invalid type: floating point `-0.0`, expected u64"},
      {distribution_with_id("18446744073709551616"),
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {distribution_with_id("-1"), "invalid value: integer `-1`, expected u64"},
      {distribution_with_id("\"7\\\"\""), "invalid type: string \"7\\\"\", expected u64"},
      {distribution_with_id("null"), "invalid type: null, expected u64"},
      {one_distribution(arr8 + "]"),
       "invalid length 8, expected struct DistributionObject with 9 elements"},
      {one_distribution(arr8 + ",[0,0],5]"), "trailing characters"},
      {one_distribution(arr8 + ",[0,0,0]]"), "trailing characters"},
      {one_distribution(arr8 + ",[0]]"), "invalid length 1, expected a tuple of size 2"},
      {one_distribution("{\"id\":1,\"id\":2" + obj_tail + "}"), "duplicate field `id`"},
      {one_distribution("{\"id\":1" + obj_tail + "}"), "missing field `raw_record_range`"},
      {"{}", "missing field `distributions`"},
      {"{\"distributions\":[],\"joints\":[],}", "trailing comma"},
      {"[[],[]] 1", "trailing characters"},
      {"5", "invalid type: integer `5`, expected struct DistributionFile"},
      {"QUOR", "expected value"},
      {"", "EOF while parsing a value"},
      {with_repr("\"Histogram\""), "invalid type: unit variant, expected struct variant"},
      {with_repr("{\"histogram\":{}}"),
       "unknown variant `histogram`, expected `Histogram` or `Categorical`"},
      {with_repr(std::string("{\"Histogram\":[0,1,[],0],\"Categorical\":1}")), "expected value"},
      {with_repr("{}"), "expected value"},
      {with_repr("[]"), "expected value"},
      {with_repr("{1:2}"), "invalid type: integer `1`, expected variant identifier"},
      {with_repr("{\"Histogram\":true}"),
       "invalid type: boolean `true`, expected struct variant DistributionRepr::Histogram"},
      {with_repr("{\"Histogram\":[0,1]}"),
       "invalid length 2, expected struct variant DistributionRepr::Histogram with 4 elements"},
      {with_repr("{\"Histogram\":[0,1e400,[],0]}"), "number out of range"},
      {with_repr("{\"Histogram\":[0,1,{},0]}"), "invalid type: map, expected a sequence"},
      {"{\"distributions\":[],\"joints\":[[1,[\"a\",\"b\"],{},{\"Foo\":1},0,0,1]]}",
       "unknown variant `Foo`, expected one of `HistogramGrid`, `ContingencyTable`, "
       "`ConditionalHistograms`"},
      {"{\"distributions\":[],\"joints\":[[1,[\"a\",\"b\"],{},{\"HistogramGrid\":"
       "[0,1,4294967296,0,1,1,[],0]},0,0,1]]}",
       "invalid value: integer `4294967296`, expected u32"},
      {"{\"distributions\":[],\"joints\":[[1,[\"a\",\"b\"],[],{\"HistogramGrid\":"
       "[0,1,1,0,1,1,[],0]},0,0,1]]}",
       "invalid type: sequence, expected a map"},
  };
  for (const auto& c : cases) {
    std::string full = file_error(c.text);
    EXPECT_EQ(message_of(full), c.message) << c.text;
    EXPECT_NE(full.find(" at line "), std::string::npos);
  }
  EXPECT_EQ(meta_error(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(meta_error("\x01QUOR"), "expected value at line 1 column 1");
  EXPECT_EQ(message_of(meta_error("[[[],[[\"d\",\"c\"]],[]],1,1,1,3]")),
            "invalid length 2, expected struct DimensionDefinition with 3 elements");
  EXPECT_EQ(message_of(meta_error("[[[{\"name\":\"a\",\"var_type\":{\"Continuous\":[2,[null,1]]}}],"
                                  "[],[]],1,1,1,3]")),
            "invalid type: null, expected f64");
  EXPECT_EQ(message_of(meta_error("[[[[\"a\",{\"Continuous\":[2]}]],[],[]],1,1,1,3]")),
            "invalid length 1, expected struct variant VariableType::Continuous with 2 elements");
  EXPECT_EQ(message_of(meta_error("[{\"variables\":1},1,1,1,3]")),
            "invalid type: integer `1`, expected a sequence");
  EXPECT_EQ(message_of(meta_error("[[[],[],[]],1,1,1,3,1]")),
            "invalid type: integer `1`, expected a boolean");
}

TEST(JsonForm, SkippedValuesIgnoreTheNestingBudget) {
  // An unknown key's value nests far deeper than the budget: skipped.
  std::string deep = std::string(1000, '[') + std::string(1000, ']');
  auto ok = json_from_slice_dist_index("{\"junk\":" + deep + ",\"by_key\":{}}");
  EXPECT_TRUE(ok.ok());
  // A wrong shape deep inside is still reported by type, not by depth.
  auto bad = json_from_slice_dist_index("{\"by_key\":{\"k\":" + deep + "}}");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(message_of(bad.error().full_text()), "invalid type: sequence, expected u64");
}

TEST(SchemaJson, CompactTextWithTheFloatAndStringRules) {
  EXPECT_EQ(schema_to_json(model::Schema{}), "{\"variables\":[],\"dimensions\":[],\"joints\":[]}");
  model::Schema s;
  s.variables.push_back({"q\"b\\t\t\xc3\xa9", model::ContinuousType{20, model::Range{0.0, 2.0}}});
  s.variables.push_back({"b", model::ContinuousType{1, std::nullopt}});
  s.variables.push_back({"c", model::ContinuousType{3, model::Range{-std::numeric_limits<double>::infinity(), 1e16}}});
  s.variables.push_back({"k", model::CategoricalType{{"x", "y"}, true}});
  s.dimensions.push_back({"d", "col", std::nullopt});
  s.dimensions.push_back({"t", "date", std::string("daily")});
  s.joints.push_back({"b", "c"});
  EXPECT_EQ(schema_to_json(s),
            "{\"variables\":["
            "{\"name\":\"q\\\"b\\\\t\\t\xc3\xa9\",\"var_type\":{\"Continuous\":{\"bins\":20,"
            "\"range\":[0.0,2.0]}}},"
            "{\"name\":\"b\",\"var_type\":{\"Continuous\":{\"bins\":1,\"range\":null}}},"
            "{\"name\":\"c\",\"var_type\":{\"Continuous\":{\"bins\":3,\"range\":[null,1e+16]}}},"
            "{\"name\":\"k\",\"var_type\":{\"Categorical\":{\"categories\":[\"x\",\"y\"],"
            "\"allow_unknown\":true}}}],"
            "\"dimensions\":[{\"name\":\"d\",\"source_column\":\"col\",\"granularity\":null},"
            "{\"name\":\"t\",\"source_column\":\"date\",\"granularity\":\"daily\"}],"
            "\"joints\":[[\"b\",\"c\"]]}");
  std::string out = "prefix";
  write_schema_json(model::Schema{}, out);
  EXPECT_EQ(out.rfind("prefix", 0), 0u);

  // The schema text reads back as the schema of a meta file.
  model::Schema finite = full_schema();
  auto m = json_from_slice_meta_file("[" + schema_to_json(finite) + ",1,1,1,3]");
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(m->schema, finite);
}

}  // namespace
}  // namespace quor::store
