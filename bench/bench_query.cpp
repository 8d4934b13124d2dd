// Engine-side cost of the query entry on a small in-memory database.
#include <benchmark/benchmark.h>

#include <string>

#include "quor/sql/executor.h"
#include "quor/sql/parser.h"
#include "quor/store/dim_key.h"

namespace {

using namespace quor;

// 10 variables x 20 regions x 5 years, histograms of 32 bins.
struct Fixture {
  store::Database db;
  analytics::CompareCache cache;
  Fixture() {
    for (int v = 0; v < 10; ++v)
      db.meta.schema.variables.push_back({"v" + std::to_string(v), store::ContinuousType{32, store::Range{0, 1}}});
    db.meta.schema.dimensions.push_back({"region", "region", std::nullopt});
    db.meta.schema.dimensions.push_back({"year", "year", std::nullopt});
    uint64_t id = 1;
    for (int v = 0; v < 10; ++v)
      for (int r = 0; r < 20; ++r)
        for (int y = 0; y < 5; ++y) {
          store::HistogramRepr h{0, 1, std::vector<uint64_t>(32), 0};
          for (size_t b = 0; b < 32; ++b) h.bin_counts[b] = (b * 7 + r * 3 + y) % 11;
          for (auto c : h.bin_counts) h.total_count += c;
          auto d = store::new_distribution_object(
              id++, "v" + std::to_string(v),
              {{"region", "r" + std::to_string(r)}, {"year", std::to_string(2020 + y)}}, h);
          d.entropy = store::repr_entropy(d.repr);
          db.data.distributions.push_back(std::move(d));
        }
    db.index = store::rebuild_dist_index(db.data.distributions);
    db.reset_id_order();
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void run(benchmark::State& state, const char* query) {
  Fixture& f = fixture();
  for (auto _ : state) {
    auto r = sql::run_query(f.db, f.cache, query);
    if (!r.ok()) state.SkipWithError(r.error().full_text().c_str());
    benchmark::DoNotOptimize(r);
  }
}

void BM_Stats(benchmark::State& s) { run(s, "STATS"); }
void BM_Schema(benchmark::State& s) { run(s, "SCHEMA"); }
void BM_Dimensions(benchmark::State& s) { run(s, "DIMENSIONS"); }
void BM_Show(benchmark::State& s) { run(s, "SHOW v3 AT region:r7 WHERE year:2022 TOP 10"); }
void BM_Rank(benchmark::State& s) { run(s, "RANK v3 BY ENTROPY OVER region WHERE year:2022"); }
void BM_ExportJson(benchmark::State& s) { run(s, "EXPORT SHOW v3 AT region:r7 WHERE year:2022 AS JSON"); }

void BM_ParseCompare(benchmark::State& state) {
  for (auto _ : state) {
    auto r = sql::parse_query(
        "COMPARE income BETWEEN region:north AND region:south WHERE year:2024 AND tier:gold");
    benchmark::DoNotOptimize(r);
  }
}

BENCHMARK(BM_Stats);
BENCHMARK(BM_Schema);
BENCHMARK(BM_Dimensions);
BENCHMARK(BM_Show);
BENCHMARK(BM_Rank);
BENCHMARK(BM_ExportJson);
BENCHMARK(BM_ParseCompare);

}  // namespace

BENCHMARK_MAIN();
