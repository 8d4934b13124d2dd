// Engine-side cost of the query entry on a small in-memory database.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "quor/sql/executor.h"
#include "quor/sql/parser.h"
#include "quor/store/dim_key.h"

namespace {

using namespace quor;

// 10 variables x 20 regions x 5 years, histograms of 32 bins; v0 also at
// 100 stores x 2 years (keyed by store and year), and w (12 categories,
// outside the schema) at the 20 regions.
struct Fixture {
  store::Database db;
  analytics::CompareCache cache;
  analytics::CompareCache cold;  // poisoned: every comparison is computed
  Fixture() {
    cold.poison();
    for (int v = 0; v < 10; ++v)
      db.meta.schema.variables.push_back({"v" + std::to_string(v), model::ContinuousType{32, model::Range{0, 1}}});
    db.meta.schema.dimensions.push_back({"region", "region", std::nullopt});
    db.meta.schema.dimensions.push_back({"year", "year", std::nullopt});
    uint64_t id = 1;
    for (int v = 0; v < 10; ++v)
      for (int r = 0; r < 20; ++r)
        for (int y = 0; y < 5; ++y) {
          model::HistogramRepr h{0, 1, std::vector<uint64_t>(32), 0};
          for (size_t b = 0; b < 32; ++b) h.bin_counts[b] = (b * 7 + r * 3 + y) % 11;
          for (auto c : h.bin_counts) h.total_count += c;
          auto d = store::new_distribution_object(
              id++, "v" + std::to_string(v),
              {{"region", "r" + std::to_string(r)}, {"year", std::to_string(2020 + y)}}, h);
          d.entropy = store::repr_entropy(d.repr);
          db.distributions.append_record(d);
        }
    for (int st = 0; st < 100; ++st)
      for (int y = 0; y < 2; ++y) {
        model::HistogramRepr h{0, 1, std::vector<uint64_t>(32), 0};
        for (size_t b = 0; b < 32; ++b) h.bin_counts[b] = (b * 5 + st * 7 + y) % 13;
        for (auto c : h.bin_counts) h.total_count += c;
        char name[8];
        std::snprintf(name, sizeof name, "s%03d", st);
        auto d = store::new_distribution_object(
            id++, "v0", {{"store", name}, {"year", std::to_string(2020 + y)}}, h);
        d.entropy = store::repr_entropy(d.repr);
        db.distributions.append_record(d);
      }
    std::vector<std::string> cats;
    for (int c = 0; c < 12; ++c) cats.push_back("c" + std::to_string(c));
    for (int r = 0; r < 20; ++r) {
      model::CategoricalRepr c{cats, std::vector<uint64_t>(12), 0, 0};
      for (size_t k = 0; k < 12; ++k) c.counts[k] = 1 + (k * 3 + r) % 17;
      for (auto n : c.counts) c.total_count += n;
      auto d = store::new_distribution_object(id++, "w", {{"region", "r" + std::to_string(r)}}, c);
      d.entropy = store::repr_entropy(d.repr);
      db.distributions.append_record(d);
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Which cache a run asks: Warm answers repeats from the cache, as a repeated
// statement on an unchanged database is; Cold computes every comparison.
enum class CacheUse { Warm, Cold };

void run(benchmark::State& state, const char* query, CacheUse use = CacheUse::Warm) {
  Fixture& f = fixture();
  analytics::CompareCache& cache = use == CacheUse::Cold ? f.cold : f.cache;
  for (auto _ : state) {
    auto r = sql::run_query(f.db, cache, query);
    if (!r.ok()) state.SkipWithError(r.error().full_text().c_str());
    benchmark::DoNotOptimize(r);
  }
}

void BM_Stats(benchmark::State& s) { run(s, "STATS"); }
void BM_Schema(benchmark::State& s) { run(s, "SCHEMA"); }
void BM_Dimensions(benchmark::State& s) { run(s, "DIMENSIONS"); }
void BM_Show(benchmark::State& s) { run(s, "SHOW v3 AT region:r7 WHERE year:2022 TOP 10"); }
void BM_Rank(benchmark::State& s) { run(s, "RANK v3 BY ENTROPY OVER region WHERE year:2022"); }
// The analytic statements. EXPLAIN compares the 10 schema variables, each
// side summed over 5 years.
constexpr const char* kCompare = "COMPARE v3 BETWEEN region:r1 AND region:r2 WHERE year:2022";
constexpr const char* kCompareRolled = "COMPARE v3 BETWEEN region:r1 AND region:r2";
constexpr const char* kAcross = "COMPARE v0 ACROSS store WHERE year:2020";
constexpr const char* kAcrossRolled = "COMPARE v0 ACROSS store";
constexpr const char* kExplain = "EXPLAIN region:r1 VS region:r2";
constexpr const char* kNearest = "NEAREST region:r1 ON region LIMIT 5";
void BM_Compare(benchmark::State& s) { run(s, kCompare); }
void BM_CompareCold(benchmark::State& s) { run(s, kCompare, CacheUse::Cold); }
void BM_CompareRolledUpCold(benchmark::State& s) { run(s, kCompareRolled, CacheUse::Cold); }
void BM_CompareCategoricalCold(benchmark::State& s) {
  run(s, "COMPARE w BETWEEN region:r1 AND region:r2", CacheUse::Cold);
}
void BM_Across100(benchmark::State& s) { run(s, kAcross); }
void BM_Across100Cold(benchmark::State& s) { run(s, kAcross, CacheUse::Cold); }
void BM_Across100RolledUpCold(benchmark::State& s) { run(s, kAcrossRolled, CacheUse::Cold); }
void BM_Explain10(benchmark::State& s) { run(s, kExplain); }
void BM_Explain10Cold(benchmark::State& s) { run(s, kExplain, CacheUse::Cold); }
void BM_NearestCold(benchmark::State& s) { run(s, kNearest, CacheUse::Cold); }

// COMPARE ... ACROSS over 200 values of 20-bin histograms (19 900 pairs,
// more than the cache holds, so a repeat computes every pair again), as
// bench/python_across.py runs it from Python.
struct Across200 {
  store::Database db;
  analytics::CompareCache cache;
  Across200() {
    db.meta.schema.variables.push_back({"income", model::ContinuousType{20, model::Range{0, 100}}});
    db.meta.schema.dimensions.push_back({"region", "region", std::nullopt});
    uint64_t id = 1;
    for (int r = 0; r < 200; ++r) {
      model::HistogramRepr h{0, 100, std::vector<uint64_t>(20), 0};
      for (size_t b = 0; b < 20; ++b) h.bin_counts[b] = (b * 7 + r * 13) % 29;
      for (auto c : h.bin_counts) h.total_count += c;
      char name[8];
      std::snprintf(name, sizeof name, "r%03d", r);
      auto d = store::new_distribution_object(id++, "income", {{"region", name}}, h);
      d.entropy = store::repr_entropy(d.repr);
      db.distributions.append_record(d);
    }
  }
};

// Arg 0: ACROSS, 1: PAIRWISE, each repeated on one cache; 2: ACROSS on a
// new, empty cache every time (a freshly opened database).
void BM_Across200(benchmark::State& state) {
  static Across200 f;
  const char* q = state.range(0) == 1 ? "PAIRWISE region ON income" : "COMPARE income ACROSS region";
  for (auto _ : state) {
    std::optional<analytics::CompareCache> fresh;
    if (state.range(0) == 2) {
      state.PauseTiming();
      fresh.emplace();
      state.ResumeTiming();
    }
    auto r = sql::run_query(f.db, fresh ? *fresh : f.cache, q);
    if (!r.ok()) state.SkipWithError(r.error().full_text().c_str());
    benchmark::DoNotOptimize(r);
    if (fresh) {
      state.PauseTiming();
      fresh.reset();
      state.ResumeTiming();
    }
  }
}

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
BENCHMARK(BM_Compare);
BENCHMARK(BM_CompareCold);
BENCHMARK(BM_CompareRolledUpCold);
BENCHMARK(BM_CompareCategoricalCold);
BENCHMARK(BM_Across100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Across100Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Across100RolledUpCold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Explain10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Explain10Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NearestCold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Across200)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseCompare);

}  // namespace

BENCHMARK_MAIN();
