// The analytic statements run end to end through run_query on small
// in-memory databases: headers, row order, cell texts and failures.
//
// Expected numbers were worked out by hand (or with an independent
// high-precision calculation) from the counts below, not from the engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics_fixture.h"
#include "quor/analytics/compare.h"
#include "quor/sql/internal/cells.h"
#include "quor/sql/executor.h"
#include "quor/util/format.h"
#include "quor/util/total_order.h"

namespace quor::sql {
namespace {

using analytics::testing_fixture::DbBuilder;
using Rows = std::vector<std::vector<std::string>>;
using Header = std::vector<std::string>;

const std::string kArrow = "\xE2\x86\x92";    // →
const std::string kLeft = "\xE2\x86\x90";     // ←
const std::string kDash = "\xE2\x80\x94";     // —
const std::string kTimes = "\xC3\x97";        // ×
const std::string kCramer = "Cram\xC3\xA9r's V";

class SqlTest : public ::testing::Test {
 protected:
  DbBuilder b;
  analytics::CompareCache cache;

  QueryResult run(std::string_view q) {
    auto r = run_query(b.db, cache, q);
    EXPECT_TRUE(r.ok()) << q << ": " << (r.ok() ? "" : r.error().full_text());
    if (!r.ok()) return {};
    for (const auto& row : r->rows) EXPECT_EQ(row.size(), r->header.size()) << q;
    return *r;
  }
  std::string fail(std::string_view q) {
    auto r = run_query(b.db, cache, q);
    EXPECT_FALSE(r.ok()) << q;
    return r.ok() ? "" : r.error().full_text();
  }
};

// ---- COMPARE ... BETWEEN ----

class SqlCompare : public SqlTest {
 protected:
  void SetUp() override {
    b.categorical("plan", {"a", "b", "c"}).continuous("income", 4, 0, 100);
    b.cat("plan", {{"region", "north"}, {"year", "2024"}}, {"a", "b", "c"}, {2, 2, 0});
    b.cat("plan", {{"region", "south"}, {"year", "2024"}}, {"a", "b", "c"}, {1, 3, 0});
    // Left out by WHERE year:2024; summed into region:north without it.
    b.cat("plan", {{"region", "north"}, {"year", "2023"}}, {"a", "b", "c"}, {0, 0, 9});
    b.hist("income", {{"region", "north"}, {"year", "2024"}}, {1, 1, 1, 1}, 0, 100);
    b.hist("income", {{"region", "south"}, {"year", "2024"}}, {0, 2, 2, 0}, 0, 100);
  }
};

TEST_F(SqlCompare, CategoricalMeasuresThenTopMovers) {
  QueryResult r = run("COMPARE plan BETWEEN region:north AND region:south WHERE year:2024");
  EXPECT_EQ(r.header, (Header{"Metric", "Value"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"JSD", "0.048795"},
                        {"PSI", "0.396241"},
                        {"Hellinger", "0.184592"},
                        {"KL(A" + kArrow + "B)", "0.207519"},
                        {"KL(B" + kArrow + "A)", "0.188722"},
                        {"Entropy(A)", "1.0000 bits"},
                        {"Entropy(B)", "0.8113 bits"},
                        {"Samples", "4 vs 4"},
                        {"95% CI", "[0.0000, 0.3474]"},
                        {"", ""},
                        {"--- Top Movers ---", ""},
                        {"a", "-0.2500  (0.500 " + kArrow + " 0.250)  contrib=0.0306"},
                        {"b", "+0.2500  (0.500 " + kArrow + " 0.750)  contrib=0.0182"},
                        {"c", "+0.0000  (0.000 " + kArrow + " 0.000)  contrib=0.0000"},
                    }));
  // Without the WHERE pair north is the sum of both years.
  Rows all_years = run("COMPARE plan BETWEEN region:north AND region:south").rows;
  EXPECT_EQ(all_years[7][1], "13 vs 4");
}

TEST_F(SqlCompare, HistogramsEndWithWasserstein) {
  Rows r = run("compare income between region:north and region:south where year:2024").rows;
  ASSERT_EQ(r.size(), 10u);
  EXPECT_EQ(r[7], (std::vector<std::string>{"Samples", "4 vs 4"}));
  EXPECT_EQ(r[9], (std::vector<std::string>{"Wasserstein", "12.500000"}));
}

TEST_F(SqlCompare, AtMostTenMovers) {
  std::vector<std::string> names;
  std::vector<uint64_t> a, c;
  for (int i = 0; i < 12; ++i) {
    names.push_back("k" + std::to_string(10 + i));
    a.push_back(static_cast<uint64_t>(i + 1));
    c.push_back(static_cast<uint64_t>(12 - i));
  }
  b.categorical("big", names);
  b.cat("big", {{"region", "north"}}, names, a);
  b.cat("big", {{"region", "south"}}, names, c);
  Rows r = run("COMPARE big BETWEEN region:north AND region:south").rows;
  ASSERT_EQ(r.size(), 9u + 2u + 10u);
  EXPECT_EQ(r[10][0], "--- Top Movers ---");
  // Largest |delta| first; equal magnitudes in category order.
  EXPECT_EQ(r[11][0], "k10");
  EXPECT_EQ(r[12][0], "k21");
  EXPECT_EQ(r[20][0], "k17");
}

TEST_F(SqlCompare, FailuresAreTheComparisonsOwn) {
  EXPECT_EQ(fail("COMPARE plan BETWEEN region:north AND region:west"),
            "distribution not found for variable 'plan' and dimensions {\"region\": \"west\"}");
  EXPECT_EQ(fail("COMPARE plan BETWEEN region:north/ AND region:south"),
            "invalid reference segment ''");
  b.hist("plan", {{"region", "east"}}, {1});
  EXPECT_EQ(fail("COMPARE plan BETWEEN region:north AND region:east"), "type mismatch for compare");
}

// ---- COMPARE ... ACROSS ----

TEST_F(SqlTest, AcrossSortsByJsdWithFailedPairsAsZero) {
  b.categorical("plan", {"a", "b", "c"}).continuous("income");
  b.cat("plan", {{"region", "e"}}, {"a", "b", "c"}, {2, 2, 0});
  b.cat("plan", {{"region", "n"}}, {"a", "b", "c"}, {2, 2, 0});
  b.cat("plan", {{"region", "s"}}, {"a", "b", "c"}, {1, 3, 0});
  b.cat("plan", {{"region", "w"}}, {"a", "b", "c"}, {0, 4, 0});
  // "m" is a region of income only: every plan pair with it fails.
  b.hist("income", {{"region", "m"}}, {1, 1});
  QueryResult r = run("COMPARE plan ACROSS region");
  EXPECT_EQ(r.header, (Header{"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"}));
  const std::vector<std::string> na{"N/A", "N/A", "N/A", "N/A"};
  auto failed = [&](std::string x, std::string y) {
    std::vector<std::string> row{std::move(x), std::move(y)};
    row.insert(row.end(), na.begin(), na.end());
    return row;
  };
  EXPECT_EQ(r.rows, (Rows{
                        {"e", "w", "0.311278", "0.541196", "17.609640", "4 vs 4"},
                        {"n", "w", "0.311278", "0.541196", "17.609640", "4 vs 4"},
                        {"s", "w", "0.137925", "0.366025", "8.408580", "4 vs 4"},
                        {"e", "s", "0.048795", "0.184592", "0.396241", "4 vs 4"},
                        {"n", "s", "0.048795", "0.184592", "0.396241", "4 vs 4"},
                        failed("e", "m"),
                        {"e", "n", "0.000000", "0.000000", r.rows[6][4], "4 vs 4"},
                        failed("m", "n"),
                        failed("m", "s"),
                        failed("m", "w"),
                    }));
  // Every successful pair went through the cache, under the key that
  // COMPARE ... BETWEEN uses for the same two selections.
  EXPECT_EQ(cache.size(), 6u);
  EXPECT_EQ(run("COMPARE plan BETWEEN region:e AND region:s").rows[0][1], "0.048795");
  EXPECT_EQ(run("COMPARE plan ACROSS region").rows, r.rows);
  EXPECT_EQ(cache.size(), 6u);
  // WHERE pairs go into both keys: no distribution has year:1, so every pair fails.
  Rows none = run("COMPARE plan ACROSS region WHERE year:1").rows;
  ASSERT_EQ(none.size(), 10u);
  EXPECT_EQ(none[0], failed("e", "m"));
  EXPECT_EQ(none[9], failed("s", "w"));
  EXPECT_EQ(fail("COMPARE plan ACROSS nosuch"),
            "dimension 'nosuch' has fewer than 2 values for pairwise comparison");
}

TEST_F(SqlTest, AcrossValueThatCannotBeReferenced) {
  b.categorical("plan", {"a"});
  b.cat("plan", {{"k", "x"}}, {"a"}, {1});
  b.cat("plan", {{"k", "x/y"}}, {"a"}, {1});
  b.cat("plan", {{"k", "z"}}, {"a"}, {1});
  // "k:x/y" splits into a segment without ':', so its pairs fail.
  EXPECT_EQ(run("COMPARE plan ACROSS k").rows,
            (Rows{{"x", "x/y", "N/A", "N/A", "N/A", "N/A"},
                  {"x", "z", "0.000000", "0.000000", "0.000000", "1 vs 1"},
                  {"x/y", "z", "N/A", "N/A", "N/A", "N/A"}}));
}

// The pair statements prepare each side once and write cells from the
// values; here they are checked against the plain road, one compare_query
// per pair and the cells read back for the sort, on a mix of exact and
// summed sides, categorical sides with differing category lists, a
// histogram on its own grid and pairs that fail.
TEST_F(SqlTest, PairStatementsEqualThePlainPerPairRoad) {
  std::mt19937_64 rng(21);
  b.continuous("income", 6, 0, 60).categorical("plan", {"a", "b", "c"});
  for (int v = 0; v < 24; ++v) {
    const std::string region = "r" + std::to_string(v);
    const int shops = v % 4 == 0 ? 3 : 1;  // some regions are summed over shops
    for (int s = 0; s < shops; ++s) {
      const model::DimensionMap key =
          shops == 1 ? model::DimensionMap{{"region", region}}
                     : model::DimensionMap{{"region", region}, {"shop", std::to_string(s)}};
      std::vector<uint64_t> h(6);
      for (auto& c : h) c = rng() % 5 == 0 ? 0 : rng() % 40;
      if (v == 5) b.hist("income", key, h, -10, 70);  // its own grid
      else if (v != 9) b.hist("income", key, h, 0, 60, v % 3);
      std::vector<std::string> cats = {"a", "b", "c"};
      if (v % 5 == 1) cats = {"c", "a", "d"};
      if (v != 13) b.cat("plan", key, cats, {rng() % 9, rng() % 9, rng() % 9}, v % 2);
    }
  }
  b.hist("income", {{"region", "r9"}, {"year", "x"}}, {1, 2, 3, 4, 5, 6}, 0, 60);
  const std::set<std::string> values = b.db.dimension_values("region");
  ASSERT_EQ(values.size(), 24u);
  const std::vector<std::string> labels(values.begin(), values.end());
  analytics::CompareCache plain_cache;
  for (const char* variable : {"income", "plan"}) {
    SCOPED_TRACE(variable);
    // COMPARE ... ACROSS
    Rows expected;
    for (size_t i = 0; i < labels.size(); ++i)
      for (size_t j = i + 1; j < labels.size(); ++j) {
        auto r = analytics::compare_query(b.db, plain_cache, "region:" + labels[i],
                                          "region:" + labels[j], std::string_view(variable));
        expected.push_back(r.ok() ? across_row(labels[i], labels[j], *r)
                                  : across_failed_row(labels[i], labels[j]));
      }
    sort_across_rows(expected);
    EXPECT_EQ(run(std::string("COMPARE ") + variable + " ACROSS region").rows, expected);
    // Again, answered from the cache.
    EXPECT_EQ(run(std::string("COMPARE ") + variable + " ACROSS region").rows, expected);

    // NEAREST against a summed reference (region r0 spans three shops).
    for (const char* metric : {"jsd", "psi", "hellinger"}) {
      struct Candidate { std::string value; double distance; };
      std::vector<Candidate> candidates;
      bool failed = false;
      for (const auto& c : labels) {
        if (c == "r0") continue;
        auto r = analytics::compare_query(b.db, plain_cache, "region:r0", "region:" + c,
                                          std::string_view(variable));
        if (!r.ok()) { failed = true; break; }
        const std::string m = metric;
        candidates.push_back({c, m == "psi" ? r->psi : m == "hellinger" ? r->hellinger : r->jsd});
      }
      const std::string q = std::string("NEAREST region:r0 ON region LIMIT 30 USING ") + metric;
      if (std::string(variable) != b.db.meta.schema.variables.front().name) continue;
      if (failed) {
        EXPECT_FALSE(run_query(b.db, cache, q).ok());
        continue;
      }
      std::stable_sort(candidates.begin(), candidates.end(), [](const auto& x, const auto& y) {
        return util::total_less(x.distance, y.distance);
      });
      Rows want;
      for (const auto& c : candidates) want.push_back({c.value, util::format_fixed(c.distance, 6)});
      EXPECT_EQ(run(q).rows, want);
    }
  }
  // PAIRWISE over the values where plan has a distribution.
  b.cat("plan", {{"zone", "p"}}, {"a", "b"}, {1, 2});
  b.cat("plan", {{"zone", "q"}, {"shop", "1"}}, {"b", "a", "c"}, {3, 0, 1});
  b.cat("plan", {{"zone", "q"}, {"shop", "2"}}, {"b", "a", "c"}, {1, 1, 1});
  b.cat("plan", {{"zone", "r"}}, {"a", "b", "c"}, {0, 0, 0}, 4);
  QueryResult m = run("PAIRWISE zone ON plan");
  const std::vector<std::string> zones = {"p", "q", "r"};
  for (size_t i = 0; i < zones.size(); ++i)
    for (size_t j = 0; j < zones.size(); ++j) {
      if (i == j) continue;
      const size_t lo = std::min(i, j), hi = std::max(i, j);
      auto r = analytics::compare_query(b.db, plain_cache, "zone:" + zones[lo], "zone:" + zones[hi],
                                        std::string_view("plan"));
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(m.rows[i][j + 1], util::format_fixed(r->jsd, 4));
    }
}

// ACROSS and PAIRWISE with more pairs than the cache holds leave out the
// stores of results that would be evicted before the statement ends. The
// cache must end exactly as if every result had been stored: compared here
// with a cache that went through the plain road pair by pair, both starting
// from the same earlier entries (some of which the statement hits).
TEST_F(SqlTest, LongPairStatementsEndWithTheCacheOfThePlainRoad) {
  b.continuous("income", 2, 0, 1);
  const int n = 150;  // 11 175 pairs
  for (int v = 0; v < n; ++v) {
    char name[8];
    std::snprintf(name, sizeof name, "v%03d", v);
    b.hist("income", {{"region", name}}, {uint64_t(v % 7 + 1), uint64_t(v % 5 + 2)});
  }
  analytics::CompareCache plain;
  for (auto* c : {&cache, &plain}) {
    for (int v = 0; v + 1 < n; v += 10) {
      char x[8], y[8];
      std::snprintf(x, sizeof x, "v%03d", v);
      std::snprintf(y, sizeof y, "v%03d", v + 1);
      ASSERT_TRUE(analytics::compare_query(b.db, *c, std::string("region:") + x,
                                           std::string("region:") + y, "income").ok());
      ASSERT_TRUE(analytics::compare_query(b.db, *c, std::string("region:") + y,
                                           std::string("region:") + x, "income").ok());
    }
  }
  const auto labels = b.db.dimension_values("region");
  const std::vector<std::string> values(labels.begin(), labels.end());
  auto plain_road = [&] {
    for (size_t i = 0; i < values.size(); ++i)
      for (size_t j = i + 1; j < values.size(); ++j)
        ASSERT_TRUE(analytics::compare_query(b.db, plain, "region:" + values[i],
                                             "region:" + values[j], "income").ok());
  };
  auto same_state = [&] {
    const auto got = cache.entries();
    const auto want = plain.entries();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_TRUE(got[i].first == want[i].first) << i;
      ASSERT_TRUE(got[i].second == want[i].second) << i;
    }
  };
  run("COMPARE income ACROSS region");
  plain_road();
  same_state();
  run("PAIRWISE region ON income");
  plain_road();
  same_state();
}

// ---- EXPLAIN ----

class SqlExplain : public SqlTest {
 protected:
  void SetUp() override {
    b.categorical("plan", {"a", "b", "c", "d", "e", "f", "g"}).continuous("income", 4, 0, 1);
    const std::vector<std::string> cats{"a", "b", "c", "d", "e", "f", "g"};
    b.cat("plan", {{"region", "x"}}, cats, {7, 6, 5, 4, 3, 2, 1});
    b.cat("plan", {{"region", "y"}}, cats, {1, 2, 3, 4, 5, 6, 7});
    b.hist("income", {{"region", "x"}}, {4, 0, 0, 0});
    b.hist("income", {{"region", "y"}}, {0, 0, 0, 4});
  }
};

TEST_F(SqlExplain, TotalThenVariablesWithTheirMovers) {
  QueryResult r = run("EXPLAIN region:x VS region:y");
  EXPECT_EQ(r.header, (Header{"Variable", "JSD", "Fraction", "H(A)", "H(B)"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"TOTAL", "1.197350", "100.0%", "", ""},
                        {"income", "1.000000", "83.5%", "-0.0000", "-0.0000"},
                        {"plan", "0.197350", "16.5%", "2.6100", "2.6100"},
                        {"  a", "-0.2143", "contrib=0.0652", "", ""},
                        {"  g", "+0.2143", "contrib=0.0652", "", ""},
                        {"  b", "-0.1429", "contrib=0.0270", "", ""},
                        {"  f", "+0.1429", "contrib=0.0270", "", ""},
                        {"  c", "-0.0714", "contrib=0.0065", "", ""},
                    }));
}

TEST_F(SqlExplain, EqualSelectionsAndFailures) {
  Rows same = run("EXPLAIN region:x VS region:x").rows;
  ASSERT_EQ(same.size(), 8u);
  EXPECT_EQ(same[0], (std::vector<std::string>{"TOTAL", "0.000000", "100.0%", "", ""}));
  // Equal JSDs keep schema order; no fraction divides by a zero total.
  EXPECT_EQ(same[1], (std::vector<std::string>{"plan", "0.000000", "0.0%", "2.6100", "2.6100"}));
  EXPECT_EQ(same[7], (std::vector<std::string>{"income", "0.000000", "0.0%", "-0.0000", "-0.0000"}));
  EXPECT_EQ(fail("EXPLAIN region:x VS region:z"),
            "distribution not found for variable 'plan' and dimensions {\"region\": \"z\"}");
}

// ---- TRACK ----

TEST_F(SqlTest, TrackRowsMarksAndAlerts) {
  b.categorical("plan", {"a", "b"}).continuous("income", 2, 0, 1);
  const std::vector<std::string> ab{"a", "b"};
  // plan alternates between two close shapes, then jumps.
  const std::vector<std::vector<uint64_t>> series{{10, 10}, {11, 9}, {10, 10},
                                                  {11, 9},  {10, 10}, {0, 20}};
  for (size_t t = 0; t < series.size(); ++t)
    b.cat("plan", {{"region", "north"}, {"time", "t" + std::to_string(t + 1)}}, ab, series[t]);
  b.hist("income", {{"region", "north"}, {"time", "t1"}}, {1, 1});
  b.hist("income", {{"region", "north"}, {"time", "t2"}}, {2, 0});

  QueryResult r = run("TRACK plan FROM region:north GRANULARITY monthly");
  EXPECT_EQ(r.header, (Header{"Time", "Entropy", "Drift (JSD)"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"t1", "1.0000", "0.0018"},
                        {"t2", "0.9928", "0.0018"},
                        {"t3", "1.0000", "0.0018"},
                        {"t4", "0.9928", "0.0018"},
                        {"t5", "1.0000", "0.3113 " + kLeft + " shift"},
                        {"t6", "-0.0000", "0.0000"},
                        {"", "", ""},
                        {"t5 " + kArrow + " t6", "JSD=0.3113",
                         "drift exceeded threshold 0.0054 (IQR-based)"},
                    }));
  // The statement's variable is tracked, not the schema's first.
  Rows income = run("TRACK income FROM region:north").rows;
  EXPECT_EQ(income, (Rows{{"t1", "1.0000", "0.3113 " + kLeft + " shift"}, {"t2", "-0.0000", "0.0000"}}));
  EXPECT_TRUE(run("TRACK plan FROM region:south").rows.empty());
  EXPECT_EQ(fail("TRACK plan FROM region:a/b"), "invalid reference segment 'b'");
}

// ---- MI, CMI, CORRELATIONS ----

class SqlJoint : public SqlTest {
 protected:
  void SetUp() override {
    b.categorical("x", {"p", "q"}).categorical("y", {"p", "q"}).categorical("z", {"p"});
    b.define_joint("y", "x");
    b.joint("x", "y", {{"region", "n"}}, DbBuilder::table({{10, 0}, {0, 10}}));
    b.joint("x", "y", {}, DbBuilder::table({{5, 5}, {5, 5}}));
    b.joint("x", "y", {{"g", "a"}}, DbBuilder::table({{5, 0}, {0, 5}}));
    b.joint("x", "y", {{"g", "b"}}, DbBuilder::table({{2, 2}, {2, 2}}));
    b.joint("x", "y", {{"g", "c"}}, DbBuilder::table({{15, 0}, {0, 15}}));
    for (const char* g : {"a", "b", "c", "d"}) b.cat("x", {{"g", g}}, {"p", "q"}, {1, 1});
  }
};

TEST_F(SqlJoint, MiRowsFromTheJoint) {
  QueryResult r = run("MI x y AT region:n");
  EXPECT_EQ(r.header, (Header{"Metric", "Value"}));
  const Rows full{{"MI", "1.0000 bits"}, {"NMI", "1.0000"}, {kCramer, "1.0000"},
                  {"Samples", "20"},     {"Strength", "strong"}};
  EXPECT_EQ(r.rows, full);
  EXPECT_EQ(run("MI y, x AT region:n").rows, full);
  // A variable pair names no dimension: the joint with the empty key gives
  // the MI, and no joint has the key {variable: ...}.
  EXPECT_EQ(run("MI x y AT variable:x").rows,
            (Rows{{"MI", "0.0000 bits"}, {"Strength", "weak"}}));
  EXPECT_EQ(fail("MI x z AT region:n"),
            "no joint distribution defined for 'x' and 'z'; call define_joint() first");
  EXPECT_EQ(fail("MI x y AT region:s"),
            "joint distribution not found for 'x' and 'y' at {\"region\": \"s\"}");
}

TEST_F(SqlJoint, CmiStrataInValueOrder) {
  QueryResult r = run("CMI x y GIVEN g");
  EXPECT_EQ(r.header, (Header{"g", "MI", "NMI", "Samples"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"CMI", "0.8333 bits", "", ""},
                        {"Total samples", "48", "", ""},
                        {"", "", "", ""},
                        {"a", "1.0000", "100.0%", "10"},
                        {"b", "0.0000", "0.0%", "8"},
                        {"c", "1.0000", "100.0%", "30"},
                    }));
  EXPECT_EQ(fail("CMI x y GIVEN nosuch"), "no values found for dimension 'nosuch'");
  EXPECT_EQ(fail("CMI x z GIVEN g"),
            "no joint distribution defined for 'x' and 'z'; call define_joint() first");
}

TEST_F(SqlJoint, CorrelationsLabelsOrderAndLimit) {
  QueryResult r = run("CORRELATIONS");
  EXPECT_EQ(r.header, (Header{"Pair", "Dim", "MI", "NMI", kCramer, "Samples"}));
  const std::string pair = "y " + kTimes + " x";
  EXPECT_EQ(r.rows, (Rows{
                        {pair, "region:n", "1.0000", "100.0%", "1.0000", "20"},
                        {pair, "g:a", "1.0000", "100.0%", "1.0000", "10"},
                        {pair, "g:c", "1.0000", "100.0%", "1.0000", "30"},
                        {pair, "all", "0.0000", "0.0%", "0.0000", "20"},
                        {pair, "g:b", "0.0000", "0.0%", "0.0000", "8"},
                    }));
  EXPECT_EQ(run("CORRELATIONS LIMIT 2").rows.size(), 2u);
  Rows over = run("CORRELATIONS OVER g LIMIT 5").rows;
  ASSERT_EQ(over.size(), 3u);
  EXPECT_EQ(over[0][1], "a");
  EXPECT_EQ(over[1][1], "c");
  EXPECT_EQ(over[2][1], "b");
  b.db.meta.schema.joints.clear();
  EXPECT_EQ(fail("CORRELATIONS"), "no joint distributions defined; call define_joint() first");
}

// ---- PAIRWISE ----

TEST_F(SqlTest, PairwiseMatrix) {
  b.categorical("plan", {"a", "b", "c"});
  b.cat("plan", {{"region", "e"}}, {"a", "b", "c"}, {2, 2, 0});
  b.cat("plan", {{"region", "n"}}, {"a", "b", "c"}, {1, 3, 0});
  b.cat("plan", {{"region", "s"}}, {"a", "b", "c"}, {0, 4, 0});
  QueryResult r = run("PAIRWISE region ON plan");
  EXPECT_EQ(r.header, (Header{"", "e", "n", "s"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"e", kDash, "0.0488", "0.3113"},
                        {"n", "0.0488", kDash, "0.1379"},
                        {"s", "0.3113", "0.1379", kDash},
                    }));
  EXPECT_EQ(run("PAIRWISE region ON plan USING wasserstein").rows, r.rows);
  QueryResult none = run("PAIRWISE plan ON region");
  EXPECT_EQ(none.header, (Header{""}));
  EXPECT_TRUE(none.rows.empty());
  b.hist("other", {{"region", "w"}}, {1});
  EXPECT_EQ(fail("PAIRWISE region ON plan"),
            "distribution not found for variable 'plan' and dimensions {\"region\": \"w\"}");
}

// ---- NEAREST ----

class SqlNearest : public SqlTest {
 protected:
  void SetUp() override {
    b.categorical("plan", {"a", "b", "c"});
    const std::vector<std::string> cats{"a", "b", "c"};
    b.cat("plan", {{"region", "n"}}, cats, {2, 2, 0});
    b.cat("plan", {{"region", "a"}}, cats, {1, 3, 0});
    b.cat("plan", {{"region", "b"}}, cats, {0, 4, 0});
    b.cat("plan", {{"region", "c"}}, cats, {1, 3, 0});
    b.cat("plan", {{"region", "d"}}, cats, {2, 1, 1});
  }
};

TEST_F(SqlNearest, RanksCandidatesByTheChosenMetric) {
  QueryResult r = run("NEAREST region:n ON region");
  EXPECT_EQ(r.header, (Header{"region", "JSD"}));
  EXPECT_EQ(r.rows, (Rows{{"a", "0.048795"}, {"c", "0.048795"}, {"d", "0.155639"}}));
  EXPECT_EQ(run("NEAREST region:n ON region LIMIT 10").rows.size(), 4u);
  EXPECT_TRUE(run("NEAREST region:n ON region LIMIT 0").rows.empty());
  QueryResult h = run("NEAREST region:n ON region USING Hellinger LIMIT 4");
  EXPECT_EQ(h.header, (Header{"region", "HELLINGER"}));
  EXPECT_EQ(h.rows, (Rows{{"a", "0.184592"}, {"c", "0.184592"}, {"d", "0.382683"}, {"b", "0.541196"}}));
  EXPECT_EQ(run("NEAREST region:n ON region USING psi").rows[2],
            (std::vector<std::string>{"d", "8.554820"}));
  // An unknown word ranks by JSD under its own upper-cased title.
  QueryResult u = run("NEAREST region:n ON region USING stra\xC3\x9F" "e");
  EXPECT_EQ(u.header, (Header{"region", "STRASSE"}));
  EXPECT_EQ(u.rows, r.rows);
}

TEST_F(SqlNearest, WholeVariableAndOtherDimensions) {
  // variable:plan sums every plan distribution: (6, 13, 1) of 20.
  Rows all = run("NEAREST variable:plan ON region LIMIT 10").rows;
  EXPECT_EQ(all, (Rows{{"a", "0.029220"}, {"c", "0.029220"}, {"n", "0.050303"},
                       {"d", "0.137141"}, {"b", "0.201982"}}));
  // Only the value text is left out, whatever the dimension.
  b.cat("plan", {{"store", "n"}}, {"a", "b", "c"}, {1, 1, 1});
  b.cat("plan", {{"store", "m"}}, {"a", "b", "c"}, {2, 2, 0});
  EXPECT_EQ(run("NEAREST region:n ON store").rows, (Rows{{"m", "0.000000"}}));
}

TEST_F(SqlNearest, Failures) {
  EXPECT_EQ(fail("NEAREST region:n/ ON region"), "invalid reference segment ''");
  // The reference selection fails at the first candidate, not before.
  EXPECT_EQ(fail("NEAREST region:zz ON region"),
            "distribution not found for variable 'plan' and dimensions {\"region\": \"zz\"}");
  QueryResult none = run("NEAREST region:zz ON nosuch");
  EXPECT_EQ(none.header, (Header{"nosuch", "JSD"}));
  EXPECT_TRUE(none.rows.empty());
  b.hist("income", {{"region", "zz"}}, {1});
  EXPECT_EQ(fail("NEAREST region:n ON region"),
            "distribution not found for variable 'plan' and dimensions {\"region\": \"zz\"}");
  DbBuilder empty;
  b = std::move(empty);
  b.hist("income", {{"region", "n"}}, {1});
  EXPECT_EQ(fail("NEAREST region:n ON region"), "no variable in schema");
}

// ---- every arm only reads ----

TEST_F(SqlJoint, NoStatementChangesTheDatabase) {
  b.continuous("h", 2, 0, 1);
  b.hist("h", {{"g", "a"}, {"time", "1"}}, {1, 2});
  b.hist("h", {{"g", "b"}, {"time", "2"}}, {3, 1});
  const model::MetaFile meta = b.db.meta;
  const model::DistributionFile data = b.db.records();
  const model::DistIndex index = b.db.index_record();
  const model::SnapshotStore snapshots = b.db.snapshots;
  for (const char* q :
       {"COMPARE h BETWEEN g:a AND g:b", "COMPARE x ACROSS g", "COMPARE h ACROSS g WHERE time:1",
        "EXPLAIN g:a VS g:b", "TRACK h FROM g:a", "MI x y AT g:a", "CMI x y GIVEN g",
        "CORRELATIONS OVER g", "PAIRWISE g ON x", "NEAREST g:a ON g USING psi",
        "EXPORT NEAREST g:a ON g AS JSON", "SHOW h AT g:a WHERE time:1",
        "RANK x BY ENTROPY OVER g", "STATS", "SCHEMA", "DIMENSIONS g"}) {
    (void)run_query(b.db, cache, q);
    EXPECT_EQ(b.db.meta, meta) << q;
    EXPECT_EQ(b.db.records(), data) << q;
    EXPECT_EQ(b.db.index_record(), index) << q;
    EXPECT_EQ(b.db.snapshots, snapshots) << q;
  }
}

}  // namespace
}  // namespace quor::sql
