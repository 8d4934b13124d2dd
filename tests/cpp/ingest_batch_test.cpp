#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "temp_dir.h"
#include "quor/ingest/batch_apply.h"
#include "quor/store/dim_key.h"
#include "reference/database_counts.h"

namespace quor::ingest {
namespace {

using reference::apply_counts;
using reference::finalize_updates;
using reference::HistogramCounts;
using reference::CategoricalCounts;
using reference::TouchedSet;

namespace fs = std::filesystem;
using model::CategoricalType;
using model::ContinuousType;
using util::JsonNumber;
using util::JsonValue;

using quor::test_util::TempDir;

JsonValue integer(int64_t i) { return JsonValue(JsonNumber::from_int(i)); }

// A writable in-memory database: a categorical "color", a histogram "size"
// over 0..4 in 4 bins, dimension "region"; raw logging off.
store::Database make_db() {
  store::Database db;
  db.writable = true;
  db.meta.raw_log_enabled = false;
  EXPECT_TRUE(db.add_variable({"color", CategoricalType{{"red", "blue"}, true}}).ok());
  EXPECT_TRUE(db.add_variable({"size", ContinuousType{4, model::Range{0.0, 4.0}}}).ok());
  EXPECT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
  return db;
}

Observation obs(std::string region, std::optional<std::string> color, std::optional<int64_t> size) {
  Observation o;
  o.dimensions.emplace("region", std::move(region));
  if (color) o.values.emplace("color", JsonValue(*color));
  if (size) o.values.emplace("size", integer(*size));
  return o;
}

model::DistributionObject dist(const store::Database& db, const std::string& var,
                               const std::string& region) {
  const auto d = db.lookup_distribution(var, {{"region", region}});
  EXPECT_TRUE(d.has_value()) << var << " " << region;
  return d.value_or(model::DistributionObject{});
}

TEST(BatchApply, TalliesOncePerDistributionPerBatch) {
  store::Database db = make_db();
  const model::Schema schema = db.meta.schema;
  std::vector<Observation> batch = {obs("n", "red", 1), obs("n", "red", 3), obs("s", "green", std::nullopt),
                                    obs("n", std::nullopt, 9)};
  auto c = apply_observation_batch(db, schema, batch);
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(*c, (BatchCounters{4, 0, 3}));
  const auto red_record = dist(db, "color", "n");
  const auto& red = std::get<model::CategoricalRepr>(red_record.repr);
  EXPECT_EQ(red.counts, (std::vector<uint64_t>{2, 0}));
  EXPECT_EQ(dist(db, "color", "n").version, 2u);  // raised once for two records
  EXPECT_EQ(dist(db, "color", "n").sample_count, 2u);
  const auto green_record = dist(db, "color", "s");
  const auto& green = std::get<model::CategoricalRepr>(green_record.repr);
  EXPECT_EQ(green.unknown_count, 1u);
  EXPECT_EQ(green.total_count, 1u);
  const auto& size = dist(db, "size", "n");
  EXPECT_EQ(std::get<model::HistogramRepr>(size.repr).bin_counts, (std::vector<uint64_t>{0, 1, 0, 2}));
  EXPECT_DOUBLE_EQ(size.entropy, -(1.0 / 3 * std::log2(1.0 / 3) + 2.0 / 3 * std::log2(2.0 / 3)));
  EXPECT_EQ(db.lookup_distribution("size", {{"region", "s"}}), std::nullopt);

  // The same marginal in a second batch: counted again, version raised again.
  c = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "blue", std::nullopt)});
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(*c, (BatchCounters{1, 0, 1}));
  EXPECT_EQ(dist(db, "color", "n").version, 3u);
  EXPECT_EQ(std::get<model::CategoricalRepr>(dist(db, "color", "n").repr).counts,
            (std::vector<uint64_t>{2, 1}));
}

// Many distributions in one batch: every tally lands, however the work on
// them is split.
TEST(BatchApply, EveryDistributionOfALargeBatchIsCounted) {
  store::Database db = make_db();
  const model::Schema schema = db.meta.schema;
  constexpr int kRegions = 1000;
  std::vector<Observation> batch;
  for (int r = 0; r < kRegions; ++r)
    for (int k = 0; k < 3; ++k) batch.push_back(obs("r" + std::to_string(r), "blue", k));
  auto c = apply_observation_batch(db, schema, batch);
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(*c, (BatchCounters{3 * kRegions, 0, 2 * kRegions}));
  EXPECT_EQ(db.database_stats().total_samples, uint64_t{6 * kRegions});
  for (int r = 0; r < kRegions; ++r) {
    const auto& d = dist(db, "size", "r" + std::to_string(r));
    ASSERT_EQ(d.sample_count, 3u) << r;
    ASSERT_EQ(d.version, 2u) << r;
  }
}

// A stored schema may repeat a variable name (nothing checks it when it is
// read): the slots of both definitions go to the one distribution of the
// name, built from the first; a slot past its cells raises only the total.
TEST(BatchApply, RepeatedVariableNameInAStoredSchema) {
  store::Database db = make_db();
  db.meta.schema.variables.push_back({"color", CategoricalType{{"red", "blue", "green", "pink"}, false}});
  db.meta.schema.variables.push_back({"size", ContinuousType{8, model::Range{0.0, 8.0}}});
  const model::Schema schema = db.meta.schema;
  auto c = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "pink", 7)});
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(*c, (BatchCounters{1, 0, 2}));
  const auto color_record = dist(db, "color", "n");
  const auto& color = std::get<model::CategoricalRepr>(color_record.repr);
  EXPECT_EQ(color.counts, (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(color.unknown_count, 1u);  // from the first definition
  EXPECT_EQ(color.total_count, 2u);    // category 3 of the second lies past the cells
  const auto& size = dist(db, "size", "n");
  EXPECT_EQ(std::get<model::HistogramRepr>(size.repr).bin_counts, (std::vector<uint64_t>{0, 0, 0, 1}));
  EXPECT_EQ(size.sample_count, 2u);  // bin 7 of the second lies past the four bins
}

TEST(BatchApply, SkipsObservationsWithoutAKeyAndCountsEmptyOnes) {
  store::Database db = make_db();
  model::Schema schema = db.meta.schema;
  schema.dimensions.push_back({"shadowed", "region", std::nullopt});
  Observation lacks;  // no dimension text at all
  std::vector<Observation> batch = {lacks, obs("n", std::nullopt, std::nullopt)};
  auto c = apply_observation_batch(db, db.meta.schema, batch);
  EXPECT_EQ(*c, (BatchCounters{1, 1, 0}));
  // A dimension the observation has no text for makes every record skip.
  c = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "red", 1)});
  EXPECT_EQ(*c, (BatchCounters{0, 1, 0}));
  EXPECT_TRUE(db.distributions.empty());
}

TEST(BatchApply, JointCells) {
  store::Database db = make_db();
  db.meta.schema.joints = {{"size", "color"}, {"color", "size"}};
  const model::Schema schema = db.meta.schema;
  auto c = apply_observation_batch(db, schema,
                                   std::vector<Observation>{obs("n", "blue", 2), obs("n", "red", 0),
                                                            obs("n", "green", 1)});
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  ASSERT_EQ(db.joints.size(), 1u);  // both listings name one joint
  const auto& j = db.joints[0];
  EXPECT_EQ(j.variables, (std::pair<std::string, std::string>{"color", "size"}));
  const auto& cond = std::get<model::ConditionalHistogramsRepr>(j.repr);
  // Each listing adds its cells: two per record with a known color.
  EXPECT_EQ(std::get<model::HistogramRepr>(cond.histograms[1]).bin_counts, (std::vector<uint64_t>{0, 0, 2, 0}));
  EXPECT_EQ(std::get<model::HistogramRepr>(cond.histograms[0]).bin_counts, (std::vector<uint64_t>{2, 0, 0, 0}));
  EXPECT_EQ(j.sample_count, 4u);
  EXPECT_EQ(cond.total_count, 4u);
  EXPECT_EQ(j.version, 1u);
  // A variable the database lacks fails the batch at its marginal, before any joint.
  model::Schema bad = schema;
  bad.variables.push_back({"ghost", CategoricalType{{"g"}, true}});
  bad.joints = {{"ghost", "color"}};
  Observation o = obs("n", "red", 1);
  o.values.emplace("ghost", JsonValue("g"));
  auto failed = apply_observation_batch(db, bad, std::vector<Observation>{o});
  EXPECT_EQ(failed.error().full_text(), "unknown variable 'ghost'");
  // The tallies before the failing one are added; no marginal is finalised.
  const auto& color = dist(db, "color", "n");
  EXPECT_EQ(std::get<model::CategoricalRepr>(color.repr).counts, (std::vector<uint64_t>{2, 1}));
  EXPECT_EQ(color.version, 2u);
}

// An index that names an id the distributions lack fails the batch at that
// tally; whatever tallies went before it are added, none after it begins.
TEST(BatchApply, IndexNamingAMissingDistribution) {
  store::Database db = make_db();
  db.index_insert("color", {{"region", "n"}}, 99);
  const model::Schema schema = db.meta.schema;
  auto r = apply_observation_batch(
      db, schema, std::vector<Observation>{obs("s", "red", 1), obs("n", "blue", std::nullopt)});
  EXPECT_EQ(r.error().full_text(), "distribution id '99' not found");
  for (const auto& d : db.records().distributions) {
    // Created before the failing tally, so added too (and not finalised).
    EXPECT_EQ(d.repr.total_count(), 1u) << d.variable;
    EXPECT_EQ(d.version, 1u) << d.variable;
  }
}

// A stored id counter far beyond the distributions the database holds.
TEST(BatchApply, HugeDistributionIdCounter) {
  store::Database db = make_db();
  db.meta.next_distribution_id = uint64_t{1} << 50;
  const model::Schema schema = db.meta.schema;
  std::vector<Observation> batch;
  for (int r = 0; r < 300; ++r) batch.push_back(obs("r" + std::to_string(r), "red", 1));
  auto c = apply_observation_batch(db, schema, batch);
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(c->distributions_updated, 600u);
  EXPECT_EQ(dist(db, "size", "r299").sample_count, 1u);
  EXPECT_EQ(dist(db, "color", "r0").id, uint64_t{1} << 50);
}

// Counts saturate at 2^64 - 1 on the batched road as in apply_counts: a
// distribution near the limit stays at it, whatever the number of batches.
TEST(BatchApply, CountsSaturate) {
  store::Database db = make_db();
  const model::Schema schema = db.meta.schema;
  ASSERT_TRUE(apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "red", 1)}).ok());
  auto color = [&] { return *db.lookup_distribution("color", {{"region", "n"}}); };
  auto size = [&] { return *db.lookup_distribution("size", {{"region", "n"}}); };
  {
    model::DistributionObject c = color(), z = size();
    auto& cat = std::get<model::CategoricalRepr>(c.repr);
    cat.counts[0] = UINT64_MAX - 1;
    cat.unknown_count = UINT64_MAX;
    cat.total_count = UINT64_MAX - 1;
    auto& h = std::get<model::HistogramRepr>(z.repr);
    h.bin_counts[1] = UINT64_MAX;
    h.total_count = UINT64_MAX;
    db.distributions.set_repr(*db.lookup_position("color", {{"region", "n"}}), c.repr);
    db.distributions.set_repr(*db.lookup_position("size", {{"region", "n"}}), z.repr);
  }
  std::vector<Observation> batch = {obs("n", "red", 1), obs("n", "red", 1), obs("n", "pink", 1)};
  ASSERT_TRUE(apply_observation_batch(db, schema, batch).ok());
  ASSERT_TRUE(apply_observation_batch(db, schema, batch).ok());
  const model::DistributionObject final_color = color();
  const auto& cat = std::get<model::CategoricalRepr>(final_color.repr);
  EXPECT_EQ(cat.counts, (std::vector<uint64_t>{UINT64_MAX, 0}));
  EXPECT_EQ(cat.unknown_count, UINT64_MAX);
  EXPECT_EQ(cat.total_count, UINT64_MAX);
  EXPECT_EQ(color().sample_count, UINT64_MAX);
  EXPECT_EQ(std::get<model::HistogramRepr>(size().repr).bin_counts[1], UINT64_MAX);
  EXPECT_EQ(size().sample_count, UINT64_MAX);
  EXPECT_EQ(color().version, 4u);
}

TEST(BatchApply, RawLogLinesAndIdentifiers) {
  TempDir dir;
  store::Database db = make_db();
  db.meta.raw_log_enabled = true;
  db.meta.next_raw_record_id = 7;
  db.raw_log = store::RawLog{dir.path() / "log_000001.raw"};
  const model::Schema schema = db.meta.schema;
  Observation o = obs("n", "x\"\\\t\xC3\xA9", 1);
  auto c = apply_observation_batch(db, schema,
                                   std::vector<Observation>{o, Observation{}, obs("s", std::nullopt, std::nullopt)});
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(test_util::read_file(db.raw_log->segment_path),
            "{\"payload\":{\"color\":\"x\\\"\\\\\\t\xC3\xA9\",\"size\":1},\"record_id\":7}\n"
            "{\"payload\":{},\"record_id\":8}\n");
  EXPECT_EQ(db.meta.next_raw_record_id, 9u);

  // An append that fails consumes the identifier and applies no count.
  db.raw_log = store::RawLog{dir.path() / "missing" / "log_000001.raw"};
  auto failed = apply_observation_batch(db, schema, std::vector<Observation>{obs("z", "red", 1)});
  EXPECT_EQ(failed.error().full_text(), "open raw segment " + (dir.path() / "missing" / "log_000001.raw").string() +
                                            ": No such file or directory (os error 2)");
  EXPECT_EQ(db.meta.next_raw_record_id, 10u);
  EXPECT_EQ(db.lookup_distribution("color", {{"region", "z"}}), std::nullopt);

  // Without an open log nothing is written and no identifier is drawn.
  db.raw_log.reset();
  ASSERT_TRUE(apply_observation_batch(db, schema, std::vector<Observation>{obs("z", "red", 1)}).ok());
  EXPECT_EQ(db.meta.next_raw_record_id, 10u);
}

// The raw-record counter never wraps: a batch that would carry it past
// 2^64 - 1 is refused before any line is written or any count added.
TEST(BatchApply, RawRecordCounterNeverWraps) {
  TempDir dir;
  store::Database db = make_db();
  db.meta.raw_log_enabled = true;
  db.meta.next_raw_record_id = UINT64_MAX - 1;
  db.raw_log = store::RawLog{dir.path() / "log_000001.raw"};
  const model::Schema schema = db.meta.schema;
  ASSERT_TRUE(apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "red", 1)}).ok());
  EXPECT_EQ(db.meta.next_raw_record_id, UINT64_MAX);
  const std::string before = test_util::read_file(db.raw_log->segment_path);
  EXPECT_EQ(before, "{\"payload\":{\"color\":\"red\",\"size\":1},\"record_id\":18446744073709551614}\n");
  auto r = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "blue", 1)});
  EXPECT_EQ(r.error().full_text(),
            "raw record id counter would pass 18446744073709551615 (next id "
            "18446744073709551615, records to number 1)");
  EXPECT_EQ(db.meta.next_raw_record_id, UINT64_MAX);
  EXPECT_EQ(test_util::read_file(db.raw_log->segment_path), before);
  EXPECT_EQ(std::get<model::CategoricalRepr>(dist(db, "color", "n").repr).counts,
            (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(dist(db, "color", "n").version, 2u);
}

TEST(BatchApply, ReadOnlyRefusals) {
  store::Database db = make_db();
  db.writable = false;
  const model::Schema schema = db.meta.schema;
  // Logging off: refused at the first tally, nothing created.
  auto r = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", "red", 1)});
  EXPECT_EQ(r.error().full_text(), "database opened in read-only mode");
  EXPECT_TRUE(db.distributions.empty());
  // Nothing to tally: nothing is refused.
  EXPECT_TRUE(apply_observation_batch(db, schema, std::vector<Observation>{obs("n", std::nullopt, std::nullopt)}).ok());
  // Logging on: refused at the first processed record.
  db.meta.raw_log_enabled = true;
  r = apply_observation_batch(db, schema, std::vector<Observation>{obs("n", std::nullopt, std::nullopt)});
  EXPECT_EQ(r.error().full_text(), "database opened in read-only mode");
  EXPECT_EQ(db.meta.next_raw_record_id, 1u);
}

TEST(BatchApply, InputRecordsRoad) {
  store::Database db = make_db();
  std::vector<InputRecord> records = {
      {{"region", JsonValue("n")}, {"color", JsonValue("red")}, {"extra", JsonValue("ignored")}},
      {{"color", JsonValue("red")}},  // no region: dropped
      {{"region", integer(2020)}, {"size", JsonValue("3.5")}},
  };
  auto c = apply_input_records(db, records);
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(*c, (BatchCounters{2, 0, 2}));
  EXPECT_EQ(std::get<model::HistogramRepr>(dist(db, "size", "2020").repr).bin_counts,
            (std::vector<uint64_t>{0, 0, 0, 1}));
}

// Variables of about 65 535 cells, where a count block's short list of cell
// numbers (16 bits each) reaches its end: the cells, the unknown count and
// the clamped bins of a block that stays listed (4 counts) and of one that
// turns flat (7 counts) come out as the plain apply_counts gives them.
TEST(BatchApply, CellNumbersAtTheEndOfTheShortList) {
  for (const uint32_t cells : {65533u, 65534u, 65535u, 65536u}) {
    SCOPED_TRACE(cells);
    std::vector<std::string> names(cells);
    for (uint32_t i = 0; i < cells; ++i) names[i] = "k" + std::to_string(i);
    const std::string last = names.back();
    auto fresh = [&] {
      store::Database db;
      db.writable = true;
      db.meta.raw_log_enabled = false;
      EXPECT_TRUE(db.add_variable({"cat", CategoricalType{names, true}}).ok());
      EXPECT_TRUE(db.add_variable({"hist", ContinuousType{cells, model::Range{0.0, double(cells)}}}).ok());
      EXPECT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
      return db;
    };
    // (category, value) per record: the last cell, the unknown count, the
    // first cell, and bins clamped from both sides.
    using Rows = std::vector<std::pair<std::string, double>>;
    const Rows listed = {{last, cells - 0.5}, {"nowhere", -5.0}, {"k0", 0.5}, {last, 1e9}};
    Rows flat = listed;
    flat.insert(flat.end(), {{"nowhere", cells - 1.0}, {last, 2.5}, {"k1", cells + 1.0}});
    const std::vector<std::pair<std::string, const Rows*>> regions = {{"listed", &listed},
                                                                      {"flat", &flat}};

    store::Database db = fresh();
    std::vector<Observation> batch;
    for (const auto& [region, rows] : regions) {
      for (const auto& [category, value] : *rows) {
        Observation o;
        o.dimensions.emplace("region", region);
        o.values.emplace("cat", JsonValue(category));
        o.values.emplace("hist", JsonValue(JsonNumber::from_double(value)));
        batch.push_back(std::move(o));
      }
    }
    const model::Schema schema = db.meta.schema;
    ASSERT_TRUE(apply_observation_batch(db, schema, batch).ok());

    store::Database plain = fresh();
    TouchedSet touched;
    for (const auto& [region, rows] : regions) {
      CategoricalCounts cat;
      HistogramCounts hist;
      for (const auto& [category, value] : *rows) {
        const auto at = std::find(names.begin(), names.end(), category);
        if (at == names.end()) ++cat.unknown;
        else ++cat.known[static_cast<uint64_t>(at - names.begin())];
        ++hist.bins[static_cast<uint64_t>(std::clamp(std::floor(value), 0.0, cells - 1.0))];
      }
      const model::DimensionMap map{{"region", region}};
      ASSERT_TRUE(apply_counts(plain, "cat", map, cat).ok());
      ASSERT_TRUE(apply_counts(plain, "hist", map, hist).ok());
      touched.emplace_back("cat", map);
      touched.emplace_back("hist", map);
    }
    finalize_updates(plain, touched);

    for (const char* var : {"cat", "hist"}) {
      for (const char* region : {"listed", "flat"}) {
        SCOPED_TRACE(std::string(var) + " " + region);
        const auto& got = dist(db, var, region);
        const auto& want = dist(plain, var, region);
        EXPECT_TRUE(got.repr == want.repr);
        EXPECT_EQ(got.sample_count, want.sample_count);
        EXPECT_EQ(std::bit_cast<uint64_t>(got.entropy), std::bit_cast<uint64_t>(want.entropy));
      }
    }
    const auto listed_record = dist(db, "cat", "listed");
    const auto& listed_cat = std::get<model::CategoricalRepr>(listed_record.repr);
    EXPECT_EQ(listed_cat.counts.back(), 2u);
    EXPECT_EQ(listed_cat.unknown_count, 1u);
    EXPECT_EQ(listed_cat.total_count, 4u);
  }
}

}  // namespace
}  // namespace quor::ingest
