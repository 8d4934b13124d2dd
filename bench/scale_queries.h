// The scaling table's query section: statement times against the number of
// distributions.
#pragma once

#include <string>

#include "quor/analytics/compare_cache.h"
#include "quor/sql/executor.h"
#include "quor/store/database.h"
#include "quor/store/directory.h"
#include "scale_harness.h"
#include "scale_inputs.h"

namespace quor::bench::scale {

// ---------------------------------------------------------------- query cases

struct QueryTiming {
  double median = 0, first = 0;
  int runs = 0;
  size_t rows = 0;
  std::string error;
};

// Runs `text` up to g.reps times (fewer once the runs add up to a few
// seconds), each with a fresh compare cache unless `warm`, where one cache is
// kept across the runs and the first run fills it.
inline QueryTiming time_query(const store::Database& db, const std::string& text, bool warm = false) {
  QueryTiming out;
  std::vector<double> times;
  double total = 0;
  auto shared = std::make_unique<analytics::CompareCache>();
  for (int i = 0; i < g.reps; ++i) {
    auto fresh = std::make_unique<analytics::CompareCache>();
    analytics::CompareCache& cache = warm ? *shared : *fresh;
    const auto t0 = Clock::now();
    auto r = sql::run_query(db, cache, text);
    const double t = seconds_since(t0);
    if (!r.ok()) {
      out.error = r.error().full_text();
      return out;
    }
    out.rows = r->rows.size();
    times.push_back(t);
    total += t;
    if (total > 3.0) break;
  }
  out.first = times.front();
  out.runs = static_cast<int>(times.size());
  if (warm && times.size() > 1) times.erase(times.begin());
  std::sort(times.begin(), times.end());
  out.median = times[times.size() / 2];
  return out;
}

// One query on a store opened read-only in the child.
inline void query_case(const std::string& section, const std::string& name, const std::string& size,
                const fs::path& store_dir, const std::string& text, const std::string& extra = "") {
  run_child(section, name, size, [&](const Child& c) {
    auto db = store::open_database(store_dir, false);
    if (!db.ok()) return c.fail(db.error().full_text());
    c.ready();
    const QueryTiming t = time_query(*db, text);
    if (!t.error.empty()) return c.fail(t.error);
    char note[200];
    std::snprintf(note, sizeof note, "%s%sfirst %s, runs %d, rows %zu", extra.c_str(),
                  extra.empty() ? "" : "; ", fmt_time(t.first).c_str(), t.runs, t.rows);
    c.row(fmt_time(t.median), "-", note);
  });
}

inline void section_queries() {
  std::vector<uint64_t> sizes = {100, 1000, 10000, 100000};
  if (g.full) sizes.push_back(1000000);
  for (uint64_t n : sizes) {
    const fs::path dir = scale_store(n);
    const ScaleShape s = scale_shape(n);
    const std::string size = fmt_count(n);
    const std::string region_members = std::to_string(s.times * s.shops);
    struct Q {
      std::string name, text, note;
    };
    const std::vector<Q> queries = {
        {"COMPARE exact", "COMPARE x BETWEEN region:g1 AND region:g2 WHERE time:t00000 AND shop:s0", ""},
        {"COMPARE roll-up", "COMPARE x BETWEEN time:t00000 AND time:t00001 WHERE shop:s0",
         std::to_string(s.regions) + " members a side"},
        {"DIMENSIONS region", "DIMENSIONS region", std::to_string(s.regions) + " values"},
        {"TRACK roll-up", "TRACK x FROM region:g1",
         std::to_string(s.times) + " labels of " + std::to_string(s.shops)},
        {"ACROSS exact", "COMPARE x ACROSS region WHERE time:t00000 AND shop:s0",
         std::to_string(s.regions) + " values"},
        {"ACROSS roll-up", "COMPARE x ACROSS region",
         std::to_string(s.regions) + " values of " + region_members},
        {"NEAREST roll-up", "NEAREST region:g1 ON region LIMIT 5",
         std::to_string(s.regions - 1) + " candidates"},
        {"CMI GIVEN region", "CMI x y GIVEN region",
         std::to_string(s.regions) + " of " + std::to_string(s.regions * (s.times + 1)) + " joints"},
        {"CORRELATIONS", "CORRELATIONS", std::to_string(s.regions * (s.times + 1)) + " joints"},
        {"CORRELATIONS OVER region", "CORRELATIONS OVER region LIMIT 5",
         std::to_string(s.regions) + " of " + std::to_string(s.regions * (s.times + 1)) + " joints"},
    };
    for (const auto& q : queries) query_case("queries", q.name, size, dir, q.text, q.note);
  }
}

}  // namespace quor::bench::scale
