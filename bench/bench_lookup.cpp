// Statements that must cost what they list or sum, not the size of the
// whole store: TRACK over roll-ups, DIMENSIONS, roll-up
// COMPARE, ACROSS / NEAREST with ids that do not start at 1, CMI and
// CORRELATIONS OVER. Plain main; prints the median of a few runs per case.
//
//   ninja -C build bench_lookup && build/bench_lookup [--quick] [--only WORD]
//
// --only runs the cases whose group name (track, million, ids, cmi,
// correlations) contains WORD.
//
// Every comparison runs against a poisoned cache, so each run computes what
// a first run computes. A store's first statement that needs the postings
// builds them; the "first run" lines show that cost apart. The program uses only the store's public fields and
// the query entry, so it builds against older trees for before/after runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quor/sql/executor.h"
#include "quor/store/database.h"
#include "quor/store/dim_key.h"

namespace {

using namespace quor;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median_ms(int runs, const std::function<void()>& fn) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    fn();
    t.push_back(ms_since(t0));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

std::string num(const char* prefix, int i, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*d", prefix, width, i);
  return buf;
}

// Creates one distribution per key through the store's own path, then gives
// it a few counts. Returns the time spent in ensure_distribution.
double fill(store::Database& db, const std::string& variable,
            const std::vector<model::DimensionMap>& keys) {
  const auto t0 = Clock::now();
  for (const auto& k : keys) {
    auto id = db.ensure_distribution(variable, k);
    if (!id.ok()) {
      std::fprintf(stderr, "ensure failed: %s\n", id.error().full_text().c_str());
      std::exit(1);
    }
  }
  const double t = ms_since(t0);
  uint64_t seed = 1;
  for (store::Position p = 0; p < db.distributions.size(); ++p) {
    store::DistributionRow& d = db.distributions.row(p);
    if (!d.is_histogram()) continue;
    d.total_count = 0;
    for (auto& c : db.distributions.cells(p)) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      c = (seed >> 33) % 50;
      d.total_count += c;
    }
    d.sample_count = d.total_count;
    d.entropy = store::repr_entropy(db.distributions.repr(p));
  }
  return t;
}

store::Database schema_db(uint32_t bins) {
  store::Database db;
  db.writable = true;
  db.meta.schema.variables.push_back({"x", model::ContinuousType{bins, model::Range{0, 1}}});
  return db;
}

void run_query(const store::Database& db, const char* q, bool expect_ok = true) {
  analytics::CompareCache cache;
  cache.poison();
  auto r = sql::run_query(db, cache, q);
  if (expect_ok && !r.ok()) {
    std::fprintf(stderr, "%s: %s\n", q, r.error().full_text().c_str());
    std::exit(1);
  }
}

void report(const char* what, double ms) { std::printf("%-66s %10.3f ms\n", what, ms); }

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  auto wanted = [&](const char* group) { return std::string(group).find(only) != std::string::npos; };
  const int runs = quick ? 3 : 7;

  if (wanted("track")) {  // TRACK: 5 regions x 1000 time labels x 10 stores = 50 000 distributions.
    store::Database db = schema_db(20);
    std::vector<model::DimensionMap> keys;
    for (int r = 0; r < 5; ++r)
      for (int t = 0; t < 1000; ++t)
        for (int s = 0; s < 10; ++s)
          keys.push_back({{"region", num("g", r, 1)}, {"time", num("t", t, 4)}, {"store", num("s", s, 2)}});
    fill(db, "x", keys);
    report("TRACK x FROM region:g1, first run after creating the store",
           median_ms(1, [&] { run_query(db, "TRACK x FROM region:g1"); }));
    report("TRACK x FROM region:g1 (1000 labels x roll-up of 10, 50k dists)",
           median_ms(quick ? 1 : 3, [&] { run_query(db, "TRACK x FROM region:g1"); }));
  }

  if (wanted("million")) {  // 1 M distributions: d (100 values) x e (10 000 values).
    store::Database db = schema_db(8);
    std::vector<model::DimensionMap> keys;
    keys.reserve(1000000);
    for (int e = 0; e < 10000; ++e)
      for (int d = 0; d < 100; ++d) keys.push_back({{"d", num("d", d, 3)}, {"e", num("e", e, 5)}});
    const double create = fill(db, "x", keys);
    keys.clear();
    report("ensure_distribution x 1M (creation through the store)", create);
    report("reset_id_order on 1M (what open adds)", median_ms(quick ? 1 : 3, [&] { db.reset_id_order(); }));
    report("DIMENSIONS d, first run after creating the store",
           median_ms(1, [&] { run_query(db, "DIMENSIONS d"); }));
    report("DIMENSIONS d (100 values, 1M dists)",
           median_ms(runs, [&] { run_query(db, "DIMENSIONS d"); }));
    report("COMPARE x BETWEEN e:e00001 AND e:e00002 (roll-ups of 100, 1M dists)",
           median_ms(runs, [&] { run_query(db, "COMPARE x BETWEEN e:e00001 AND e:e00002"); }));
  }

  for (uint64_t first_id : {uint64_t{1}, uint64_t{1000001}}) {
    if (!wanted("ids")) break;
    // 100 000 distributions: region (10 values) x store (10 000 values).
    store::Database db = schema_db(16);
    db.meta.next_distribution_id = first_id;
    std::vector<model::DimensionMap> keys;
    for (int s = 0; s < 10000; ++s)
      for (int r = 0; r < 10; ++r) keys.push_back({{"region", num("r", r, 2)}, {"store", num("s", s, 5)}});
    fill(db, "x", keys);
    const std::string tag = first_id == 1 ? " (ids from 1)" : " (ids from 1000001)";
    report(("COMPARE x ACROSS region, roll-ups of 10k, 100k dists" + tag).c_str(),
           median_ms(quick ? 1 : 3, [&] { run_query(db, "COMPARE x ACROSS region"); }));
    report(("NEAREST region:r01 ON region, 100k dists" + tag).c_str(),
           median_ms(quick ? 1 : 3, [&] { run_query(db, "NEAREST region:r01 ON region"); }));
  }

  // CMI and CORRELATIONS OVER: one marginal and `pairs` joints per value.
  auto joint_db = [](int values, int pairs) {
    store::Database db;
    db.writable = true;
    for (const char* v : {"a", "b", "c", "e"})
      db.meta.schema.variables.push_back({v, model::CategoricalType{{"p", "q", "r", "s"}, true}});
    const char* defs[][2] = {{"a", "b"}, {"c", "a"}, {"b", "e"}};
    for (int p = 0; p < pairs; ++p) db.meta.schema.joints.emplace_back(defs[p][0], defs[p][1]);
    for (int i = 0; i < values; ++i) {
      const model::DimensionMap key{{"d", num("v", i, 5)}};
      (void)db.ensure_distribution("a", key);
      for (int p = 0; p < pairs; ++p) {
        (void)db.ensure_joint(defs[p][0], defs[p][1], key);
        auto* j = db.find_joint_mut(defs[p][0], defs[p][1], key);
        auto& t = std::get<model::ContingencyTableRepr>(j->repr);
        uint64_t total = 0;
        for (size_t r = 0; r < t.counts.size(); ++r)
          for (size_t c = 0; c < t.counts[r].size(); ++c) {
            t.counts[r][c] = 1 + (r * 7 + c * 3 + i + p) % 11;
            total += t.counts[r][c];
          }
        t.total_count = total;
        j->sample_count = total;
      }
    }
    return db;
  };
  for (int values : {1000, 3000}) {
    if (!wanted("cmi")) break;
    store::Database db = joint_db(values, 1);
    report(("CMI a b GIVEN d, " + std::to_string(values) + " values").c_str(),
           median_ms(runs, [&] { run_query(db, "CMI a b GIVEN d"); }));
  }
  if (wanted("correlations")) {
    store::Database db = joint_db(2600, 3);
    report("CORRELATIONS OVER d (3 pairs x 2600 values = 7800 joints)",
           median_ms(runs * (only.empty() ? 1 : 100), [&] { run_query(db, "CORRELATIONS OVER d"); }));
    report("CORRELATIONS (7800 joints)", median_ms(runs, [&] { run_query(db, "CORRELATIONS"); }));
  }
  return 0;
}
