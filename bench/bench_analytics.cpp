// Comparison, cache and pairwise timings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>
#include <string>

#include "quor/analytics/compare.h"
#include "quor/analytics/pairwise.h"
#include "quor/analytics/reference.h"
#include "quor/math/log2.h"
#include "quor/math/measures.h"
#include "quor/store/database.h"
#include "quor/store/dim_key.h"

namespace {

using namespace quor;

// `values` region values, one 20-bin histogram of `income` at each.
store::Database histogram_db(int values, int bins = 20) {
  store::Database db;
  db.meta.schema.variables.push_back(
      {"income", model::ContinuousType{static_cast<uint32_t>(bins), model::Range{0, 100}}});
  std::mt19937_64 rng(7);
  for (int v = 0; v < values; ++v) {
    model::HistogramRepr h{0, 100, std::vector<uint64_t>(bins), 0};
    for (auto& c : h.bin_counts) {
      c = 1 + rng() % 500;
      h.total_count += c;
    }
    const uint64_t id = db.meta.next_distribution_id++;
    model::DimensionMap key{{"region", "r" + std::to_string(v)}};
    auto d = store::new_distribution_object(id, "income", key, h);
    d.entropy = store::repr_entropy(d.repr);
    db.distributions.append_record(d);
  }
  return db;
}

void BM_CompareUncached(benchmark::State& state) {
  auto db = histogram_db(2);
  analytics::CompareCache cache;
  cache.poison();  // every lookup misses, every store is dropped
  const analytics::Filter a{{"region", "r0"}}, b{{"region", "r1"}};
  for (auto _ : state) benchmark::DoNotOptimize(analytics::compare_distributions(db, cache, "income", a, b));
}
BENCHMARK(BM_CompareUncached);

void BM_CompareMeasuresOnly(benchmark::State& state) {
  auto db = histogram_db(2);
  const auto x = db.distributions.repr(0);
  const auto y = db.distributions.repr(1);
  for (auto _ : state) benchmark::DoNotOptimize(analytics::compare_representations(x, y));
}
BENCHMARK(BM_CompareMeasuresOnly);

void BM_CompareCacheHit(benchmark::State& state) {
  auto db = histogram_db(2);
  analytics::CompareCache cache;
  const analytics::Filter a{{"region", "r0"}}, b{{"region", "r1"}};
  (void)analytics::compare_distributions(db, cache, "income", a, b);
  for (auto _ : state) benchmark::DoNotOptimize(analytics::compare_distributions(db, cache, "income", a, b));
}
BENCHMARK(BM_CompareCacheHit);

// The cache alone, full (10 000 entries) as after a long session. A hit
// copies a histogram comparison out and refreshes its recency.
analytics::CompareKey cache_key(uint64_t i) { return analytics::CompareKey{i, 1, i + 1, 1, {}, {}}; }
analytics::CompareResult histogram_result() {
  auto db = histogram_db(2);
  return *analytics::compare_representations(db.distributions.repr(0), db.distributions.repr(1));
}

void BM_CacheHit(benchmark::State& state) {
  analytics::CompareCache cache;
  const auto r = histogram_result();
  constexpr uint64_t n = analytics::CompareCache::kCapacity;
  for (uint64_t i = 0; i < n; ++i) cache.put(cache_key(i), r);
  std::vector<analytics::CompareKey> keys;
  std::mt19937_64 rng(3);
  for (int i = 0; i < 4096; ++i) keys.push_back(cache_key(rng() % n));
  size_t i = 0;
  for (auto _ : state) {
    auto hit = cache.get(keys[i++ & 4095]);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_CacheHit);

// A lookup that misses, then the store of its result, which evicts the
// least recently used entry: what every comparison of a new pair costs in
// the cache.
void BM_CacheMissInsert(benchmark::State& state) {
  analytics::CompareCache cache;
  const auto r = histogram_result();
  constexpr uint64_t n = analytics::CompareCache::kCapacity;
  for (uint64_t i = 0; i < n; ++i) cache.put(cache_key(i), r);
  uint64_t next = n;
  for (auto _ : state) {
    const auto key = cache_key(next++);
    auto miss = cache.get(key);
    benchmark::DoNotOptimize(miss);
    cache.put(key, r);
  }
}
BENCHMARK(BM_CacheMissInsert);

void BM_CompareCategorical(benchmark::State& state) {
  model::CategoricalRepr a, b;
  for (int i = 0; i < 12; ++i) {
    a.categories.push_back("category-" + std::to_string(i));
    a.counts.push_back(10 + i);
    a.total_count += 10 + i;
  }
  b = a;
  std::reverse(b.counts.begin(), b.counts.end());
  const model::DistributionRepr x = a, y = b;
  for (auto _ : state) benchmark::DoNotOptimize(analytics::compare_representations(x, y));
}
BENCHMARK(BM_CompareCategorical);

// Exact-key resolution must not depend on how many distributions exist.
void BM_ResolveExact(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto db = histogram_db(n);
  const analytics::Filter f{{"region", "r" + std::to_string(n - 1)}};
  for (auto _ : state) benchmark::DoNotOptimize(analytics::resolve_side(db, "income", f));
}
BENCHMARK(BM_ResolveExact)->Arg(100)->Arg(100000);

void BM_Pairwise200(benchmark::State& state) {
  auto db = histogram_db(200);
  for (auto _ : state) {
    state.PauseTiming();
    auto cache = std::make_unique<analytics::CompareCache>();
    state.ResumeTiming();
    auto m = analytics::pairwise_matrix(db, *cache, "region", "income", "jsd");
    benchmark::DoNotOptimize(m);
    state.PauseTiming();
    cache.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Pairwise200)->Unit(benchmark::kMillisecond);

// PAIRWISE with every result already cached (capacity 10 000 holds 4 950
// pairs of 100 values).
void BM_Pairwise100Cached(benchmark::State& state) {
  auto db = histogram_db(100);
  analytics::CompareCache cache;
  (void)analytics::pairwise_matrix(db, cache, "region", "income", "jsd");
  for (auto _ : state) {
    auto m = analytics::pairwise_matrix(db, cache, "region", "income", "jsd");
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(BM_Pairwise100Cached)->Unit(benchmark::kMillisecond);

// Logarithms of share ratios as the measures take them: a call of
// std::log2 each, against log2_in_place over the same 4 096 values (the
// same bits; the label says whether the four-lane form ran).
std::vector<double> log_arguments() {
  std::mt19937_64 rng(3);
  std::vector<double> v(4096);
  for (double& x : v) x = static_cast<double>(1 + rng() % 1000) / static_cast<double>(1 + rng() % 1000);
  return v;
}

void BM_Log2Library(benchmark::State& state) {
  const std::vector<double> in = log_arguments();
  std::vector<double> out(in.size());
  for (auto _ : state) {
    for (size_t i = 0; i < in.size(); ++i) out[i] = std::log2(in[i]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_Log2Library);

void BM_Log2InPlace(benchmark::State& state) {
  const std::vector<double> in = log_arguments();
  std::vector<double> out(in.size());
  for (auto _ : state) {
    // A loop, not a copy: glibc's block copy of these 32 KB is slow on some
    // virtual machines and would be most of what this measures.
    for (size_t i = 0; i < in.size(); ++i) out[i] = in[i] + 0.0;
    math::log2_in_place(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
  state.SetLabel(math::log2_is_vectorized() ? "four lanes" : "std::log2 per value");
}
BENCHMARK(BM_Log2InPlace);

// The mutual information of 7 800 tables of 20 × 10 cells shaped like the
// joints of CORRELATIONS OVER (a heavy cell per row, the others 0 to 2), one
// table at a time against MutualInformationRun (the same bits).
std::vector<math::CountRows> correlation_tables() {
  std::mt19937_64 rng(5);
  std::vector<math::CountRows> tables(7800, math::CountRows(20, std::vector<uint64_t>(10)));
  for (auto& t : tables) {
    const uint64_t shift = rng() % 7;
    for (uint64_t x = 0; x < 20; ++x)
      for (uint64_t y = 0; y < 10; ++y) t[x][y] = (x / 2 + shift) % 10 == y ? 10 + rng() % 20 : rng() % 3;
  }
  return tables;
}

std::vector<uint64_t> table_totals(const std::vector<math::CountRows>& tables) {
  std::vector<uint64_t> totals;
  for (const auto& t : tables) {
    uint64_t n = 0;
    for (const auto& row : t)
      for (uint64_t c : row) n += c;
    totals.push_back(n);
  }
  return totals;
}

void BM_TableMiOneByOne(benchmark::State& state) {
  const auto tables = correlation_tables();
  const auto totals = table_totals(tables);
  math::TableMargins room;
  for (auto _ : state) {
    double sum = 0.0;
    for (size_t i = 0; i < tables.size(); ++i) sum += math::mutual_information(tables[i], totals[i], room);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tables.size()));
}
BENCHMARK(BM_TableMiOneByOne)->Unit(benchmark::kMillisecond);

void BM_TableMiRun(benchmark::State& state) {
  const auto tables = correlation_tables();
  const auto totals = table_totals(tables);
  for (auto _ : state) {
    math::MutualInformationRun run;
    for (size_t i = 0; i < tables.size(); ++i) run.add(tables[i], totals[i]);
    benchmark::DoNotOptimize(run.finish().data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tables.size()));
}
BENCHMARK(BM_TableMiRun)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
