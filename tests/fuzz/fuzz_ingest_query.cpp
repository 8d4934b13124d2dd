// Fuzzes an ingest followed by statements, on a real database in a private
// directory. The first byte holds the options: the reader (CSV or JSON
// lines), the batch size, the date granularity, a small category limit,
// whether the records also go through the road of records without a file,
// and whether the schema names joint distributions.
// The rest is the input file; a line "#next" splits it into two files
// ingested one after the other (the second meets a stored schema).
//
// Then a fixed set of statements runs over the names the ingest created
// (variables, dimensions and their values): every statement either fails
// with a message or gives rows as wide as the header, which render as text,
// CSV and JSON. Finally the database is flushed and opened again, read-only
// and read-write: the schema and every distribution must read back as they
// were in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/internal/json_lines.h"
#include "quor/sql/executor.h"
#include "quor/sql/query_result.h"
#include "quor/store/binary_codec.h"
#include "quor/store/directory.h"
#include "fuzz_work_dir.h"

namespace {

using namespace quor;
namespace fs = std::filesystem;

// Small inputs keep every run fast; the interesting cases are small too.
constexpr size_t kMaxInput = 4096;
constexpr std::string_view kSplit = "\n#next\n";

void check_result(const sql::QueryResult& r) {
  for (const auto& row : r.rows)
    if (row.size() != r.header.size()) std::abort();
  (void)sql::format_query_result(r);
  (void)sql::query_result_to_csv(r);
  (void)sql::query_result_to_json(r);
}

// QUOR_FUZZ_VERBOSE=1 prints each statement and its outcome (to see what a
// seed reaches).
const bool kVerbose = std::getenv("QUOR_FUZZ_VERBOSE") != nullptr;

void run(const store::Database& db, analytics::CompareCache& cache, const std::string& text) {
  Result<sql::QueryResult> r = sql::run_query(db, cache, text);
  if (kVerbose) {
    std::fprintf(stderr, "%s\n  -> %s\n", text.c_str(),
                 r.ok() ? (std::to_string(r->rows.size()) + " rows").c_str()
                        : r.error().full_text().c_str());
  }
  if (!r.ok()) {
    if (r.error().full_text().empty()) std::abort();
    return;
  }
  check_result(*r);
}

// The statements, over up to two variables, two dimensions and two values
// of each dimension.
std::vector<std::string> statements(const store::Database& db) {
  std::vector<std::string> vars, dims;
  for (const auto& v : db.meta.schema.variables)
    if (vars.size() < 2) vars.push_back(v.name);
  for (const auto& d : db.meta.schema.dimensions)
    if (dims.size() < 2) dims.push_back(d.name);
  std::vector<std::string> out = {"STATS", "SCHEMA", "DIMENSIONS", "CORRELATIONS",
                                  "CORRELATIONS LIMIT 3"};
  if (vars.empty() || dims.empty()) return out;
  const std::string a = vars.front(), b = vars.back();
  for (size_t i = 0; i < dims.size(); ++i) {
    const std::string& d = dims[i];
    const std::set<std::string> values = db.dimension_values(d);
    if (values.empty()) continue;
    const std::string x = d + ":" + *values.begin();
    const std::string y = d + ":" + *values.rbegin();
    const std::string where =
        dims.size() > 1 ? " WHERE " + dims[1 - i] + ":" + [&] {
          auto other = db.dimension_values(dims[1 - i]);
          return other.empty() ? std::string("none") : *other.begin();
        }() : "";
    for (const std::string& s : {
             "DIMENSIONS " + d,
             "COMPARE " + a + " BETWEEN " + x + " AND " + y,
             "COMPARE " + b + " BETWEEN " + x + " AND " + y + where,
             "COMPARE " + a + " ACROSS " + d + where,
             "EXPLAIN " + x + " VS " + y,
             "TRACK " + a + " FROM " + x,
             "TRACK " + b + " FROM " + x + " GRANULARITY monthly",
             "SHOW " + a + " AT " + x + " TOP 3",
             "SHOW " + b + " AT " + y + where + " BOTTOM 2",
             "RANK " + a + " BY ENTROPY OVER " + d + where,
             "MI " + a + ", " + b + " AT " + x,
             "CMI " + a + " " + b + " GIVEN " + d,
             "CORRELATIONS OVER " + d + " LIMIT 5",
             "PAIRWISE " + d + " ON " + a,
             "PAIRWISE " + d + " ON " + b + " USING wasserstein",
             "NEAREST " + x + " ON " + d,
             "NEAREST " + y + " ON " + d + " LIMIT 1 USING hellinger",
             "NEAREST " + x + " ON " + d + " USING psi",
             "EXPORT COMPARE " + a + " ACROSS " + d + " AS CSV",
             "EXPORT SHOW " + a + " AT " + x + " AS JSON",
         })
      out.push_back(s);
  }
  return out;
}

// The stored form of the schema and the distributions, which a flush and a
// reopen must keep.
std::string stored_state(const store::Database& db) {
  model::MetaFile meta;
  meta.schema = db.meta.schema;
  return store::encode_stored_record(meta) + store::encode_stored_record(db.records());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const uint8_t flags = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool jsonl = flags & 1;
  const uint64_t batch_size = 1 + ((flags >> 1) & 3) * 3;  // 1, 4, 7 or 10
  static const char* const kGranularity[] = {"yearly", "monthly", "weekly", "daily"};
  ingest::IngestOptions options;
  options.date_granularity = kGranularity[(flags >> 3) & 3];
  if (flags & 0x20) options.max_categories = 3;
  const bool records_too = flags & 0x40;

  const fs::path dir = quor::fuzz::work_dir() / "db";
  std::error_code ec;
  fs::remove_all(dir, ec);
  Result<store::Database> created = store::create_database(dir, true);
  if (!created.ok()) std::abort();
  store::Database db = std::move(created).value();

  std::vector<std::string_view> parts;
  if (size_t cut = input.find(kSplit); cut != std::string_view::npos) {
    parts = {input.substr(0, cut + 1), input.substr(cut + kSplit.size())};
  } else {
    parts = {input};
  }
  // No operation adds joint distributions; a stored schema may name them. To
  // reach them, flag 0x80 names every pair of the first three variables after
  // the first ingest and ingests the first file again.
  if (flags & 0x80) parts.insert(parts.begin() + 1, parts.front());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i == 1 && (flags & 0x80)) {
      const auto& vars = db.meta.schema.variables;
      for (size_t a = 0; a < vars.size() && a < 3; ++a)
        for (size_t b = a + 1; b < vars.size() && b < 3; ++b)
          db.meta.schema.joints.emplace_back(vars[a].name, vars[b].name);
    }
    const fs::path file = quor::fuzz::work_dir() / (std::string("in") + std::to_string(i) +
                                                    (jsonl ? ".jsonl" : ".csv"));
    quor::fuzz::write_bytes(file, parts[i]);
    Result<ingest::IngestReport> report = ingest::ingest_file(db, file.string(), options,
                                                              batch_size, /*progress=*/false);
    if (kVerbose) {
      std::fprintf(stderr, "ingest %s: %s\n", file.c_str(),
                   report.ok() ? (std::to_string(report->processed_rows) + " processed").c_str()
                               : report.error().full_text().c_str());
    }
    if (report.ok() && report->processed_rows + report->skipped_rows != report->total_rows)
      std::abort();
  }
  if (records_too && jsonl) {
    auto records = ingest::parse_json_lines_bytes(parts.back());
    if (records.ok()) (void)ingest::apply_input_records(db, *records);
  }

  analytics::CompareCache cache;
  for (const std::string& s : statements(db)) run(db, cache, s);

  if (!store::flush_database(db).ok()) std::abort();
  const std::string before = stored_state(db);
  for (bool writable : {false, true}) {
    if (writable) db = store::Database();  // gives up the lock
    Result<store::Database> reopened = store::open_database(dir, writable);
    if (!reopened.ok()) std::abort();
    if (stored_state(*reopened) != before) std::abort();
  }
  return 0;
}
