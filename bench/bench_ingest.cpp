// Ingestion benchmarks.
//
// Without arguments (Google Benchmark): ingestion of the reference CSV (see
// gen_reference_csv.h) end to end: read, infer, prepare, per-record step,
// batched apply with raw logging and the final flush, into a fresh database
// each iteration; rows/s and the process's peak RSS. The file is generated
// under /tmp when missing (QUOR_BENCH_CSV overrides the path,
// QUOR_BENCH_ROWS the row count).
//
// Single cases, one per process so that the peak RSS is the case's own:
//   bench_ingest --case=joint [csv] [runs]
//       the reference CSV into a fresh database whose stored schema lists
//       one joint pair (price, quantity), against the same without it;
//   bench_ingest --case=reference [csv] [runs]
//       the reference CSV `runs` times (default 7): medians of the ingest,
//       of its batches and flush, and of the read alone;
//   bench_ingest --case=step [csv] [runs]
//       the per-record step alone, on one core: the flights CSV (3 M rows
//       generated when missing; timestamps with times of day, monthly
//       buckets, raw log on) ingested `runs` times (default 5) with a pool of
//       one thread, unless RAYON_NUM_THREADS says otherwise; the processor
//       time of the step (fields read, key looked up, slots, joint cells and
//       raw-log line computed) per row, and the whole ingest;
//   bench_ingest --case=high-cardinality [csv]
//       the high-cardinality CSV (3 M rows, about one million distributions,
//       daily buckets) as Python's ingest then close would run it: the ingest
//       with its flush, then the closing flush and the release, each timed.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gen_reference_csv.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/csv_reader.h"
#include "quor/store/directory.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

// The resident set now, in MB.
double current_rss_mb() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A fresh database in a temporary directory, removed with the object.
struct FreshDb {
  fs::path dir;
  quor::store::Database db;
  bool ok = false;
  FreshDb() {
    char tmpl[] = "/tmp/quor_bench_db_XXXXXX";
    dir = ::mkdtemp(tmpl);
    auto created = quor::store::create_database(dir / "db", true);
    if (!created.ok()) {
      std::fprintf(stderr, "%s\n", created.error().full_text().c_str());
      return;
    }
    db = std::move(*created);
    ok = true;
  }
  ~FreshDb() {
    { auto release = std::move(db); }
    fs::remove_all(dir);
  }
};

void BM_IngestReferenceCsv(benchmark::State& state) {
  const std::string path = reference_path();
  const double file_mb = static_cast<double>(fs::file_size(path)) / (1024.0 * 1024.0);
  quor::ingest::IngestOptions options;
  options.date_granularity = "monthly";
  uint64_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto fresh = std::make_unique<FreshDb>();
    if (!fresh->ok) {
      state.SkipWithError("create failed");
      return;
    }
    state.ResumeTiming();
    auto report = quor::ingest::ingest_file(fresh->db, path, options, 10000, false);
    state.PauseTiming();
    if (!report.ok()) {
      state.SkipWithError(report.error().full_text().c_str());
    } else {
      rows = report->total_rows;
    }
    fresh.reset();
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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

int run_joint_case(const std::string& path, int runs) {
  quor::ingest::IngestOptions options;
  options.date_granularity = "monthly";
  std::vector<double> plain, joint;
  size_t joints = 0;
  for (int r = 0; r < runs; ++r) {
    for (bool with_joint : {false, true}) {
      FreshDb fresh;
      if (!fresh.ok) return 1;
      if (with_joint) fresh.db.meta.schema.joints = {{"price", "quantity"}};
      const auto t = Clock::now();
      auto report = quor::ingest::ingest_file(fresh.db, path, options, 10000, false);
      const double ms = ms_since(t);
      if (!report.ok()) {
        std::fprintf(stderr, "%s\n", report.error().full_text().c_str());
        return 1;
      }
      (with_joint ? joint : plain).push_back(ms);
      if (with_joint) joints = fresh.db.joints.size();
    }
  }
  std::printf("joint case: %s, monthly buckets, batch 10000, median of %d\n", path.c_str(), runs);
  std::printf("  without joints:               %9.1f ms\n", median(plain));
  std::printf("  one joint pair (%zu joints): %9.1f ms  (%.2fx)\n", joints, median(joint),
              median(joint) / median(plain));
  return 0;
}

int run_high_cardinality_case(const std::string& path) {
  quor::ingest::IngestOptions options;
  options.date_granularity = "daily";
  auto fresh = std::make_unique<FreshDb>();
  if (!fresh->ok) return 1;
  const double rss_before = peak_rss_mb();
  const auto t0 = Clock::now();
  auto report = quor::ingest::ingest_file(fresh->db, path, options, 10000, false);
  const double ingest_ms = ms_since(t0);
  if (!report.ok()) {
    std::fprintf(stderr, "%s\n", report.error().full_text().c_str());
    return 1;
  }
  const size_t dists = fresh->db.distributions.size();
  const double rss_after_ingest = current_rss_mb();
  const double peak_after_ingest = peak_rss_mb();
  const auto t1 = Clock::now();
  auto flushed = quor::store::flush_database(fresh->db);
  const double flush_ms = ms_since(t1);
  if (!flushed.ok()) {
    std::fprintf(stderr, "%s\n", flushed.error().full_text().c_str());
    return 1;
  }
  const auto t2 = Clock::now();
  { auto release = std::move(fresh->db); }
  const double release_ms = ms_since(t2);
  const double peak = peak_rss_mb();
  fresh.reset();
  std::printf("high-cardinality case: %s, daily buckets, batch 10000\n", path.c_str());
  std::printf("  rows %llu, distributions %zu\n",
              static_cast<unsigned long long>(report->total_rows), dists);
  std::printf("  ingest (read .. batches .. its flush): %8.1f ms\n", ingest_ms);
  std::printf("    of which one flush (timed again):   %8.1f ms\n", flush_ms);
  std::printf("  close (flush + release):               %8.1f ms\n", flush_ms + release_ms);
  std::printf("  ingest + close:                        %8.1f ms\n",
              ingest_ms + flush_ms + release_ms);
  std::printf("  peak RSS %.0f MB (%.0f MB before the ingest, %.0f MB by the end of the ingest, "
              "%.0f MB held after it)\n",
              peak, rss_before, peak_after_ingest, rss_after_ingest);
  return 0;
}

// The one-minute load average, which these figures depend on.
double load_average() {
  double avg[1] = {0.0};
  return ::getloadavg(avg, 1) == 1 ? avg[0] : -1.0;
}

// The reference CSV `runs` times into fresh databases: medians of the
// whole ingest, of its report's part (batches and flush) and of the read
// and parse alone, each run's figure listed, and the load average.
int run_reference_case(const std::string& path, int runs) {
  const double load_before = load_average();
  quor::ingest::IngestOptions options;
  options.date_granularity = "monthly";
  std::vector<double> total, batches_and_flush, read;
  std::string listed;
  for (int r = 0; r < runs; ++r) {
    auto t = Clock::now();
    {
      auto table = quor::ingest::read_csv_table(path);
      if (!table.ok()) {
        std::fprintf(stderr, "%s\n", table.error().full_text().c_str());
        return 1;
      }
    }
    read.push_back(ms_since(t));
    auto fresh = std::make_unique<FreshDb>();
    if (!fresh->ok) return 1;
    t = Clock::now();
    auto report = quor::ingest::ingest_file(fresh->db, path, options, 10000, false);
    total.push_back(ms_since(t));
    if (!report.ok()) {
      std::fprintf(stderr, "%s\n", report.error().full_text().c_str());
      return 1;
    }
    batches_and_flush.push_back(static_cast<double>(report->elapsed_ms));
    listed += " " + std::to_string(static_cast<int>(total.back() + 0.5));
  }
  std::printf("reference case: %s, monthly buckets, batch 10000, raw log on, median of %d\n",
              path.c_str(), runs);
  std::printf("  ingest (read .. batches .. flush): %8.1f ms  (runs:%s)\n", median(total), listed.c_str());
  std::printf("    batches and flush (report):      %8.1f ms\n", median(batches_and_flush));
  std::printf("    read and parse alone:            %8.1f ms\n", median(read));
  std::printf("  peak RSS of the process %.0f MB (the separate reads included)\n", peak_rss_mb());
  std::printf("  load average %.2f before, %.2f after\n", load_before, load_average());
  return 0;
}

// The per-record step's processor time per row, over `runs` ingests of the
// flights CSV into fresh databases.
int run_step_case(const std::string& path, int runs) {
  const double load_before = load_average();
  quor::ingest::IngestOptions options;
  options.date_granularity = "monthly";
  std::vector<double> per_row, total;
  std::string listed;
  for (int r = 0; r < runs; ++r) {
    auto fresh = std::make_unique<FreshDb>();
    if (!fresh->ok) return 1;
    std::atomic<uint64_t> step_ns{0};
    quor::ingest::IngestTuning tuning;
    tuning.step_cpu_ns = &step_ns;
    const auto t = Clock::now();
    auto report = quor::ingest::ingest_file(fresh->db, path, options, 10000, false, tuning);
    total.push_back(ms_since(t));
    if (!report.ok()) {
      std::fprintf(stderr, "%s\n", report.error().full_text().c_str());
      return 1;
    }
    per_row.push_back(static_cast<double>(step_ns.load()) / static_cast<double>(report->total_rows));
    char one[32];
    std::snprintf(one, sizeof one, " %.1f", per_row.back());
    listed += one;
  }
  const char* threads = std::getenv("RAYON_NUM_THREADS");
  std::printf("step case: %s, monthly buckets, batch 10000, raw log on, %s thread(s), median of %d\n",
              path.c_str(), threads != nullptr ? threads : "?", runs);
  std::printf("  per-record step, processor time per row: %6.1f ns  (runs:%s)\n", median(per_row),
              listed.c_str());
  std::printf("  whole ingest (read .. flush):            %6.1f ms\n", median(total));
  std::printf("  load average %.2f before, %.2f after\n", load_before, load_average());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "--case=", 7) == 0) {
    const std::string which = argv[1] + 7;
    if (which == "joint") {
      const std::string path = argc > 2 ? argv[2] : reference_path();
      return run_joint_case(path, argc > 3 ? std::atoi(argv[3]) : 3);
    }
    if (which == "reference") {
      const std::string path = argc > 2 ? argv[2] : reference_path();
      return run_reference_case(path, argc > 3 ? std::atoi(argv[3]) : 7);
    }
    if (which == "step") {
      // One core unless asked otherwise; set before the pool starts.
      setenv("RAYON_NUM_THREADS", "1", 0);
      std::string path = argc > 2 ? argv[2] : "/tmp/quor_flights_3m.csv";
      if (!fs::exists(path)) quor::bench::write_flights_csv(path, 3000000);
      return run_step_case(path, argc > 3 ? std::atoi(argv[3]) : 5);
    }
    if (which == "high-cardinality") {
      std::string path = argc > 2 ? argv[2] : "/tmp/quor_high_cardinality.csv";
      if (!fs::exists(path)) quor::bench::write_high_cardinality_csv(path, 3000000);
      return run_high_cardinality_case(path);
    }
    std::fprintf(stderr, "unknown case '%s'\n", which.c_str());
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
