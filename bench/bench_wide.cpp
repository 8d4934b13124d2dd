// Ingestion of a wide file: C columns of small integers and 5 rows (at
// 100 000 columns a 1.8 MB CSV), each column a continuous variable with one
// distribution. Every step that looks a variable up by name or adds one
// runs once per column here, so a step whose cost grows with the number of
// variables shows as time growing faster than the columns.
//
//   bench_wide                      C = 10 000, 40 000 and 100 000
//   bench_wide --benchmark_filter=/100000
// The file is generated under /tmp for each C; each iteration ingests it
// into a fresh database (the final flush included).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/directory.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 5;

std::string wide_csv(int columns) {
  const std::string path = "/tmp/quor_bench_wide_" + std::to_string(columns) + ".csv";
  if (fs::exists(path)) return path;
  std::ofstream out(path, std::ios::binary);
  std::string line;
  for (int c = 0; c < columns; ++c) {
    if (c) line += ',';
    line += 'c' + std::to_string(c);
  }
  out << line << '\n';
  for (int r = 0; r < kRows; ++r) {
    line.clear();
    for (int c = 0; c < columns; ++c) {
      if (c) line += ',';
      line += static_cast<char>('0' + (r * 7 + c) % 10);
    }
    out << line << '\n';
  }
  return path;
}

void BM_IngestWideCsv(benchmark::State& state) {
  const int columns = static_cast<int>(state.range(0));
  const std::string path = wide_csv(columns);
  quor::ingest::IngestOptions options;
  options.date_granularity = "yearly";
  uint64_t distributions = 0;
  for (auto _ : state) {
    state.PauseTiming();
    char tmpl[] = "/tmp/quor_bench_wide_db_XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    auto created = quor::store::create_database(dir / "db", true);
    if (!created.ok()) {
      state.SkipWithError(created.error().full_text().c_str());
      return;
    }
    state.ResumeTiming();
    auto report = quor::ingest::ingest_file(*created, path, options, 10000, false);
    state.PauseTiming();
    if (!report.ok()) {
      state.SkipWithError(report.error().full_text().c_str());
    } else {
      distributions = created->database_stats().distributions;
    }
    { auto release = std::move(*created); }
    fs::remove_all(dir);
    state.ResumeTiming();
  }
  state.counters["columns"] = columns;
  state.counters["distributions"] = static_cast<double>(distributions);
  state.counters["file_mb"] = static_cast<double>(fs::file_size(path)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_IngestWideCsv)
    ->Arg(10000)
    ->Arg(40000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
