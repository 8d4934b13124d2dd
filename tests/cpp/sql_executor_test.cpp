#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quor/sql/executor.h"
#include "quor/store/directory.h"
#include "quor/sql/parser.h"
#include "quor/store/dim_key.h"
#include "quor/util/panic.h"
#include "temp_dir.h"

namespace quor::sql {
namespace {

using model::CategoricalRepr;
using model::DimensionMap;
using model::DistributionObject;
using model::DistributionRepr;
using model::HistogramRepr;

using Rows = std::vector<std::vector<std::string>>;

// A small in-memory database: distributions are appended in the order given
// and indexed as the store does.
class Db {
 public:
  store::Database db;
  analytics::CompareCache cache;

  void add(std::string variable, DimensionMap key, DistributionRepr repr,
           std::optional<double> entropy = std::nullopt, uint64_t version = 1) {
    DistributionObject d;
    d.id = db.distributions.size() + 1;
    d.variable = std::move(variable);
    d.dimension_key = std::move(key);
    d.sample_count = repr.total_count();
    d.entropy = entropy ? *entropy : store::repr_entropy(repr);
    d.repr = std::move(repr);
    d.version = version;
    db.distributions.append_record(d);
  }

  QueryResult run(std::string_view q) {
    auto r = run_query(db, cache, q);
    EXPECT_TRUE(r.ok()) << q << ": " << (r.ok() ? "" : r.error().full_text());
    return r.ok() ? *r : QueryResult{};
  }
  std::string fail(std::string_view q) {
    auto r = run_query(db, cache, q);
    EXPECT_FALSE(r.ok()) << q;
    return r.ok() ? "" : r.error().full_text();
  }
};

HistogramRepr hist(double lo, double hi, std::vector<uint64_t> bins, uint64_t extra = 0) {
  uint64_t total = extra;
  for (auto b : bins) total += b;
  return HistogramRepr{lo, hi, std::move(bins), total};
}

CategoricalRepr cats(std::vector<std::string> names, std::vector<uint64_t> counts,
                     uint64_t unknown = 0) {
  uint64_t total = unknown;
  for (auto c : counts) total += c;
  return CategoricalRepr{std::move(names), std::move(counts), unknown, total};
}

void expect_rectangular(const QueryResult& r) {
  for (const auto& row : r.rows) EXPECT_EQ(row.size(), r.header.size());
}

TEST(RunQuery, ParseErrorsAreWrapped) {
  Db t;
  EXPECT_EQ(t.fail(""), "parse error: empty query");
  EXPECT_EQ(t.fail("hello"),
            "parse error: unexpected token Ident(\"hello\"); expected COMPARE, EXPLAIN, TRACK, SHOW, "
            "RANK, MI, CMI, CORRELATIONS, PAIRWISE, NEAREST, EXPORT, STATS, SCHEMA, or DIMENSIONS");
  EXPECT_EQ(t.fail("SHOW v AT :x"), "parse error: invalid dimension reference: ':x'");
}

TEST(ReferenceKey, PairThenFiltersUnescaped) {
  EXPECT_EQ(build_reference_key({"region", "north"}, {{"year", "2024"}}), "region:north/year:2024");
  EXPECT_EQ(build_reference_key({"region", "a/b"}, {{"region", "x"}, {"k", "v:w"}}),
            "region:a/b/region:x/k:v:w");
  EXPECT_EQ(build_reference_key({"variable", "income"}, {}), "variable:income");
}

TEST(Catalogue, StatsCountsMarginalsOnly) {
  Db t;
  EXPECT_EQ(t.run("STATS").rows,
            (Rows{{"Distributions", "0"}, {"Total samples", "0"}, {"Variables", "0"}, {"Dimensions", "0"}}));
  t.db.meta.schema.variables.push_back({"v", model::ContinuousType{4, std::nullopt}});
  t.db.meta.schema.dimensions.push_back({"d", "d", std::nullopt});
  t.add("v", {{"d", "a"}}, hist(0, 1, {10}));
  t.add("v", {{"d", "b"}}, hist(0, 1, {20}));
  t.add("v", {{"d", "c"}}, hist(0, 1, {25}, 5));
  t.db.joints.emplace_back();
  t.db.joints.back().sample_count = 1000;
  QueryResult r = t.run("stats;");
  EXPECT_EQ(r.header, (std::vector<std::string>{"Stat", "Value"}));
  EXPECT_EQ(r.rows,
            (Rows{{"Distributions", "3"}, {"Total samples", "60"}, {"Variables", "1"}, {"Dimensions", "1"}}));
}

TEST(Catalogue, SchemaRowsInSchemaOrder) {
  Db t;
  EXPECT_TRUE(t.run("SCHEMA").rows.empty());
  auto& s = t.db.meta.schema;
  s.variables.push_back({"income", model::ContinuousType{20, std::nullopt}});
  s.variables.push_back({"score", model::ContinuousType{8, model::Range{0.5, 10.0}}});
  s.variables.push_back({"plan", model::CategoricalType{{"a", "b", "c", "d"}, true}});
  s.variables.push_back({"tier", model::CategoricalType{{"x"}, false}});
  s.dimensions.push_back({"month", "date", "monthly"});
  s.dimensions.push_back({"region", "region", std::nullopt});
  s.joints.emplace_back("b", "a");
  QueryResult r = t.run("SCHEMA");
  EXPECT_EQ(r.header, (std::vector<std::string>{"Type", "Name", "Details"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"variable", "income", "continuous  bins=20  range="},
                        {"variable", "score", "continuous  bins=8  range=[0.5, 10]"},
                        {"variable", "plan", "categorical  cats=4  unknown=true"},
                        {"variable", "tier", "categorical  cats=1  unknown=false"},
                        {"dimension", "month", "source=date  granularity=monthly"},
                        {"dimension", "region", "source=region  granularity=none"},
                        {"joint", "b \xC3\x97 a", ""},
                    }));
  s.variables[0].var_type = model::ContinuousType{4, model::Range{0.0, 100.0}};
  EXPECT_EQ(t.run("SCHEMA").rows[0][2], "continuous  bins=4  range=[0, 100]");
}

TEST(Catalogue, DimensionsCardinalityAndValues) {
  Db t;
  EXPECT_TRUE(t.run("DIMENSIONS").rows.empty());
  t.db.meta.schema.dimensions.push_back({"region", "region", std::nullopt});
  t.db.meta.schema.dimensions.push_back({"unused", "u", std::nullopt});
  t.db.meta.schema.dimensions.push_back({"year", "year", std::nullopt});
  t.add("v", {{"region", "a"}, {"year", "2024"}}, hist(0, 1, {1}));
  t.add("v", {{"region", "B"}, {"year", "2024"}}, hist(0, 1, {1}));
  t.add("w", {{"region", "a"}}, hist(0, 1, {1}));
  QueryResult all = t.run("DIMENSIONS");
  EXPECT_EQ(all.header, (std::vector<std::string>{"Dimension", "Cardinality"}));
  EXPECT_EQ(all.rows, (Rows{{"region", "2 values"}, {"unused", "0 values"}, {"year", "1 values"}}));
  QueryResult one = t.run("DIMENSIONS region");
  EXPECT_EQ(one.header, (std::vector<std::string>{"region"}));
  EXPECT_EQ(one.rows, (Rows{{"B"}, {"a"}}));
  QueryResult none = t.run("dimensions nosuch");
  EXPECT_EQ(none.header, (std::vector<std::string>{"nosuch"}));
  EXPECT_TRUE(none.rows.empty());
}

TEST(Show, HistogramBinsAndHeadRows) {
  Db t;
  t.add("income", {{"region", "north"}}, hist(0, 100, {5, 10, 20, 5}), 1.75, 3);
  QueryResult r = t.run("SHOW income AT region:north");
  EXPECT_EQ(r.header, (std::vector<std::string>{"Category/Bin", "Count / Prob"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"Entropy", "1.7500 bits"},
                        {"Samples", "40"},
                        {"Version", "3"},
                        {"", ""},
                        {"[0.00, 25.00)", "     5  0.1250  #####"},
                        {"[25.00, 50.00)", "    10  0.2500  ##########"},
                        {"[50.00, 75.00)", "    20  0.5000  ####################"},
                        {"[75.00, 100.00)", "     5  0.1250  #####"},
                    }));
  // TOP / BOTTOM: stable by probability; the head rows stay.
  Rows top = t.run("SHOW income AT region:north TOP 2").rows;
  ASSERT_EQ(top.size(), 6u);
  EXPECT_EQ(top[4][0], "[50.00, 75.00)");
  EXPECT_EQ(top[5][0], "[25.00, 50.00)");
  Rows bottom = t.run("SHOW income AT region:north BOTTOM 3").rows;
  ASSERT_EQ(bottom.size(), 7u);
  EXPECT_EQ(bottom[4][0], "[0.00, 25.00)");
  EXPECT_EQ(bottom[5][0], "[75.00, 100.00)");
  EXPECT_EQ(bottom[6][0], "[25.00, 50.00)");
  EXPECT_EQ(t.run("SHOW income AT region:north TOP 0").rows.size(), 4u);
  EXPECT_EQ(t.run("SHOW income AT region:north TOP 99").rows.size(), 8u);
}

TEST(Show, CategoricalAndEmptyTotals) {
  Db t;
  t.add("plan", {{"d", "x"}}, cats({"a", "b", "c"}, {45, 36, 9}, 10));
  t.add("plan", {{"d", "empty"}}, cats({"a", "b"}, {0, 0}));
  t.add("h", {{"d", "x"}}, hist(-1, 1, {0, 0}));
  Rows r = t.run("SHOW plan AT d:x").rows;
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[1][1], "100");
  EXPECT_EQ(r[4], (std::vector<std::string>{"a", "    45  0.4500  ##################"}));
  EXPECT_EQ(r[5], (std::vector<std::string>{"b", "    36  0.3600  ##############"}));
  EXPECT_EQ(r[6], (std::vector<std::string>{"c", "     9  0.0900  ###"}));
  Rows e = t.run("SHOW plan AT d:empty").rows;
  EXPECT_EQ(e[0][1], "0.0000 bits");
  EXPECT_EQ(e[4][1], "     0  0.0000  ");
  Rows h = t.run("SHOW h AT d:x").rows;
  EXPECT_EQ(h[4], (std::vector<std::string>{"[-1.00, 0.00)", "     0  0.0000  "}));
  EXPECT_EQ(h[5][0], "[0.00, 1.00)");
}

TEST(Show, ExactKeyOnlyAndLaterPairsWin) {
  Db t;
  t.add("income", {{"region", "north"}, {"year", "2024"}}, hist(0, 1, {1}));
  t.add("income", {{"region", "south"}}, hist(0, 1, {2}));
  EXPECT_EQ(t.fail("SHOW income AT region:north"), "distribution not found");
  EXPECT_EQ(t.fail("SHOW nosuch AT region:south"), "distribution not found");
  EXPECT_EQ(t.run("SHOW income AT region:north WHERE year:2024").rows[1][1], "1");
  EXPECT_EQ(t.run("SHOW income AT region:north WHERE region:south").rows[1][1], "2");
}

TEST(Show, NegativeZeroEntropy) {
  Db t;
  // A total in one cell has entropy -0.0, shown with its sign.
  t.add("v", {{"d", "one"}}, cats({"a", "b"}, {7, 0}));
  EXPECT_EQ(t.run("SHOW v AT d:one").rows[0][1], "-0.0000 bits");
}

// Values that no consistent counts give (a count above its total, an entropy
// beyond 64 bits or not finite), read back from a flushed database: SHOW,
// RANK and EXPORT answer, with bars no longer than the longest a consistent
// distribution draws (40 and 512 marks); bars within those bounds are drawn
// as their values say.
TEST(DamagedValues, BarsAreCappedAndEveryStatementAnswers) {
  struct Case {
    const char* value;  // of dimension d
    DistributionRepr repr;
    double entropy;
    size_t show_bar;  // of the first bin
    size_t rank_bar;
  };
  auto over = [](uint64_t count, uint64_t total) {
    CategoricalRepr c = cats({"a"}, {count});
    c.total_count = total;
    return DistributionRepr(c);
  };
  HistogramRepr bins_over = hist(0, 1, {5, 0});
  bins_over.total_count = 1;
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"full", over(4, 4), 64.0, 40, 512},
      {"share", over(1, 4), 63.99, 10, 511},
      {"above", over(3, 2), 70.0, 40, 512},
      {"huge", over(UINT64_MAX, 1), 1e300, 40, 512},
      {"bins", bins_over, inf, 40, 512},
      {"nan", over(1, 1), std::nan(""), 40, 0},
      {"negative", over(0, 1), -inf, 0, 0},
  };
  test_util::TempDir tmp;
  const auto dir = tmp.path() / "db";
  {
    auto created = store::create_database(dir, false);
    ASSERT_TRUE(created.ok()) << created.error().full_text();
    store::Database& db = *created;
    model::DistributionFile file;
    for (const Case& c : cases) {
      DistributionObject d;
      d.id = file.distributions.size() + 1;
      d.variable = "v";
      d.dimension_key = {{"d", c.value}};
      d.repr = c.repr;
      d.sample_count = c.repr.total_count();
      d.entropy = c.entropy;
      d.version = 1;
      file.distributions.push_back(std::move(d));
    }
    db.load_records(std::move(file));
    ASSERT_TRUE(store::flush_database(db).ok());
  }
  auto opened = store::open_database(dir, false);
  ASSERT_TRUE(opened.ok()) << opened.error().full_text();
  analytics::CompareCache cache;
  auto run = [&](const std::string& q) {
    auto r = run_query(*opened, cache, q);
    EXPECT_TRUE(r.ok()) << q << ": " << (r.ok() ? "" : r.error().full_text());
    return r.ok() ? *r : QueryResult{};
  };
  auto bar_of = [](const std::string& cell) {
    const size_t at = cell.find('#');
    return at == std::string::npos ? 0 : cell.size() - at;
  };

  const QueryResult rank = run("RANK v BY ENTROPY OVER d");
  ASSERT_EQ(rank.rows.size(), cases.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const QueryResult show = run(std::string("SHOW v AT d:") + c.value);
    ASSERT_GE(show.rows.size(), 5u);
    EXPECT_EQ(bar_of(show.rows[4][1]), c.show_bar) << show.rows[4][1];
    bool ranked = false;
    for (const auto& row : rank.rows) {
      if (row[0] != c.value) continue;
      ranked = true;
      EXPECT_EQ(row[3], std::string(c.rank_bar, '#'));
    }
    EXPECT_TRUE(ranked);
    const QueryResult exported = run(std::string("EXPORT SHOW v AT d:") + c.value + " AS CSV");
    ASSERT_EQ(exported.rows.size(), 1u);
    EXPECT_LT(exported.rows[0][0].size(), 1000u);  // 1e300 bits print 301 digits
  }
  const QueryResult exported = run("EXPORT RANK v BY ENTROPY OVER d AS JSON");
  ASSERT_EQ(exported.rows.size(), 1u);
  EXPECT_LT(exported.rows[0][0].size(), 8 * 512 + 1000u);
}

TEST(Rank, SortedByEntropyDescendingStable) {
  Db t;
  t.add("v", {{"region", "a"}, {"year", "1"}}, hist(0, 1, {1}), 1.5);
  t.add("v", {{"region", "b"}, {"year", "1"}}, hist(0, 1, {2}), 2.25);
  t.add("v", {{"region", "c"}, {"year", "2"}}, hist(0, 1, {3}), 2.25);
  t.add("v", {{"region", "b"}, {"year", "2"}}, hist(0, 1, {4}), -0.0);
  t.add("v", {{"other", "z"}}, hist(0, 1, {5}), 9.0);
  t.add("w", {{"region", "a"}}, hist(0, 1, {6}), 9.0);
  t.add("v", {{"region", "d"}}, hist(0, 1, {7}), 0.0);
  QueryResult r = t.run("RANK v BY ENTROPY OVER region");
  EXPECT_EQ(r.header, (std::vector<std::string>{"region", "Entropy", "Samples", ""}));
  EXPECT_EQ(r.rows, (Rows{
                        {"b", "2.2500 bits", "2", std::string(18, '#')},
                        {"c", "2.2500 bits", "3", std::string(18, '#')},
                        {"a", "1.5000 bits", "1", std::string(12, '#')},
                        {"d", "0.0000 bits", "7", ""},
                        {"b", "-0.0000 bits", "4", ""},
                    }));
  Rows filtered = t.run("RANK v BY ENTROPY OVER region WHERE year:2").rows;
  ASSERT_EQ(filtered.size(), 2u);
  EXPECT_EQ(filtered[0][0], "c");
  EXPECT_EQ(filtered[1][0], "b");
  EXPECT_TRUE(t.run("RANK v BY ENTROPY OVER region WHERE nosuch:1").rows.empty());
  EXPECT_TRUE(t.run("RANK v BY ENTROPY OVER nosuch").rows.empty());
  EXPECT_TRUE(t.run("RANK nobody BY ENTROPY OVER region").rows.empty());
}

TEST(Export, RendersTheInnerResult) {
  Db t;
  t.add("v", {{"d", "a"}}, hist(0, 1, {2, 3}));
  QueryResult csv = t.run("EXPORT STATS AS CSV");
  EXPECT_EQ(csv.header, (std::vector<std::string>{"Output"}));
  EXPECT_EQ(csv.rows, (Rows{{"Stat,Value\nDistributions,1\nTotal samples,5\nVariables,0\nDimensions,0\n"}}));
  QueryResult json = t.run("export dimensions d as json");
  EXPECT_EQ(json.rows, (Rows{{"[\n  {\"d\": \"a\"}\n]"}}));
  QueryResult nested = t.run("EXPORT EXPORT STATS AS CSV AS JSON");
  EXPECT_EQ(nested.rows,
            (Rows{{"[\n  {\"Output\": \"Stat,Value\\nDistributions,1\\nTotal samples,5\\nVariables,0\\n"
                   "Dimensions,0\\n\"}\n]"}}));
  EXPECT_EQ(t.fail("EXPORT SHOW v AT d:zzz AS CSV"), "distribution not found");
}

TEST(Export, DeepestNestingStaysSmall) {
  Db t;
  t.add("v", {{"d", "a\"b,c"}}, cats({"x\"y", "z,w"}, {1, 2}));
  std::string q;
  for (size_t i = 0; i < kMaxExportDepth; ++i) q += "EXPORT ";
  q += "SHOW v AT d:a\"b,c";
  for (size_t i = 0; i < kMaxExportDepth; ++i) q += i % 2 ? " AS JSON" : " AS CSV";
  QueryResult r = t.run(q);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_LT(r.rows[0][0].size(), 2000u);
}

TEST(Executor, EveryRowMatchesTheHeader) {
  Db t;
  t.db.meta.schema.variables.push_back({"v", model::CategoricalType{{"a"}, false}});
  t.db.meta.schema.dimensions.push_back({"d", "d", std::nullopt});
  t.db.meta.schema.joints.emplace_back("v", "v");
  t.add("v", {{"d", "a"}}, cats({"a"}, {3}));
  for (const char* q : {"STATS", "SCHEMA", "DIMENSIONS", "DIMENSIONS d", "SHOW v AT d:a",
                        "RANK v BY ENTROPY OVER d", "EXPORT STATS AS JSON"})
    expect_rectangular(t.run(q));
}

TEST(Executor, AcrossNeedsTwoValues) {
  Db t;
  t.add("v", {{"d", "a"}}, hist(0, 1, {1}));
  EXPECT_EQ(t.fail("COMPARE v ACROSS d"),
            "dimension 'd' has fewer than 2 values for pairwise comparison");
  EXPECT_EQ(t.fail("COMPARE v ACROSS nosuch"),
            "dimension 'nosuch' has fewer than 2 values for pairwise comparison");
}

}  // namespace
}  // namespace quor::sql
