// Ingestion of the reference CSV (see gen_reference_csv.h), end to end:
// read, infer, prepare, per-record step, batched apply with raw logging and
// the final flush, into a fresh database each iteration. Reports rows/s and
// the process's peak RSS. The file is generated under /tmp when missing
// (QUOR_BENCH_CSV overrides the path, QUOR_BENCH_ROWS the row count).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "gen_reference_csv.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/csv_reader.h"
#include "quor/store/directory.h"

namespace {

namespace fs = std::filesystem;

std::string reference_path() {
  const char* env = std::getenv("QUOR_BENCH_CSV");
  std::string path = env ? env : "/tmp/quor_reference.csv";
  if (!fs::exists(path)) {
    const char* rows = std::getenv("QUOR_BENCH_ROWS");
    quor::bench::write_reference_csv(path, rows ? std::strtoull(rows, nullptr, 10) : 1000000);
  }
  return path;
}

double peak_rss_mb() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

void BM_IngestReferenceCsv(benchmark::State& state) {
  const std::string path = reference_path();
  const double file_mb = static_cast<double>(fs::file_size(path)) / (1024.0 * 1024.0);
  quor::ingest::IngestOptions options = quor::ingest::IngestOptions::default_options();
  options.date_granularity = "monthly";
  uint64_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    char tmpl[] = "/tmp/quor_bench_db_XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    auto db = quor::store::create_database(dir / "db", true);
    if (!db.ok()) {
      state.SkipWithError(db.error().full_text().c_str());
      fs::remove_all(dir);
      return;
    }
    state.ResumeTiming();
    auto report = quor::ingest::ingest_file(*db, path, options, 10000, false);
    state.PauseTiming();
    if (!report.ok()) {
      state.SkipWithError(report.error().full_text().c_str());
    } else {
      rows = report->total_rows;
    }
    { auto release = std::move(*db); }
    fs::remove_all(dir);
    state.ResumeTiming();
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_mb"] = file_mb;
  state.counters["peak_rss_mb"] = peak_rss_mb();
}
BENCHMARK(BM_IngestReferenceCsv)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Reading and parsing alone.
void BM_ReadReferenceCsv(benchmark::State& state) {
  const std::string path = reference_path();
  uint64_t rows = 0;
  for (auto _ : state) {
    auto table = quor::ingest::read_csv_table(path);
    if (!table.ok()) {
      state.SkipWithError(table.error().full_text().c_str());
      return;
    }
    rows = table->num_rows();
    benchmark::DoNotOptimize(rows);
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadReferenceCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
