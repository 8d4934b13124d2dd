#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quor/store/database.h"
#include "quor/store/dim_key.h"
#include "reference/database_counts.h"

namespace quor::store {
namespace {

using reference::apply_counts;
using reference::finalize_updates;
using reference::find_distribution;
using reference::HistogramCounts;
using reference::CategoricalCounts;

bool is_negative_zero(double v) { return v == 0.0 && std::signbit(v); }
bool is_positive_zero(double v) { return v == 0.0 && !std::signbit(v); }

model::VariableDefinition continuous(std::string name, uint32_t bins,
                              std::optional<model::Range> range = std::nullopt) {
  return {std::move(name), model::ContinuousType{bins, range}};
}
model::VariableDefinition categorical(std::string name, std::vector<std::string> cats,
                               bool allow_unknown = true) {
  return {std::move(name), model::CategoricalType{std::move(cats), allow_unknown}};
}

Database writable_db() {
  Database db;
  db.writable = true;
  return db;
}

// ---- dimension keys and the index ----

TEST(DimensionKey, StringAndIndexKeyForms) {
  EXPECT_EQ(dimension_key_string({}), "");
  EXPECT_EQ(index_key("revenue", {}), "revenue|");
  EXPECT_EQ(index_key("revenue", {{"year", "2024"}, {"region", "EU"}}),
            "revenue|region:EU/year:2024");
  // Byte order: upper case before lower case, a prefix before its extensions.
  EXPECT_EQ(dimension_key_string({{"a", "1"}, {"Z", "2"}, {"ab", "3"}}), "Z:2/a:1/ab:3");
  // Nothing is escaped, so these two maps collide.
  EXPECT_EQ(dimension_key_string({{"a", "x/b:y"}}), dimension_key_string({{"a", "x"}, {"b", "y"}}));
  // Bytes above 0x7f sort after ASCII.
  EXPECT_EQ(dimension_key_string({{"\xc3\xa9", "1"}, {"z", "2"}}), "z:2/\xc3\xa9:1");
}

TEST(DistIndexOps, InsertReplacesAndRebuildPrefersLater) {
  model::DistIndex idx;
  index_insert(idx, "v", {{"d", "1"}}, 3);
  index_insert(idx, "v", {{"d", "1"}}, 9);
  EXPECT_EQ(idx.by_key.size(), 1u);
  EXPECT_EQ(index_lookup(idx, "v", {{"d", "1"}}), 9u);
  EXPECT_EQ(index_lookup(idx, "v", {}), std::nullopt);

  EXPECT_TRUE(rebuild_dist_index({}).by_key.empty());
  std::vector<model::DistributionObject> list(2);
  list[0].id = 1;
  list[0].variable = "v";
  list[1].id = 2;
  list[1].variable = "v";
  model::DistIndex rebuilt = rebuild_index_after_error(list, Error("bad file"));
  EXPECT_EQ(rebuilt.by_key.size(), 1u);
  EXPECT_EQ(rebuilt.by_key.at("v|"), 2u);
}

// ---- schema edits ----

TEST(SchemaEdits, ValidationOrderAndMessages) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 4)).ok());
  // Duplicate is tested first, even for an otherwise invalid definition.
  EXPECT_EQ(db.add_variable(categorical("x", {})).error().full_text(),
            "schema validation error: variable 'x' already exists");
  EXPECT_EQ(db.add_variable(categorical("c", {})).error().full_text(),
            "schema validation error: variable 'c' must define at least one category");
  EXPECT_EQ(db.add_variable(continuous("z", 0)).error().full_text(),
            "schema validation error: variable 'z' must have bins > 0");
  // An inverted range is not checked.
  EXPECT_TRUE(db.add_variable(continuous("inv", 1, model::Range{5.0, 1.0})).ok());
  ASSERT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
  EXPECT_EQ(db.add_dimension({"region", "other", "daily"}).error().full_text(),
            "schema validation error: dimension 'region' already exists");
  EXPECT_EQ(db.meta.schema.variables.size(), 2u);
  EXPECT_EQ(db.meta.schema.dimensions.size(), 1u);
}

TEST(SchemaEdits, ReadOnlyRefusalComesFirst) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 4)).ok());
  ASSERT_TRUE(db.add_dimension({"d", "d", std::nullopt}).ok());
  db.writable = false;
  EXPECT_EQ(db.add_variable(continuous("x", 4)).error().full_text(),
            "database opened in read-only mode");
  EXPECT_EQ(db.add_variable(continuous("new", 4)).error().full_text(),
            "database opened in read-only mode");
  EXPECT_EQ(db.add_dimension({"d", "d", std::nullopt}).error().full_text(),
            "database opened in read-only mode");
  EXPECT_EQ(apply_counts(db, "x", {}, HistogramCounts{{{0, 1}}}).error().full_text(),
            "database opened in read-only mode");
  EXPECT_EQ(db.meta.schema.variables.size(), 1u);
  EXPECT_TRUE(db.distributions.empty());
}

// ---- distributions ----

// Finding a definition by name answers as the scan of the schema's list
// would (the first of equal names, nothing for an absent one) through every
// way the lists change: the schema edits, appends straight to the list, a
// list put in place whole, and one changed in place followed by
// reset_id_order().
TEST(SchemaEdits, NameLookupsAgreeWithTheScan) {
  Database db = writable_db();
  auto check = [&](const char* step) {
    SCOPED_TRACE(step);
    auto scan = [](const auto& list, std::string_view name) -> const void* {
      for (const auto& d : list)
        if (d.name == name) return &d;
      return nullptr;
    };
    for (int i = -1; i < 320; ++i) {
      const std::string v = i < 0 ? "absent" : "v" + std::to_string(i);
      const std::string d = i < 0 ? "absent" : "d" + std::to_string(i);
      ASSERT_EQ(db.find_variable(v), scan(db.meta.schema.variables, v)) << v;
      ASSERT_EQ(db.find_dimension(d), scan(db.meta.schema.dimensions, d)) << d;
    }
  };
  check("empty");
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(db.add_variable(continuous("v" + std::to_string(i), 4)).ok());
    if (i % 10 == 0) {
      ASSERT_TRUE(db.add_dimension({"d" + std::to_string(i), "c", std::nullopt}).ok());
    }
  }
  EXPECT_EQ(db.add_variable(continuous("v7", 2)).error().full_text(),
            "schema validation error: variable 'v7' already exists");
  EXPECT_EQ(db.add_dimension({"d10", "x", std::nullopt}).error().full_text(),
            "schema validation error: dimension 'd10' already exists");
  check("edits");
  // Appended behind the edits' back, a repeated name among them.
  db.meta.schema.variables.push_back(continuous("v305", 1));
  db.meta.schema.variables.push_back(continuous("v3", 9));
  db.meta.schema.dimensions.push_back({"d305", "c", std::nullopt});
  check("appended");
  EXPECT_TRUE(db.ensure_distribution("v305", {}).ok());
  EXPECT_EQ(db.add_variable(continuous("v305", 2)).error().full_text(),
            "schema validation error: variable 'v305' already exists");
  // A list put in place whole, then one renamed in place.
  std::vector<model::VariableDefinition> other;
  for (int i = 319; i >= 100; --i) other.push_back(continuous("v" + std::to_string(i), 3));
  db.meta.schema.variables = std::move(other);
  check("replaced");
  EXPECT_TRUE(db.add_variable(continuous("v1", 2)).ok());
  for (auto& v : db.meta.schema.variables) v.name += "x";
  db.meta.schema.variables.front().name = "v0";
  db.reset_id_order();
  check("renamed");
}

TEST(EnsureDistribution, IdsAndEmptyRepresentation) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 4)).ok());
  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "a"}}), 1u);
  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "b"}}), 2u);
  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "a"}}), 1u);
  EXPECT_EQ(db.meta.next_distribution_id, 3u);

  const model::DistributionObject d = db.distribution(0);
  EXPECT_EQ(d.variable, "x");
  EXPECT_EQ(d.version, 1u);
  EXPECT_EQ(d.sample_count, 0u);
  EXPECT_TRUE(is_positive_zero(d.entropy));
  EXPECT_EQ(d.raw_record_range, (std::pair<uint64_t, uint64_t>{0, 0}));
  EXPECT_GT(d.last_updated, 1700000000u);
  EXPECT_EQ(d.repr, model::DistributionRepr(model::HistogramRepr{0.0, 1.0, {0, 0, 0, 0}, 0}));

  EXPECT_EQ(db.ensure_distribution("nope", {}).error().full_text(), "unknown variable 'nope'");
  EXPECT_EQ(db.meta.next_distribution_id, 3u);
  EXPECT_EQ(db.distributions.size(), 2u);
}

TEST(ApplyCounts, HistogramOutOfRangeBinRaisesOnlyTotal) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 4)).ok());
  ASSERT_TRUE(apply_counts(db, "x", {}, HistogramCounts{{{4, 5}}}).ok());
  model::DistributionObject d = db.distribution(0);
  const auto& h = std::get<model::HistogramRepr>(d.repr);
  EXPECT_EQ(h.bin_counts, (std::vector<uint64_t>{0, 0, 0, 0}));
  EXPECT_EQ(h.total_count, 5u);
  EXPECT_EQ(d.sample_count, 0u);  // waits for finalize
  finalize_updates(db, {{"x", {}}});
  d = db.distribution(0);
  EXPECT_EQ(d.sample_count, 5u);
  EXPECT_TRUE(is_negative_zero(d.entropy));
  EXPECT_EQ(d.version, 2u);
}

TEST(ApplyCounts, CategoricalWithUnknowns) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(categorical("c", {"a", "b"})).ok());
  CategoricalCounts counts;
  counts.known = {{0, 1}, {1, 1}, {7, 0}};
  counts.unknown = 2;
  ASSERT_TRUE(apply_counts(db, "c", {{"r", "EU"}}, counts).ok());
  finalize_updates(db, {{"c", {{"r", "EU"}}}});
  const model::DistributionObject d = db.distribution(0);
  const auto& c = std::get<model::CategoricalRepr>(d.repr);
  EXPECT_EQ(c.counts, (std::vector<uint64_t>{1, 1}));
  EXPECT_EQ(c.unknown_count, 2u);
  EXPECT_EQ(c.total_count, 4u);
  EXPECT_EQ(d.sample_count, 4u);
  EXPECT_EQ(d.entropy, 1.0);
}

TEST(ApplyCounts, KindMismatchSucceedsAndChangesNothing) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  CategoricalCounts counts;
  counts.known = {{0, 3}};
  ASSERT_TRUE(apply_counts(db, "x", {}, counts).ok());
  EXPECT_EQ(db.distribution(0).repr.total_count(), 0u);
}

TEST(ApplyCounts, IndexDisagreeingWithListFails) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  db.index_insert("x", {}, 99);  // names an id the list lacks
  EXPECT_EQ(apply_counts(db, "x", {}, HistogramCounts{}).error().full_text(),
            "distribution id '99' not found");
  finalize_updates(db, {{"x", {}}, {"absent", {}}});  // passed over, no crash
}

TEST(ApplyCounts, CountsSaturateInsteadOfWrapping) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 1)).ok());
  ASSERT_TRUE(apply_counts(db, "x", {}, HistogramCounts{{{0, UINT64_MAX}}}).ok());
  ASSERT_TRUE(apply_counts(db, "x", {}, HistogramCounts{{{0, 5}}}).ok());
  const model::DistributionObject d = db.distribution(0);
  const auto& h = std::get<model::HistogramRepr>(d.repr);
  EXPECT_EQ(h.bin_counts[0], UINT64_MAX);
  EXPECT_EQ(h.total_count, UINT64_MAX);
}

TEST(FinalizeUpdates, EntropySignsAndVersions) {
  struct Case {
    std::vector<uint64_t> bins;
    uint64_t total;
    double entropy;
    bool negative_zero;
  };
  const Case cases[] = {
      {{2, 2}, 4, 1.0, false},
      {{4, 0}, 4, 0.0, true},
      {{0, 0}, 0, 0.0, false},
      {{1, 1, 1, 1}, 4, 2.0, false},
      {{1, 1}, 4, 1.0, false},  // cells over a larger total: -2 * 0.25 * log2(0.25)
  };
  for (const auto& c : cases) {
    Database db = writable_db();
    ASSERT_TRUE(db.add_variable(continuous("x", static_cast<uint32_t>(c.bins.size()))).ok());
    ASSERT_TRUE(db.ensure_distribution("x", {}).ok());
    db.distributions.set_repr(0, model::HistogramRepr{0.0, 1.0, c.bins, c.total});
    finalize_updates(db, {{"x", {}}});
    finalize_updates(db, {{"x", {}}});
    const model::DistributionObject d = db.distribution(0);
    EXPECT_EQ(d.entropy, c.entropy);
    if (c.entropy == 0.0) {
      EXPECT_EQ(std::signbit(d.entropy), c.negative_zero) << "total " << c.total;
    }
    EXPECT_EQ(d.version, 3u);
    EXPECT_EQ(d.sample_count, c.total);
  }
}

// ---- joints ----

TEST(Joints, AxisOrderFollowsByteOrder) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("b", 3)).ok());
  ASSERT_TRUE(db.add_variable(continuous("a", 5, model::Range{-1.0, 1.0})).ok());
  ASSERT_TRUE(db.ensure_joint("b", "a", {{"r", "EU"}}).ok());
  ASSERT_EQ(db.joints.size(), 1u);
  const auto& j = db.joints[0];
  EXPECT_EQ(j.id, 1u);
  EXPECT_EQ(j.variables, (std::pair<std::string, std::string>{"a", "b"}));
  const auto& g = std::get<model::HistogramGridRepr>(j.repr);
  EXPECT_EQ(g.x_bins, 5u);
  EXPECT_EQ(g.y_bins, 3u);
  EXPECT_EQ(g.x_min, -1.0);
  EXPECT_EQ(g.y_max, 1.0);
  EXPECT_EQ(g.counts, std::vector<std::vector<uint64_t>>(5, std::vector<uint64_t>(3, 0)));

  // Idempotent, found in either order, only with the exact map.
  ASSERT_TRUE(db.ensure_joint("a", "b", {{"r", "EU"}}).ok());
  EXPECT_EQ(db.joints.size(), 1u);
  EXPECT_EQ(db.find_joint("b", "a", {{"r", "EU"}}), &j);
  EXPECT_EQ(db.find_joint("a", "b", {{"r", "EU"}, {"y", "1"}}), nullptr);
  EXPECT_EQ(db.find_joint_mut("a", "b", {{"r", "EU"}}), &db.joints[0]);
  EXPECT_EQ(db.meta.next_joint_id, 2u);
}

TEST(Joints, RepresentationsByKind) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2, model::Range{0.0, 10.0})).ok());
  ASSERT_TRUE(db.add_variable(categorical("y", {"p", "q", "r"})).ok());
  ASSERT_TRUE(db.add_variable(categorical("w", {"s"})).ok());
  ASSERT_TRUE(db.ensure_joint("x", "y", {}).ok());
  ASSERT_TRUE(db.ensure_joint("y", "w", {}).ok());

  const auto& cond = std::get<model::ConditionalHistogramsRepr>(db.joints[0].repr);
  EXPECT_EQ(cond.condition_categories, (std::vector<std::string>{"p", "q", "r"}));
  ASSERT_EQ(cond.histograms.size(), 3u);
  EXPECT_EQ(cond.histograms[2], model::DistributionRepr(model::HistogramRepr{0.0, 10.0, {0, 0}, 0}));

  const auto& table = std::get<model::ContingencyTableRepr>(db.joints[1].repr);
  EXPECT_EQ(db.joints[1].variables.first, "w");
  EXPECT_EQ(table.x_categories, (std::vector<std::string>{"s"}));
  EXPECT_EQ(table.counts, std::vector<std::vector<uint64_t>>(1, std::vector<uint64_t>(3, 0)));

  EXPECT_EQ(db.ensure_joint("x", "missing", {}).error().full_text(),
            "joint variables not found in schema");
  EXPECT_EQ(db.meta.next_joint_id, 3u);
}

TEST(Joints, MarginalAndJointIdsAreSeparate) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_variable(continuous("y", 2)).ok());
  EXPECT_EQ(*db.ensure_distribution("x", {}), 1u);
  ASSERT_TRUE(db.ensure_joint("x", "y", {}).ok());
  EXPECT_EQ(db.joints[0].id, 1u);
  EXPECT_EQ(db.database_stats(), (DatabaseStats{1, 0, 2, 0}));
  EXPECT_EQ(rebuild_dist_index(db.records().distributions).by_key.size(), 1u);
}

// The last id a counter can give is 2^64 - 2: taking 2^64 - 1 would leave
// nothing to raise the counter to. A refusal changes nothing, and an existing
// distribution or joint is still found.
TEST(IdCounters, RefusedInsteadOfWrapping) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_variable(continuous("y", 2)).ok());
  db.meta.next_distribution_id = UINT64_MAX - 1;
  db.meta.next_joint_id = UINT64_MAX - 1;
  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "a"}}), UINT64_MAX - 1);
  ASSERT_TRUE(db.ensure_joint("x", "y", {{"d", "a"}}).ok());
  EXPECT_EQ(db.joints[0].id, UINT64_MAX - 1);
  EXPECT_EQ(db.meta.next_distribution_id, UINT64_MAX);
  EXPECT_EQ(db.meta.next_joint_id, UINT64_MAX);

  EXPECT_EQ(db.ensure_distribution("x", {{"d", "b"}}).error().full_text(),
            "distribution id counter exhausted");
  EXPECT_EQ(db.ensure_joint("y", "x", {{"d", "b"}}).error().full_text(),
            "joint id counter exhausted");
  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "a"}}), UINT64_MAX - 1);
  // An unknown variable is still reported as such, before the counter.
  EXPECT_EQ(db.ensure_distribution("nope", {}).error().full_text(), "unknown variable 'nope'");
  EXPECT_EQ(db.ensure_joint("x", "nope", {}).error().full_text(),
            "joint variables not found in schema");
  EXPECT_EQ(db.meta.next_distribution_id, UINT64_MAX);
  EXPECT_EQ(db.meta.next_joint_id, UINT64_MAX);
  EXPECT_EQ(db.distributions.size(), 1u);
  EXPECT_EQ(db.joints.size(), 1u);
  EXPECT_EQ(db.dimension_values("d"), (std::set<std::string>{"a"}));

  EXPECT_EQ(*db.ensure_distribution("x", {{"d", "a"}}), UINT64_MAX - 1);
  EXPECT_TRUE(db.ensure_joint("y", "x", {{"d", "a"}}).ok());
  EXPECT_EQ(db.position_of_id(UINT64_MAX - 1), Position{0});
  EXPECT_EQ(db.find_joint("y", "x", {{"d", "a"}}), &db.joints[0]);
}

// ---- searches ----

TEST(Searches, FindDistributionAndDimensionValues) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_variable(continuous("y", 2)).ok());
  ASSERT_TRUE(db.ensure_distribution("y", {{"r", "US"}}).ok());
  ASSERT_TRUE(db.ensure_distribution("x", {{"r", "US"}, {"t", "2"}}).ok());
  ASSERT_TRUE(db.ensure_distribution("x", {{"r", "EU"}, {"t", "1"}}).ok());

  std::map<std::string, std::string> empty;
  EXPECT_EQ(find_distribution(db, "x", empty)->id, 2u);
  std::unordered_map<std::string, std::string> eu{{"r", "EU"}};
  EXPECT_EQ(find_distribution(db, "x", eu)->id, 3u);
  std::unordered_map<std::string, std::string> none{{"r", "JP"}};
  EXPECT_EQ(find_distribution(db, "x", none), std::nullopt);

  EXPECT_EQ(db.dimension_values("r"), (std::set<std::string>{"EU", "US"}));
  EXPECT_EQ(db.dimension_values("t"), (std::set<std::string>{"1", "2"}));
  EXPECT_TRUE(db.dimension_values("nope").empty());
}

// Values that agree on their first 8 bytes, differ only in length, hold a
// zero byte or bytes above 0x7f, or are empty, held by two variables with
// some values in common: listed once each, in byte order.
TEST(Searches, DimensionValuesInByteOrder) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_variable(continuous("y", 2)).ok());
  const std::vector<std::string> values = {
      "region-eu-west", "region-eu-east", "region-e", "region-", "region", "", "a",
      std::string("a\0", 2), std::string("a\0b", 3), "a\x01", "\xc3\xa9t\xc3\xa9", "\xff",
      "zz", "12345678", "123456789", "12345679"};
  std::set<std::string> want;
  for (size_t i = 0; i < values.size(); ++i) {
    want.insert(values[i]);
    ASSERT_TRUE(db.ensure_distribution(i % 3 == 0 ? "y" : "x", {{"r", values[i]}}).ok());
    if (i % 4 == 0) {
      ASSERT_TRUE(db.ensure_distribution("y", {{"r", values[i]}, {"s", "1"}}).ok());
    }
  }
  EXPECT_EQ(db.dimension_values("r"), want);
}

TEST(Searches, IdLookupKeepsFirstMatchSemanticsOnIrregularLists) {
  Database db = writable_db();
  model::DistributionFile file;
  file.distributions.resize(4);
  const uint64_t ids[] = {1, 5, 5, 3};
  for (size_t i = 0; i < 4; ++i) {
    file.distributions[i].id = ids[i];
    file.distributions[i].variable = "v" + std::to_string(i);
  }
  db.load_records(file);
  EXPECT_EQ(db.records(), file);
  EXPECT_EQ(db.distribution_by_id(1)->variable, "v0");
  EXPECT_EQ(db.distribution_by_id(5)->variable, "v1");
  EXPECT_EQ(db.distribution_by_id(3)->variable, "v3");
  EXPECT_EQ(db.distribution_by_id(2), std::nullopt);
  EXPECT_EQ(db.distribution_by_id(0), std::nullopt);
}

// Appending stored records to the table, and joints to their list
// directly (which leaves the joint lookups behind): the next creation
// through the store catches up before adding its own entry.
TEST(Searches, CreationCatchesUpWithListsGrownBehindTheLookups) {
  Database db = writable_db();
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_variable(continuous("y", 2)).ok());
  ASSERT_TRUE(db.ensure_distribution("x", {{"r", "a"}}).ok());
  db.distributions.append_record(
      new_distribution_object(40, "x", {{"r", "b"}}, model::HistogramRepr{0, 1, {0, 0}, 0}));
  model::JointDistributionObject j;
  j.variables = {"x", "y"};
  db.joints.push_back(j);
  db.meta.next_distribution_id = 41;
  ASSERT_TRUE(db.ensure_distribution("x", {{"r", "c"}}).ok());
  ASSERT_TRUE(db.ensure_joint("x", "y", {{"r", "c"}}).ok());
  EXPECT_EQ(db.position_of_id(40), Position{1});
  EXPECT_EQ(db.position_of_id(41), Position{2});
  EXPECT_EQ(db.dimension_values("r"), (std::set<std::string>{"a", "b", "c"}));
  EXPECT_EQ(db.find_joint("y", "x", {}), &db.joints[0]);
  EXPECT_EQ(db.find_joint("y", "x", {{"r", "c"}}), &db.joints[1]);
}

TEST(Searches, StatsSumSamples) {
  Database db = writable_db();
  EXPECT_EQ(db.database_stats(), (DatabaseStats{0, 0, 0, 0}));
  ASSERT_TRUE(db.add_variable(continuous("x", 2)).ok());
  ASSERT_TRUE(db.add_dimension({"r", "r", std::nullopt}).ok());
  ASSERT_TRUE(apply_counts(db, "x", {{"r", "a"}}, HistogramCounts{{{0, 3}}}).ok());
  ASSERT_TRUE(apply_counts(db, "x", {{"r", "b"}}, HistogramCounts{{{1, 4}}}).ok());
  finalize_updates(db, {{"x", {{"r", "a"}}}, {"x", {{"r", "b"}}}});
  EXPECT_EQ(db.database_stats(), (DatabaseStats{2, 7, 1, 1}));
  EXPECT_EQ(db.lookup_distribution("x", {{"r", "b"}})->sample_count, 4u);
}

}  // namespace
}  // namespace quor::store
