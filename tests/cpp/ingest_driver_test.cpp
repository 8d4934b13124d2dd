#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "temp_dir.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/internal/json_lines.h"
#include "quor/ingest/readers.h"
#include "quor/store/directory.h"

namespace quor::ingest {
namespace {

namespace fs = std::filesystem;

using quor::test_util::TempDir;

using quor::test_util::lines_of;

IngestOptions options() {
  IngestOptions o;
  o.date_granularity = "yearly";
  return o;
}

// 25 rows of one text column with 25 distinct values: inferred (with
// max_categories 1) as a dimension without granularity.
std::string regions_csv() {
  std::string s = "region\n";
  for (int i = 0; i < 25; ++i) s += "r" + std::to_string(i) + "\n";
  return s;
}

// A read-only database whose schema already has the dimension: nothing is
// added, no record has a variable, so the batches change nothing and the
// flush writes nothing.
store::Database read_only_with(std::vector<model::DimensionDefinition> dims) {
  store::Database db;
  db.writable = false;
  db.meta.raw_log_enabled = false;
  db.meta.schema.dimensions = std::move(dims);
  return db;
}

TEST(IngestDriver, ReadOnlyRefusesTheFirstNewDefinition) {
  TempDir dir;
  store::Database db = read_only_with({});
  auto r = ingest_file(db, dir.write("a.csv", "x,y\n1,a\n"), options(), 10000, false);
  EXPECT_EQ(r.error().full_text(), "database opened in read-only mode");
  EXPECT_TRUE(db.meta.schema.variables.empty());
}

TEST(IngestDriver, BatchesAndProgressLines) {
  TempDir dir;
  const std::string path = dir.write("r.csv", regions_csv());
  IngestOptions o = options();
  o.max_categories = 1;
  store::Database db = read_only_with({{"region", "region", std::nullopt}});
  testing::internal::CaptureStdout();
  auto r = ingest_file(db, path, o, 10, true);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_EQ(r->total_rows, 25u);
  EXPECT_EQ(r->processed_rows, 25u);
  EXPECT_EQ(r->skipped_rows, 0u);
  EXPECT_EQ(r->distributions_updated, 0u);
  EXPECT_EQ(out,
            "Ingesting: 10 / 25 rows (40.0%) \xE2\x80\x94 0 distributions updated\n"
            "Ingesting: 20 / 25 rows (80.0%) \xE2\x80\x94 0 distributions updated\n"
            "Ingesting: 25 / 25 rows (100.0%) \xE2\x80\x94 0 distributions updated\n");

  // Batch size 0 runs one batch per observation.
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ingest_file(db, path, o, 0, true).ok());
  const std::string one_by_one = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(one_by_one.begin(), one_by_one.end(), '\n'), 25);
  EXPECT_NE(one_by_one.find("Ingesting: 1 / 25 rows (4.0%)"), std::string::npos);
}

TEST(IngestDriver, SharedSourceColumnSkipsAndMissingColumnDrops) {
  TempDir dir;
  const std::string path = dir.write("r.csv", regions_csv());
  IngestOptions o = options();
  o.max_categories = 1;
  store::Database shared =
      read_only_with({{"region", "region", std::nullopt}, {"alias", "region", std::nullopt}});
  testing::internal::CaptureStdout();
  auto r = ingest_file(shared, path, o, 10, true);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_EQ(r->total_rows, 25u);
  EXPECT_EQ(r->processed_rows, 0u);
  EXPECT_EQ(r->skipped_rows, 25u);
  EXPECT_NE(out.find("Ingesting: 0 / 25 rows (0.0%)"), std::string::npos);

  // A stored dimension the file lacks: no observation, no batch, no line.
  store::Database missing =
      read_only_with({{"region", "region", std::nullopt}, {"day", "day", std::nullopt}});
  testing::internal::CaptureStdout();
  r = ingest_file(missing, path, o, 10, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_EQ(r->total_rows, 0u);
  EXPECT_EQ(r->processed_rows + r->skipped_rows + r->distributions_updated, 0u);
}

// Two dimensions read one source column, so the earlier never gets a
// value and every observation is skipped, in batches of every length (a
// batch's look-ahead reaches records several places on): nothing is
// counted, stored or logged, on the file road and the records road alike.
TEST(IngestDriver, EveryObservationSkippedByASharedSourceColumn) {
  for (const size_t rows : {1, 8, 9, 17, 300, 10001}) {
    SCOPED_TRACE(rows);
    TempDir dir;
    std::string csv = "region,amount,kind\n";
    std::vector<InputRecord> records;
    for (size_t i = 0; i < rows; ++i) {
      const std::string region = "r" + std::to_string(i % 13), amount = std::to_string(i % 5);
      const std::string kind = i % 2 ? "a" : "b";
      csv += region + "," + amount + "," + kind + "\n";
      records.push_back({{"amount", util::JsonValue(amount)},
                         {"kind", util::JsonValue(kind)},
                         {"region", util::JsonValue(region)}});
    }
    const std::string path = dir.write("shared.csv", csv);
    for (const bool file_road : {true, false}) {
      SCOPED_TRACE(file_road ? "file" : "records");
      const fs::path db_dir = dir.path() / (file_road ? "file_db" : "records_db");
      auto db = store::create_database(db_dir, true);
      ASSERT_TRUE(db.ok()) << db.error().full_text();
      ASSERT_TRUE(db->add_variable({"amount", model::ContinuousType{4, model::Range{0.0, 4.0}}}).ok());
      ASSERT_TRUE(db->add_variable({"kind", model::CategoricalType{{"a", "b"}, true}}).ok());
      ASSERT_TRUE(db->add_dimension({"region", "region", std::nullopt}).ok());
      ASSERT_TRUE(db->add_dimension({"alias", "region", "monthly"}).ok());
      uint64_t processed = 0, skipped = 0, updated = 0;
      if (file_road) {
        auto r = ingest_file(*db, path, options(), 10000, false);
        ASSERT_TRUE(r.ok()) << r.error().full_text();
        EXPECT_EQ(r->total_rows, rows);
        processed = r->processed_rows, skipped = r->skipped_rows, updated = r->distributions_updated;
      } else {
        auto c = apply_input_records(*db, records);
        ASSERT_TRUE(c.ok()) << c.error().full_text();
        processed = c->processed, skipped = c->skipped, updated = c->distributions_updated;
        ASSERT_TRUE(store::flush_database(*db).ok());
      }
      EXPECT_EQ(processed, 0u);
      EXPECT_EQ(skipped, rows);
      EXPECT_EQ(updated, 0u);
      EXPECT_EQ(db->distributions.size(), 0u);
      EXPECT_EQ(db->meta.next_raw_record_id, 1u);
      EXPECT_TRUE(lines_of(db_dir / "raw" / "log_000001.raw").empty());
    }
  }
}

TEST(IngestDriver, ReadFailuresLeaveTheDatabaseAlone) {
  TempDir dir;
  store::Database db;
  db.writable = true;
  auto r = ingest_file(db, dir.write("bad.csv", "a,b\n1,2\n3\n"), options(), 10000, false);
  EXPECT_EQ(r.error().full_text(),
            "read csv record: CSV error: record 2 (line: 3, byte: 8): found record with 1 fields, "
            "but the previous record has 2 fields");
  EXPECT_TRUE(db.meta.schema.variables.empty());
  EXPECT_EQ(ingest_file(db, dir.write("x.tsv", "a\n"), options(), 10000, false).error().full_text(),
            "unsupported ingestion format 'tsv'; expected csv/json/parquet");
}

// A fresh database directory, a CSV ingested in three batches, the data
// files flushed and read back, identifiers continued by a second ingest.
TEST(IngestDriver, FileIngestEndToEnd) {
  TempDir dir;
  const char* regions[] = {"north", "south", "east"};
  std::string csv = "day,region,amount,kind\n";
  for (int i = 0; i < 25; ++i)
    csv += "2024-03-" + std::string(i % 2 ? "05" : "28") + "T10:00:00," + regions[i % 3] + "," +
           std::to_string(i) + "," + (i % 4 ? "a" : "b") + "\n";
  const std::string path = dir.write("sales.csv", csv);
  const fs::path db_dir = dir.path() / "db";
  IngestOptions o = options();
  o.date_granularity = "monthly";
  o.max_categories = 2;
  {
    auto db = store::create_database(db_dir, true);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    auto r = ingest_file(*db, path, o, 10, false);
    ASSERT_TRUE(r.ok()) << r.error().full_text();
    EXPECT_EQ(r->total_rows, 25u);
    EXPECT_EQ(r->processed_rows, 25u);
    EXPECT_EQ(r->skipped_rows, 0u);
    EXPECT_EQ(r->distributions_updated, 18u);  // 3 regions x 2 variables, in each of 3 batches
    const auto& schema = db->meta.schema;
    ASSERT_EQ(schema.variables.size(), 2u);
    EXPECT_EQ(schema.variables[0].name, "amount");
    EXPECT_EQ(schema.variables[1].name, "kind");
    EXPECT_EQ(schema.dimensions,
              (std::vector<model::DimensionDefinition>{{"day", "day", "monthly"},
                                                       {"region", "region", std::nullopt}}));
  }
  {
    auto db = store::open_database(db_dir, true);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    const auto north = db->lookup_distribution("amount", {{"day", "2024-03"}, {"region", "north"}});
    ASSERT_TRUE(north.has_value());
    EXPECT_EQ(north->sample_count, 9u);  // i = 0, 3, ..., 24
    EXPECT_EQ(north->version, 4u);       // created, then raised by 3 batches
    const auto lines = lines_of(db_dir / "raw" / "log_000001.raw");
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], "{\"payload\":{\"amount\":\"0\",\"kind\":\"b\"},\"record_id\":1}");
    EXPECT_EQ(db->meta.next_raw_record_id, 26u);
    // The second ingest: stored definitions win, identifiers continue.
    auto r = ingest_file(*db, path, o, 10000, false);
    ASSERT_TRUE(r.ok()) << r.error().full_text();
    EXPECT_EQ(r->distributions_updated, 6u);
    EXPECT_EQ(db->lookup_distribution("amount", {{"day", "2024-03"}, {"region", "north"}})->sample_count,
              18u);
    const auto more = lines_of(db_dir / "raw" / "log_000001.raw");
    ASSERT_EQ(more.size(), 50u);
    EXPECT_EQ(more[49], "{\"payload\":{\"amount\":\"24\",\"kind\":\"b\"},\"record_id\":50}");
  }
  {
    // Read-only: nothing new to define, so the first batch is refused at its
    // first record (logging is on).
    auto db = store::open_database(db_dir, false);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(ingest_file(*db, path, o, 10, false).error().full_text(),
              "database opened in read-only mode");
  }
}

// Wide files: tens of thousands of variable columns, or thousands of
// dimension columns, and 5 rows. Every column is defined once in name order,
// every distribution counts its rows, a second ingest meets the stored
// definitions, and all of it reads back after a reopen.
TEST(IngestDriver, WideFilesDefineAndCountEveryColumn) {
  struct Case {
    int variables;   // columns "c<i>" of small integers: continuous variables
    int dimensions;  // columns "y<i>" of years: dimensions
  };
  for (const Case& c : {Case{30000, 2}, Case{1, 3000}}) {
    SCOPED_TRACE(std::to_string(c.variables) + " variables, " + std::to_string(c.dimensions) +
                 " dimensions");
    TempDir dir;
    std::string csv;
    for (int v = 0; v < c.variables; ++v) csv += (v ? ",c" : "c") + std::to_string(v);
    for (int d = 0; d < c.dimensions; ++d) csv += ",y" + std::to_string(d);
    csv += '\n';
    for (int r = 0; r < 5; ++r) {
      for (int v = 0; v < c.variables; ++v) {
        if (v) csv += ',';
        csv += static_cast<char>('0' + (r * 7 + v) % 10);
      }
      for (int d = 0; d < c.dimensions; ++d) csv += r % 2 ? ",2021" : ",2020";
      csv += '\n';
    }
    const std::string path = dir.write("wide.csv", csv);
    const fs::path db_dir = dir.path() / "db";
    // The key of the rows of a year, and the bin counts a variable's
    // distribution of that year holds.
    auto key = [&](const char* year) {
      model::DimensionMap m;
      for (int d = 0; d < c.dimensions; ++d) m.emplace("y" + std::to_string(d), year);
      return m;
    };
    const model::DimensionMap even = key("2020"), odd = key("2021");
    {
      auto db = store::create_database(db_dir, false);
      ASSERT_TRUE(db.ok()) << db.error().full_text();
      for (int round = 1; round <= 2; ++round) {
        auto r = ingest_file(*db, path, options(), 10000, false);
        ASSERT_TRUE(r.ok()) << r.error().full_text();
        EXPECT_EQ(r->processed_rows, 5u);
        EXPECT_EQ(r->distributions_updated, 2u * c.variables);
        const auto& schema = db->meta.schema;
        ASSERT_EQ(schema.variables.size(), size_t(c.variables));
        ASSERT_EQ(schema.dimensions.size(), size_t(c.dimensions));
        EXPECT_TRUE(std::is_sorted(schema.variables.begin(), schema.variables.end(),
                                   [](const auto& a, const auto& b) { return a.name < b.name; }));
        EXPECT_EQ(db->database_stats().distributions, 2u * c.variables);
        for (int v : {0, c.variables / 2, c.variables - 1}) {
          const std::string name = "c" + std::to_string(v);
          ASSERT_NE(db->find_variable(name), nullptr) << name;
          const auto e = db->lookup_distribution(name, even);
          const auto o = db->lookup_distribution(name, odd);
          ASSERT_TRUE(e.has_value()) << name;
          ASSERT_TRUE(o.has_value()) << name;
          EXPECT_EQ(e->sample_count, 3u * round);
          EXPECT_EQ(o->sample_count, 2u * round);
          EXPECT_EQ(e->version, 1u + round);
        }
        for (int d : {0, c.dimensions - 1})
          EXPECT_NE(db->find_dimension("y" + std::to_string(d)), nullptr);
      }
    }
    auto db = store::open_database(db_dir, false);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(db->meta.schema.variables.size(), size_t(c.variables));
    const std::string last = "c" + std::to_string(c.variables - 1);
    EXPECT_NE(db->find_variable(last), nullptr);
    EXPECT_EQ(db->find_variable("c" + std::to_string(c.variables)), nullptr);
    ASSERT_TRUE(db->lookup_distribution(last, odd).has_value());
    EXPECT_EQ(db->lookup_distribution(last, odd)->sample_count, 4u);
  }
}

// The first of several batches fails at its raw-log append while the next
// batch's step is already under way: the failure is reported as it stands,
// no count is added and one identifier is consumed.
TEST(IngestDriver, FailingBatchWithTheNextOneComputedAhead) {
  TempDir dir;
  std::string csv = "region,amount\n";
  for (int i = 0; i < 300; ++i) csv += "r" + std::to_string(i % 7) + "," + std::to_string(i) + "\n";
  const std::string path = dir.write("many.csv", csv);
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  const fs::path segment = db->raw_log->segment_path;
  fs::remove(segment);
  fs::create_directory(segment);
  IngestOptions o = options();
  o.max_categories = 2;
  auto r = ingest_file(*db, path, o, 100, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(),
            "open raw segment " + segment.string() + ": Is a directory (os error 21)");
  EXPECT_TRUE(db->distributions.empty());
  EXPECT_EQ(db->meta.next_raw_record_id, 2u);
}

// Batches of three over keys that first appear in later batches (b, c in
// the second, d in the third) and batches whose keys are all known (the
// fourth): ids follow first use, every batch raises each touched version.
TEST(IngestDriver, KeysFirstSeenInLaterBatches) {
  TempDir dir;
  const std::string keys = "aab" "bca" "cdd" "abc";
  std::string csv = "region,amount\n";
  for (size_t i = 0; i < keys.size(); ++i) csv += std::string(1, keys[i]) + "," + std::to_string(i) + "\n";
  const std::string path = dir.write("later.csv", csv);
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  IngestOptions o = options();
  o.max_categories = 1;
  auto r = ingest_file(*db, path, o, 3, false);
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_EQ(r->processed_rows, 12u);
  EXPECT_EQ(r->distributions_updated, 10u);  // 2 + 3 + 2 + 3
  struct Want {
    const char* region;
    uint64_t id, samples, version;
  };
  const Want want[] = {{"a", 1, 4, 4}, {"b", 2, 3, 4}, {"c", 3, 3, 4}, {"d", 4, 2, 2}};
  ASSERT_EQ(db->distributions.size(), 4u);
  for (const auto& w : want) {
    const auto d = db->lookup_distribution("amount", {{"region", w.region}});
    ASSERT_TRUE(d.has_value()) << w.region;
    EXPECT_EQ(d->id, w.id) << w.region;
    EXPECT_EQ(d->sample_count, w.samples) << w.region;
    EXPECT_EQ(d->version, w.version) << w.region;
  }
  const auto lines = lines_of(dir.path() / "db" / "raw" / "log_000001.raw");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[11], "{\"payload\":{\"amount\":\"11\"},\"record_id\":12}");
}

TEST(IngestDriver, RecordsRoadThenFlush) {
  TempDir dir;
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  ASSERT_TRUE(db->add_variable({"v", model::CategoricalType{{"x"}, true}}).ok());
  ASSERT_TRUE(db->add_dimension({"d", "d", std::nullopt}).ok());
  std::vector<InputRecord> records = {{{"d", util::JsonValue("1")}, {"v", util::JsonValue("x")}},
                                      {{"v", util::JsonValue("x")}}};
  auto c = apply_input_records(*db, records);
  ASSERT_TRUE(c.ok()) << c.error().full_text();
  EXPECT_EQ(*c, (BatchCounters{1, 0, 1}));
  ASSERT_TRUE(store::flush_database(*db).ok());
  EXPECT_EQ(lines_of(dir.path() / "db" / "raw" / "log_000001.raw"),
            (std::vector<std::string>{"{\"payload\":{\"v\":\"x\"},\"record_id\":1}"}));
}

TEST(RawLogAppend, CompletesALineLeftWithoutItsLineFeed) {
  TempDir dir;
  store::Database db;
  db.writable = true;
  db.meta.raw_log_enabled = true;
  db.raw_log = store::RawLog{dir.path() / "seg.raw"};
  { std::ofstream(db.raw_log->segment_path) << "{\"payload\":{},\"record_id\":1}"; }
  db.meta.next_raw_record_id = 2;
  Observation o;
  ASSERT_TRUE(apply_observation_batch(db, db.meta.schema, std::vector<Observation>{o, o}).ok());
  EXPECT_EQ(lines_of(db.raw_log->segment_path),
            (std::vector<std::string>{"{\"payload\":{},\"record_id\":1}", "{\"payload\":{},\"record_id\":2}",
                                      "{\"payload\":{},\"record_id\":3}"}));
}

TEST(JsonLines, RecordsAndMessages) {
  auto ok = parse_json_lines_bytes("{\"x\":1}\n[1,2]\n\"text\"\r\n{\"b\":1,\"a\":true,\"b\":2.5}\r\n{\"n\":null}");
  ASSERT_TRUE(ok.ok()) << ok.error().full_text();
  ASSERT_EQ(ok->size(), 3u);
  EXPECT_EQ((*ok)[0].at("x"), util::JsonValue(util::JsonNumber::pos_int(1)));
  EXPECT_EQ((*ok)[1].begin()->first, "a");
  EXPECT_EQ((*ok)[1].at("b"), util::JsonValue(util::JsonNumber::from_double(2.5)));
  EXPECT_TRUE((*ok)[2].at("n").is_null());
  EXPECT_TRUE(parse_json_lines_bytes("")->empty());
  EXPECT_EQ(parse_json_lines_bytes("{}\n")->size(), 1u);  // no empty line after the last feed

  auto context = [](std::string_view in) {
    auto r = parse_json_lines_bytes(in);
    return r.ok() ? std::string("ok") : r.error().contexts().back();
  };
  EXPECT_EQ(context("{}\n\n{}\n"), "parse json line");
  EXPECT_EQ(context("{}\n  \n"), "parse json line");
  EXPECT_EQ(context("\xEF\xBB\xBF{}\n"), "parse json line");
  EXPECT_EQ(context("{} {}\n"), "parse json line");
  // The first failing line in file order decides.
  auto r = parse_json_lines_bytes("{}\n{\"a\":\"\xFF\"}\n{\n");
  EXPECT_EQ(r.error().full_text(), "read json line: stream did not contain valid UTF-8");
  r = parse_json_lines_bytes("{}\n{\n{\"a\":\"\xFF\"}\n");
  EXPECT_EQ(r.error().contexts().back(), "parse json line");
  EXPECT_NE(r.error().root().find("line 1 column"), std::string::npos) << r.error().root();
}

TEST(JsonLines, FileIngestKeepsNumbersAndBooleans) {
  TempDir dir;
  const std::string path = dir.write("e.jsonl",
                                     "{\"year\":2019,\"ok\":true,\"v\":1.5}\n"
                                     "{\"year\":2019.0,\"ok\":false,\"v\":2}\n"
                                     "[\"dropped\"]\n"
                                     "{\"ok\":true,\"v\":3}\n");
  auto recs = read_json_lines(path);
  ASSERT_TRUE(recs.ok()) << recs.error().full_text();
  EXPECT_EQ(recs->size(), 3u);
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok());
  auto r = ingest_file(*db, path, options(), 10000, false);
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  // year is year-like: a dimension; 2019 and 2019.0 are two dimension values,
  // and the record without year is dropped.
  EXPECT_EQ(r->total_rows, 2u);
  EXPECT_TRUE(db->lookup_distribution("ok", {{"year", "2019"}}).has_value());
  EXPECT_TRUE(db->lookup_distribution("ok", {{"year", "2019.0"}}).has_value());
  const auto& ok = std::get<model::CategoricalType>(db->find_variable("ok")->var_type);
  EXPECT_EQ(ok.categories, (std::vector<std::string>{"true", "false"}));
  // Booleans look up "unknown" in a categorical variable.
  const auto d = db->lookup_distribution("ok", {{"year", "2019"}});
  EXPECT_EQ(std::get<model::CategoricalRepr>(d->repr).unknown_count, 1u);
}

}  // namespace
}  // namespace quor::ingest
