// Flush of a database of 100 000 histogram distributions of 20 bins (the
// shape of bench_store): every file rewritten, only "distributions.edb"
// rewritten after a change of one distribution, and a flush with nothing
// changed (the close after an ingest), which only takes the records'
// digests. Also the read-write open, which digests what it decompresses.
//
// Byte rates are over the uncompressed binary form of "distributions.edb".
// Each rewriting flush includes its fsyncs: the figures depend on the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

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
    db->load_records(make_distributions());
    db->meta.next_distribution_id = kDistributions + 1;
    encoded_bytes = stored_record_size(db->records());
    if (!flush_database(*db).ok()) std::abort();
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
  const auto p = static_cast<quor::store::Position>(i % db.distributions.size());
  auto& d = db.distributions.row(p);
  db.distributions.cells(p)[i % kBins] += 1;
  d.total_count += 1;
  d.sample_count += 1;
  d.version += 1;
}

quor::Result<Database> open_fixture() { return open_database(fixture().dir, true); }

void BM_FlushEveryFile(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  for (auto _ : state) {
    db->flush_state = FlushState{};  // nothing known: all four files are written
    auto st = flush_database(*db);
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

void BM_FlushOneDistributionChanged(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  uint64_t i = 0;
  for (auto _ : state) {
    touch(*db, i++);
    auto st = flush_database(*db);
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

void BM_FlushNothingChanged(benchmark::State& state) {
  auto db = open_fixture();
  if (!db.ok()) return state.SkipWithError(db.error().full_text().c_str());
  for (auto _ : state) {
    auto st = flush_database(*db);
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

void BM_OpenReadWrite(benchmark::State& state) {
  for (auto _ : state) {
    auto db = open_fixture();
    if (!db.ok()) state.SkipWithError(db.error().full_text().c_str());
    benchmark::DoNotOptimize(db);
  }
  set_bytes(state);
}

BENCHMARK(BM_FlushEveryFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FlushOneDistributionChanged)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FlushNothingChanged)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_OpenReadWrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
