// The scaling table's memory section: what one stored distribution costs in
// memory, for 10^4 to 10^7 distributions, and the high-cardinality CSV whose
// key column is unique per row (10^7 ids).
//
// Bytes per distribution: a CSV with one row per key over three dimensions
// (date, bucketed daily; a and b of 100 values each) and one continuous
// column (20 bins) is ingested into a fresh database; after the ingest (and
// its flush) the process's resident memory, with the allocator's free pages
// given back (malloc_trim), less what it held before, over the number of
// distributions. The peak is the child's.
#pragma once

#include <malloc.h>

#include <cstdio>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/database.h"
#include "quor/store/directory.h"
#include "scale_harness.h"
#include "scale_inputs.h"

namespace quor::bench::scale {

// One row per key: every (day, a, b) of `days` days × 100 × 100 once.
inline fs::path one_row_per_key_csv(uint64_t days) {
  const fs::path path = g.dir / ("per_key2_" + std::to_string(days) + ".csv");
  if (fs::exists(path)) return path;
  std::mt19937_64 rng(20240612);
  CsvFileWriter out(path, "date,a,b,amount\n");
  char line[128];
  for (uint64_t d = 0; d < days; ++d) {
    const std::string date = day_text(static_cast<int>(d));
    // Every (a, b) once, both varying from the first rows on, so that the
    // inference's first records make both dimensions.
    for (int k = 0; k < 10000; ++k) {
      const int a = k % 100, b = (k / 100 + k) % 100;
      const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
      const int n = std::snprintf(line, sizeof line, "%s,a%03d,b%03d,%.2f\n", date.c_str(), a, b,
                                  10.0 + 990.0 * u);
      out.add(line, n);
    }
  }
  return out.finish();
}

// A key column unique per row: "u{id},{value}", `rows` rows (10^7: 138 MB).
inline fs::path unique_id_csv(uint64_t rows) {
  const fs::path path = g.dir / ("unique_ids_" + std::to_string(rows) + ".csv");
  if (fs::exists(path)) return path;
  std::mt19937_64 rng(20240613);
  CsvFileWriter out(path, "id,value\n");
  char line[64];
  for (uint64_t i = 0; i < rows; ++i) {
    const int n = std::snprintf(line, sizeof line, "u%07llu,%.2f\n", static_cast<unsigned long long>(i),
                                static_cast<double>(rng() % 10000) / 100.0);
    out.add(line, n);
  }
  return out.finish();
}

// Ingests `csv` into a fresh database; the row gives the time of ingest +
// close, the peak, and the memory held per distribution after the ingest.
inline void memory_case(const std::string& name, const std::string& size, const fs::path& csv) {
  run_child("memory", name, size, [&](const Child& c) {
    const fs::path dir = g.dir / ("memory_db_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    auto db = store::create_database(dir, true);
    if (!db.ok()) return c.fail(db.error().full_text());
    c.ready();
    malloc_trim(0);
    const long before = status_kb("VmRSS:");
    ingest::IngestOptions options;
    options.date_granularity = "daily";
    const auto t0 = Clock::now();
    auto report = ingest::ingest_file(*db, csv.string(), options, 10000, false);
    const double ti = seconds_since(t0);
    if (!report.ok()) return c.fail(report.error().full_text());
    malloc_trim(0);
    const long held = status_kb("VmRSS:") - before;
    const uint64_t n = db->database_stats().distributions;
    const auto t1 = Clock::now();
    { auto release = std::move(*db); }
    const double tc = seconds_since(t1);
    const long peak = status_kb("VmHWM:");
    char note[200];
    std::snprintf(note, sizeof note, "%llu distributions, %.0f B each held after the ingest; ingest %s + close %s",
                  static_cast<unsigned long long>(n), n ? held * 1024.0 / static_cast<double>(n) : 0.0,
                  fmt_time(ti).c_str(), fmt_time(tc).c_str());
    c.row(fmt_time(ti + tc), fmt_mb(static_cast<double>(peak)), note);
    fs::remove_all(dir);
  });
}

inline void section_memory() {
  // 1, 10, 100 and (with --full) 1000 days of 100 × 100 keys.
  std::vector<uint64_t> days = {1, 10, 100};
  if (g.full) days.push_back(1000);
  for (uint64_t d : days) {
    if (!case_on("bytes per distribution")) break;
    memory_case("bytes per distribution (20 bins, 3 dimensions)", fmt_count(d * 10000),
                one_row_per_key_csv(d));
  }
  if (case_on("unique id")) memory_case("unique id per row", "10 M rows", unique_id_csv(10000000));
}

}  // namespace quor::bench::scale
