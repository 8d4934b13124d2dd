// Flush of a database of 100 000 histogram distributions of 20 bins (the
// shape of bench_store): every file rewritten, only "distributions.edb"
// rewritten after a change of one distribution, the first flush after an
// open (which takes the records' digests to learn that nothing changed),
// and a flush with nothing changed since the last one (the close after an
// ingest, which only checks that the files are those it wrote). Also the
// read-write open, which digests what it decompresses.
//
// Byte rates are over the uncompressed binary form of "distributions.edb".
// Each rewriting flush includes its fsyncs: the figures depend on the disk.
//
// The argument of each case is 0 for the calling thread alone, 1 for the
// work spread over the ingest's pool (as an ingest's flush and the
// binding's flush, close and open run it). `--distributions=N` sets the
// size of the database (default 100 000), for example
//   build/bench_flush --distributions=1080000 --benchmark_filter=EveryFile
// for the full flush of 1.08 M distributions.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/binary_codec.h"
#include "quor/store/directory.h"
#include "quor/store/dim_key.h"

#include "store_bench_data.h"

namespace {

using namespace quor::store;
using namespace quor::model;
namespace fs = std::filesystem;

using quor::bench::kBins;
using quor::bench::kDistributions;
using quor::bench::make_distributions;

size_t g_distributions = kDistributions;

// The pool for argument 1, nothing for argument 0.
const ParallelRunner* runner_of(const benchmark::State& state) {
  return state.range(0) != 0 ? &quor::ingest::pool_runner() : nullptr;
}

struct Fixture {
  fs::path dir;
  uint64_t encoded_bytes = 0;

  Fixture() {
    dir = fs::temp_directory_path() / ("quor_bench_flush_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    auto db = create_database(dir, false);
    if (!db.ok()) {
      std::fprintf(stderr, "%s\n", db.error().full_text().c_str());
      std::abort();
    }
    for (int v = 0; v < 10; ++v) {
      db->meta.schema.variables.push_back(
          {"metric_" + std::to_string(v), ContinuousType{kBins, Range{0.0, 100.0}}});
    }
    db->load_records(make_distributions(g_distributions));
    db->meta.next_distribution_id = g_distributions + 1;
    encoded_bytes = stored_record_size(db->records());
    // Written as an ingest or the binding writes it: on the pool.
    if (!flush_database(*db, posix_file_ops(), &quor::ingest::pool_runner()).ok()) std::abort();
  }
  ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fixture().encoded_bytes));
  state.counters["encoded_MB"] = static_cast<double>(fixture().encoded_bytes) / 1e6;
}

// One more sample in one bin of one distribution, as an ingest would add.
void touch(Database& db, uint64_t i) {
  db.flush_state.note_change();
  const auto p = static_cast<quor::store::Position>(i % db.distributions.size());
  auto& d = db.distributions.row(p);
  db.distributions.cells(p)[i % kBins] += 1;
  d.total_count += 1;
  d.sample_count += 1;
  d.version += 1;
}

quor::Result<Database> open_fixture(const ParallelRunner* parallel = nullptr) {
  return open_database(fixture().dir, true, parallel);
}

void BM_FlushEveryFile(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  for (auto _ : state) {
    db->flush_state = FlushState{};  // nothing known: all four files are written
    auto st = flush_database(*db, posix_file_ops(), runner_of(state));
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

// The first flush after a read-write open, nothing changed: the records'
// digests against those open took (the open itself is not timed).
void BM_FlushAfterOpen(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto db = open_fixture(runner_of(state));
    if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
    state.ResumeTiming();
    auto st = flush_database(*db, posix_file_ops(), runner_of(state));
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
    state.PauseTiming();
    { auto gone = std::move(*db); }
    state.ResumeTiming();
  }
  set_bytes(state);
}

void BM_FlushOneDistributionChanged(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  uint64_t i = 0;
  for (auto _ : state) {
    touch(*db, i++);
    auto st = flush_database(*db, posix_file_ops(), runner_of(state));
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

void BM_FlushNothingChanged(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  for (auto _ : state) {
    auto st = flush_database(*db, posix_file_ops(), runner_of(state));
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

// The database is released outside the timed region.
void BM_OpenReadWrite(benchmark::State& state) {
  for (auto _ : state) {
    auto db = open_fixture(runner_of(state));
    if (!db.ok()) state.SkipWithError(db.error().full_text().c_str());
    benchmark::DoNotOptimize(db);
    state.PauseTiming();
    { auto gone = std::move(db); }
    state.ResumeTiming();
  }
  set_bytes(state);
}

// Wall time: the flushes wait for their fsyncs, and the pool's work does not
// show in the calling thread's processor time.
BENCHMARK(BM_FlushEveryFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FlushAfterOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FlushOneDistributionChanged)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FlushNothingChanged)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_OpenReadWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // --distributions=N is ours; the rest goes to the benchmark library.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--distributions=", 0) == 0) {
      g_distributions = std::stoul(arg.substr(16));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("%zu distributions of %u bins\n", g_distributions, kBins);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
