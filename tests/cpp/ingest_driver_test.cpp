#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "quor/ingest/batch_apply.h"

namespace quor::ingest {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quor_ingest_driver_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string write(const std::string& name, std::string_view bytes) const {
    std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  fs::path path_;
};

IngestOptions options() {
  IngestOptions o = IngestOptions::default_options();
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
store::Database read_only_with(std::vector<store::DimensionDefinition> dims) {
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

}  // namespace
}  // namespace quor::ingest
