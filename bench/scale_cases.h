// The scaling table's individual cases: the ones the scale work is judged by.
#pragma once

#include <string>

#include "scale_harness.h"
#include "scale_ingest.h"
#include "scale_inputs.h"
#include "scale_queries.h"

namespace quor::bench::scale {

inline void section_cases() {
  // TRACK x FROM region:g1: 1 000 labels, each a roll-up of 10 shops (50 000
  // distributions); the exact-key baseline tracks x2, kept at {region, time}.
  if (case_on("TRACK")) {
    const fs::path dir = synthetic_store("track", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.variable("x2", 20, 0, 100);
      b.dimension("region");
      b.dimension("time");
      b.dimension("shop");
      for (uint64_t r = 1; r <= 5; ++r)
        for (uint64_t t = 0; t < 1000; ++t)
          for (uint64_t k = 0; k < 10; ++k)
            b.histogram("x", {{"region", label("g", r)}, {"time", label("t", t, 5)}, {"shop", label("s", k)}});
      for (uint64_t r = 1; r <= 5; ++r)
        for (uint64_t t = 0; t < 1000; ++t) b.histogram("x2", {{"region", label("g", r)}, {"time", label("t", t, 5)}});
    });
    query_case("cases", "TRACK x FROM region:g1, roll-ups of 10", "50 k", dir, "TRACK x FROM region:g1",
               "1000 labels");
    query_case("cases", "TRACK x2 FROM region:g1, exact keys", "50 k", dir, "TRACK x2 FROM region:g1",
               "1000 labels");
  }
  // DIMENSIONS and a 100-member roll-up COMPARE on 1 M distributions.
  if (g.full && (case_on("DIMENSIONS d") || case_on("roll-up COMPARE, 100"))) {
    const fs::path dir = scale_store(1000000);
    query_case("cases", "DIMENSIONS d, 100 values", "1 M", dir, "DIMENSIONS region");
    query_case("cases", "roll-up COMPARE, 100 members a side", "1 M", dir,
               "COMPARE x BETWEEN time:t00000 AND time:t00001 WHERE shop:s0");
  }
  // Roll-up ACROSS / NEAREST with ids from 1 and ids from 1 000 001.
  if (case_on("ids from")) {
    for (uint64_t first : {uint64_t{1}, uint64_t{1000001}}) {
      const fs::path dir = scale_store(100000, first);
      const std::string ids = first == 1 ? "ids from 1" : "ids from 1000001";
      query_case("cases", "roll-up COMPARE x ACROSS region, " + ids, "100 k", dir, "COMPARE x ACROSS region",
                 "100 values of 1000");
      query_case("cases", "roll-up NEAREST region:g1, " + ids, "100 k", dir, "NEAREST region:g1 ON region",
                 "99 candidates of 1000");
    }
  }
  // CMI with 1 000 and 3 000 values of the conditioning dimension, and
  // CORRELATIONS OVER with 7 800 joints: x and y at every {seg}, one joint each.
  auto seg_store = [](uint64_t values) {
    return synthetic_store("seg_" + std::to_string(values), 1, [values](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.variable("y", 10, 0, 10);
      b.dimension("seg");
      b.db.meta.schema.joints.push_back({"x", "y"});
      for (uint64_t v = 0; v < values; ++v) {
        b.histogram("x", {{"seg", label("v", v, 5)}});
        b.histogram("y", {{"seg", label("v", v, 5)}});
      }
      for (uint64_t v = 0; v < values; ++v) b.joint("x", "y", {{"seg", label("v", v, 5)}});
    });
  };
  if (case_on("CMI")) {
    for (uint64_t values : {uint64_t{1000}, uint64_t{3000}})
      query_case("cases", "CMI x y GIVEN seg", fmt_count(values) + " values", seg_store(values),
                 "CMI x y GIVEN seg");
  }
  if (case_on("CORRELATIONS OVER")) {
    query_case("cases", "CORRELATIONS OVER seg, 7800 joints", "7800", seg_store(7800),
               "CORRELATIONS OVER seg LIMIT 20");
  }
  // One NEAREST whose reference sums 20 000 members, over 2 000 candidates:
  // time and the memory it adds (peak, and what is still held after it).
  if (case_on("NEAREST, summed")) {
    const fs::path dir = synthetic_store("nearest", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.dimension("grp");
      b.dimension("cand");
      b.dimension("shop");
      for (uint64_t gi = 0; gi < 2; ++gi)
        for (uint64_t c = 0; c < 2000; ++c)
          for (uint64_t k = 0; k < 10; ++k)
            b.histogram("x", {{"grp", label("g", gi)}, {"cand", label("c", c, 4)}, {"shop", label("s", k)}});
    });
    run_child("cases", "NEAREST, summed reference of 20000", "40 k", [&](const Child& c) {
      auto db = store::open_database(dir, false);
      if (!db.ok()) return c.fail(db.error().full_text());
      c.ready();
      analytics::CompareCache cache;
      const long before = status_kb("VmRSS:");
      const bool reset = reset_peak();
      const auto t0 = Clock::now();
      auto r = sql::run_query(*db, cache, "NEAREST grp:g0 ON cand LIMIT 5");
      const double t = seconds_since(t0);
      if (!r.ok()) return c.fail(r.error().full_text());
      const long peak = status_kb("VmHWM:");
      const long after = status_kb("VmRSS:");
      char note[200];
      std::snprintf(note, sizeof note, "2000 candidates; peak %s above the open%s, %s still held after",
                    fmt_mb(static_cast<double>(peak - before)).c_str(), reset ? "" : " (process peak)",
                    fmt_mb(static_cast<double>(after - before)).c_str());
      c.row(fmt_time(t), "+" + fmt_mb(static_cast<double>(peak - before)), note);
    });
  }
  // COMPARE x ACROSS region with 200 exact values: 19 900 pairs of 20 bins.
  if (case_on("ACROSS region, 200")) {
    const fs::path dir = synthetic_store("across200", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.dimension("region");
      for (uint64_t r = 1; r <= 200; ++r) b.histogram("x", {{"region", label("g", r)}});
    });
    run_child("cases", "COMPARE x ACROSS region, 200 values", "200", [&](const Child& c) {
      auto db = store::open_database(dir, false);
      if (!db.ok()) return c.fail(db.error().full_text());
      c.ready();
      const QueryTiming cold = time_query(*db, "COMPARE x ACROSS region");
      if (!cold.error.empty()) return c.fail(cold.error);
      const QueryTiming warm = time_query(*db, "COMPARE x ACROSS region", true);
      char note[200];
      std::snprintf(note, sizeof note, "19900 pairs; fresh cache (first %s), repeat on one cache %s",
                    fmt_time(cold.first).c_str(), fmt_time(warm.median).c_str());
      c.row(fmt_time(cold.median), "-", note);
    });
  }
  // High-cardinality ingest: 3 M rows over 13 days × 300 × 300 keys.
  if (case_on("high-cardinality")) {
    const fs::path csv = keyed_csv(3000000, 13, 300, 300);
    ingest_case("cases", "high-cardinality ingest + close", "3 M rows", csv, "daily");
  }
  // The engine ingest of the 1 M-row reference CSV, as bench_ingest runs it.
  if (case_on("reference CSV, 1 M")) {
    ingest_case("cases", "reference CSV, 1 M rows (bench_ingest)", "1 M rows", reference_csv(1000000), "monthly");
  }
}

}  // namespace quor::bench::scale
