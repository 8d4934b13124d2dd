#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "analytics_fixture.h"
#include "quor/analytics/compare.h"
#include "quor/analytics/correlations.h"
#include "quor/analytics/explain.h"
#include "quor/analytics/mutual_info.h"
#include "quor/analytics/pairwise.h"
#include "quor/analytics/track.h"
#include "quor/util/total_order.h"

namespace quor::analytics {
namespace {

using testing_fixture::DbBuilder;
using S = std::vector<std::string>;

bool is_neg_zero(double v) { return v == 0.0 && std::signbit(v); }

// ---- EXPLAIN ----

class Explain : public ::testing::Test {
 protected:
  void SetUp() override {
    b.continuous("income", 2).categorical("color", {"red", "blue"}).categorical("size", {"s", "l"});
    b.hist("income", {{"region", "eu"}}, {5, 5});
    b.hist("income", {{"region", "us"}}, {6, 4});
    b.cat("color", {{"region", "eu"}}, {"red", "blue"}, {10, 0});
    b.cat("color", {{"region", "us"}}, {"red", "blue"}, {0, 10});
    b.cat("size", {{"region", "eu"}}, {"s", "l"}, {5, 5});
    b.cat("size", {{"region", "us"}}, {"s", "l"}, {5, 5});
  }
  DbBuilder b;
  CompareCache cache;
};

TEST_F(Explain, EntriesByJsdWithFractions) {
  auto r = explain_query(b.db, cache, "variable:income/region:eu", "region:us");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  ASSERT_EQ(r->entries.size(), 3u);  // every variable, not just the one named
  EXPECT_EQ(r->entries[0].variable, "color");
  EXPECT_EQ(r->entries[0].jsd, 1.0);
  EXPECT_EQ(r->entries[1].variable, "income");
  EXPECT_EQ(r->entries[2].variable, "size");
  EXPECT_TRUE(r->entries[1].contributions.empty());
  EXPECT_EQ(r->entries[0].contributions.size(), 2u);
  EXPECT_GT(r->total_jsd, 1.0);
  double fractions = 0;
  for (const auto& e : r->entries) fractions += e.fraction;
  EXPECT_NEAR(fractions, 1.0, 1e-15);
  EXPECT_EQ(r->entries[0].fraction, 1.0 / r->total_jsd);
}

TEST_F(Explain, IdenticalSelectionsAndEmptySchema) {
  auto r = explain_query(b.db, cache, "region:eu", "region:eu");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->total_jsd, 0.0);
  S order;
  for (const auto& e : r->entries) {
    EXPECT_EQ(e.fraction, 0.0);
    order.push_back(e.variable);
  }
  EXPECT_EQ(order, (S{"income", "color", "size"}));  // ties keep schema order

  DbBuilder empty;
  r = explain_query(empty.db, cache, "region:eu", "region:us");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->entries.empty());
  EXPECT_TRUE(is_neg_zero(r->total_jsd));
}

TEST_F(Explain, OneMissingSideFailsTheWholeBreakdown) {
  b.hist("income", {{"region", "asia"}}, {1, 1});
  auto r = explain_query(b.db, cache, "region:eu", "region:asia");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(),
            "distribution not found for variable 'color' and dimensions {\"region\": \"asia\"}");
  r = explain_query(b.db, cache, "region", "region:asia");
  EXPECT_EQ(r.error().full_text(), "invalid reference segment 'region'");
}

// ---- TRACK ----

TEST(TrackThreshold, QuartileRule) {
  const double t = drift_threshold({0.01, 0.02, 0.01, 0.015, 0.02, 0.012, 0.018, 0.3});
  EXPECT_NEAR(t, 0.032, 1e-15);
  EXPECT_EQ(drift_alert_message(t), "drift exceeded threshold 0.0320 (IQR-based)");
  EXPECT_EQ(drift_alert_message(0.03125), "drift exceeded threshold 0.0312 (IQR-based)");  // exact tie: even digit
  EXPECT_EQ(drift_alert_message(0.12345678), "drift exceeded threshold 0.1235 (IQR-based)");
  // Not-a-number and infinities read as in every other cell.
  EXPECT_EQ(drift_alert_message(std::nan("")), "drift exceeded threshold NaN (IQR-based)");
  EXPECT_EQ(drift_alert_message(-std::nan("")), "drift exceeded threshold NaN (IQR-based)");
  EXPECT_EQ(drift_alert_message(HUGE_VAL), "drift exceeded threshold inf (IQR-based)");
  EXPECT_EQ(drift_threshold({0.2}), 3.0 * 0.2);
  EXPECT_EQ(drift_threshold({0.1, 0.1, 0.1}), 3.0 * 0.1);
  EXPECT_EQ(drift_threshold({0, 0, 0.5, 0, 0}), 0.0);
  EXPECT_EQ(drift_threshold({0.1, 0.3}), 0.3 + 1.5 * (0.3 - 0.1));  // q1 = s[0], q3 = s[1]
}

class Track : public ::testing::Test {
 protected:
  void SetUp() override { b.categorical("color", {"red", "blue"}).continuous("price", 2); }
  void at(const std::string& time, uint64_t red, uint64_t blue, model::DimensionMap extra = {}) {
    extra["time"] = time;
    b.cat("color", extra, {"red", "blue"}, {red, blue});
  }
  DbBuilder b;
  CompareCache cache;
};

TEST_F(Track, SeriesDriftsAndOneAlert) {
  const uint64_t reds[] = {50, 52, 50, 53, 50, 51, 50, 54, 5};
  for (int i = 8; i >= 0; --i) at("2024-0" + std::to_string(i + 1), reds[i], 100 - reds[i]);
  auto r = track_query(b.db, cache, "region:x", "color");  // region is open: no filter pair
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->time_labels.empty());

  r = track_drift(b.db, cache, "color", {});
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  ASSERT_EQ(r->time_labels.size(), 9u);
  EXPECT_EQ(r->time_labels.front(), "2024-01");
  ASSERT_EQ(r->drifts.size(), 8u);
  EXPECT_EQ(r->entropies[8], b.db.distributions.row(0).entropy);
  for (size_t k = 0; k < 8; ++k) {
    auto c = compare_query(b.db, cache, "time:" + r->time_labels[k], "time:" + r->time_labels[k + 1], "color");
    EXPECT_EQ(r->drifts[k], c->jsd);
  }
  const double threshold = drift_threshold(r->drifts);
  ASSERT_EQ(r->alerts.size(), 1u);
  const auto& a = r->alerts[0];
  EXPECT_EQ(a.from, "2024-08");
  EXPECT_EQ(a.to, "2024-09");
  EXPECT_EQ(a.drift, r->drifts[7]);
  EXPECT_EQ(a.message, drift_alert_message(threshold));
  EXPECT_GT(a.drift, threshold);
  for (size_t k = 0; k < 7; ++k) EXPECT_LE(r->drifts[k], threshold);
}

TEST_F(Track, FewLabelsNeverAlert) {
  at("a", 10, 0);
  auto r = track_drift(b.db, cache, "color", {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->time_labels.size(), 1u);
  EXPECT_TRUE(r->drifts.empty());
  at("b", 0, 10);
  r = track_drift(b.db, cache, "color", {});
  ASSERT_EQ(r->drifts, (std::vector<double>{1.0}));
  EXPECT_TRUE(r->alerts.empty());
}

TEST_F(Track, PointsFilterAndSummedSelections) {
  at("2024-10", 1, 1, {{"region", "eu"}, {"store", "a"}});
  at("2024-09", 4, 0, {{"region", "eu"}, {"store", "a"}});
  at("2024-09", 0, 4, {{"region", "eu"}, {"store", "b"}});  // same label, later: its entropy
  at("2024-11", 9, 9, {{"region", "us"}});                  // outside the filter
  at("2024-12", 9, 9, {{"store", "a"}});                    // lacks region: not a point
  b.cat("color", {{"Time", "2025"}, {"region", "eu"}}, {"red", "blue"}, {1, 1});

  // A time pair in the filter does not narrow the points.
  auto r = track_query(b.db, cache, "region:eu/time:2024-10", std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_EQ(r->time_labels, (S{"2024-09", "2024-10"}));
  EXPECT_EQ(r->entropies[0], b.db.distributions.row(2).entropy);
  // The drift compares the sum of both 2024-09 distributions (4, 4) with (1, 1).
  ASSERT_EQ(r->drifts.size(), 1u);
  EXPECT_EQ(r->drifts[0], 0.0);
}

TEST_F(Track, VariableChoiceAndErrors) {
  b.hist("price", {{"time", "1"}}, {1, 0});
  b.hist("price", {{"time", "2"}}, {0, 1});
  auto r = track_query(b.db, cache, "variable:price/region:eu", std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->time_labels.empty());  // region:eu matches nothing
  r = track_query(b.db, cache, "variable:price/x:1", "color");
  EXPECT_TRUE(r->time_labels.empty());
  r = track_query(b.db, cache, "variable:price", std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->time_labels, (S{"1", "2"}));

  // A label whose selection holds both kinds: the first decides, so a
  // type mismatch between labels ends the tracking.
  b.cat("price", {{"time", "3"}}, {"a"}, {1});
  r = track_query(b.db, cache, "variable:price", std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(), "type mismatch for compare");

  DbBuilder empty;
  r = track_query(empty.db, cache, "region:eu", std::nullopt);
  EXPECT_EQ(r.error().full_text(), "no variable available in schema");
  r = track_query(empty.db, cache, "", std::nullopt);
  EXPECT_EQ(r.error().full_text(), "reference cannot be empty");
}

// ---- MI and CMI ----

class Joint : public ::testing::Test {
 protected:
  void SetUp() override {
    b.categorical("income", {"lo", "hi"}).categorical("region", {"n", "s"}).continuous("age");
    b.cat("income", {{"year", "2023"}}, {"lo", "hi"}, {1, 1});
    b.cat("income", {{"year", "2024"}}, {"lo", "hi"}, {1, 1});
    b.cat("income", {{"year", "2025"}}, {"lo", "hi"}, {1, 1});
    b.define_joint("income", "region");
  }
  DbBuilder b;
};

TEST_F(Joint, MutualInfoFindsTheExactJointInEitherOrder) {
  b.joint("income", "region", {{"year", "2023"}}, DbBuilder::table({{5, 0}, {0, 5}}));
  b.joint("income", "region", {{"year", "2024"}, {"zone", "1"}}, DbBuilder::table({{1, 1}, {1, 1}}));
  b.joint("income", "region", {{"year", "2025"}}, DbBuilder::table({{0, 0}, {0, 0}}));
  auto r = mutual_info_query(b.db, "region", "income", "year:2023");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  EXPECT_DOUBLE_EQ(*r, 1.0);
  EXPECT_EQ(*mutual_info_query(b.db, "income", "region", "year:2025"), 0.0);

  struct Case {
    const char* a;
    const char* b;
    const char* ref;
    const char* message;
  } cases[] = {
      {"region", "income", "year:2024",
       "joint distribution not found for 'region' and 'income' at {\"year\": \"2024\"}"},
      {"income", "region", "year:2023/zone:1",
       "joint distribution not found for 'income' and 'region' at {\"year\": \"2023\", \"zone\": \"1\"}"},
      {"income", "age", "year:2023",
       "no joint distribution defined for 'income' and 'age'; call define_joint() first"},
      {"income", "age", "year", "invalid reference segment 'year'"},
  };
  for (const auto& c : cases) {
    auto e = mutual_info_query(b.db, c.a, c.b, c.ref);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().full_text(), c.message);
  }
}

TEST_F(Joint, ConditionalMutualInfoWeightsStrata) {
  const math::CountRows t1{{12, 3}, {5, 10}};  // N 30
  const math::CountRows t2{{4, 1}, {0, 5}};    // N 10
  b.joint("income", "region", {{"year", "2023"}}, DbBuilder::table(t1));
  b.joint("income", "region", {{"year", "2024"}}, DbBuilder::table({{1, 1}}, 0));  // N 2
  b.joint("income", "region", {{"year", "2025"}}, DbBuilder::table(t2));
  b.joint("income", "region", {{"year", "2024"}, {"zone", "1"}}, DbBuilder::table({{9}}));
  b.db.joints[1].repr = DbBuilder::table({{0, 0}});  // N 0: skipped

  auto r = conditional_mutual_info(b.db, "region", "income", "year");
  ASSERT_TRUE(r.ok()) << r.error().full_text();
  ASSERT_EQ(r->strata.size(), 2u);
  EXPECT_EQ(r->strata[0].value, "2023");
  EXPECT_EQ(r->strata[1].value, "2025");
  EXPECT_EQ(r->total_samples, 40u);
  const double m1 = math::mutual_information(t1, 30), m2 = math::mutual_information(t2, 10);
  EXPECT_EQ(r->strata[0].mutual_info, m1);
  EXPECT_EQ(r->strata[0].normalized_mi, math::normalized_mutual_information(t1, 30));
  EXPECT_EQ(r->cmi, 0.0 + (30.0 / 40) * m1 + (10.0 / 40) * m2);
}

TEST_F(Joint, ConditionalMutualInfoErrorsInOrder) {
  auto r = conditional_mutual_info(b.db, "income", "age", "nothing");
  EXPECT_EQ(r.error().full_text(),
            "no joint distribution defined for 'income' and 'age'; call define_joint() first");
  r = conditional_mutual_info(b.db, "income", "region", "nothing");
  EXPECT_EQ(r.error().full_text(), "no values found for dimension 'nothing'");
  b.joint("income", "region", {{"year", "2023"}, {"zone", "1"}}, DbBuilder::table({{1, 2}}));
  r = conditional_mutual_info(b.db, "income", "region", "year");
  EXPECT_EQ(r.error().full_text(), "no joint distributions found across dimension 'year'");
}

// The same counts stored as each of the three joint kinds (a contingency
// table, a histogram grid, one histogram per category) give CMI and
// CORRELATIONS the same measures, bit for bit: those of the table.
TEST_F(Joint, EveryJointKindMeasuresAsItsCountTable) {
  const math::CountRows rows{{12, 3, 0}, {5, 10, 2}};  // N 32
  b.joint("income", "region", {{"year", "2023"}}, DbBuilder::table(rows));
  b.joint("income", "region", {{"year", "2024"}}, model::HistogramGridRepr{0, 1, 2, 0, 1, 3, rows, 32});
  b.joint("income", "region", {{"year", "2025"}},
          model::ConditionalHistogramsRepr{
              {"lo", "hi"}, {model::HistogramRepr{0, 1, rows[0], 15}, model::HistogramRepr{0, 1, rows[1], 17}}, 32});
  const double mi = math::mutual_information(rows, 32);
  const double nmi = math::normalized_mutual_information(rows, 32);

  auto cmi = conditional_mutual_info(b.db, "region", "income", "year");
  ASSERT_TRUE(cmi.ok()) << cmi.error().full_text();
  ASSERT_EQ(cmi->strata.size(), 3u);
  for (const auto& st : cmi->strata) {
    EXPECT_TRUE(util::same_bits(st.mutual_info, mi)) << st.value;
    EXPECT_TRUE(util::same_bits(st.normalized_mi, nmi)) << st.value;
    EXPECT_EQ(st.samples, 32u);
  }

  for (const std::optional<std::string_view> over : {std::optional<std::string_view>{}, {"year"}}) {
    auto corr = correlations(b.db, over, 20);
    ASSERT_TRUE(corr.ok()) << corr.error().full_text();
    ASSERT_EQ(corr->size(), 3u);
    for (const auto& row : *corr) {
      EXPECT_TRUE(util::same_bits(row.mutual_info, mi)) << *row.label;
      EXPECT_TRUE(util::same_bits(row.normalized_mi, nmi)) << *row.label;
      EXPECT_TRUE(util::same_bits(row.cramers_v, (*corr)[0].cramers_v)) << *row.label;
      EXPECT_EQ(row.samples, 32u);
    }
  }
}

TEST(JointTable, ConditionalHistogramsGiveOneRowPerCategory) {
  model::JointDistributionObject j;
  j.repr = model::ConditionalHistogramsRepr{
      {"a", "b"},
      {model::HistogramRepr{0, 1, {1, 2}, 3}, model::CategoricalRepr{{"x", "y"}, {3, 4}, 5, 12}},
      15};
  const auto t = joint_count_table(j);
  EXPECT_EQ(t.rows, (math::CountRows{{1, 2}, {3, 4}}));
  EXPECT_EQ(t.total, 15u);
}

// ---- CORRELATIONS ----

TEST_F(Joint, CorrelationsRowsLabelsOrderAndLimit) {
  DbBuilder none;
  EXPECT_EQ(correlations(none.db, std::nullopt, 20).error().full_text(),
            "no joint distributions defined; call define_joint() first");
  auto r = correlations(b.db, std::nullopt, 20);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());

  b.db.meta.schema.joints = {{"region", "income"}, {"region", "income"}};
  b.joint("income", "region", {}, DbBuilder::table({{3, 3}, {3, 3}}));  // MI 0
  b.joint("income", "region", {{"region", "EU"}, {"time", "2024"}}, DbBuilder::table({{5, 0}, {0, 5}}));
  b.joint("income", "region", {{"year", "2024"}}, DbBuilder::table({{0, 0}}));  // N 0
  b.joint("income", "region", {{"year", "2023"}}, DbBuilder::table({{4, 1}, {1, 4}}));
  r = correlations(b.db, std::nullopt, 20);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 6u);  // the pair is defined twice
  EXPECT_EQ((*r)[0].variable_a, "region");
  EXPECT_EQ((*r)[0].variable_b, "income");
  EXPECT_EQ((*r)[0].label, "region:EU/time:2024");
  EXPECT_EQ((*r)[1].label, "region:EU/time:2024");
  EXPECT_EQ((*r)[2].label, "year:2023");
  EXPECT_EQ((*r)[4].label, std::nullopt);
  EXPECT_EQ((*r)[0].samples, 10u);
  EXPECT_DOUBLE_EQ((*r)[0].cramers_v, 1.0);
  EXPECT_EQ(correlations(b.db, std::nullopt, 0)->size(), 0u);
  EXPECT_EQ(correlations(b.db, std::nullopt, 3)->size(), 3u);

  r = correlations(b.db, std::string_view("year"), 20);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 2u);  // 2023 twice; 2024 has N 0; 2025 has no joint
  EXPECT_EQ((*r)[0].label, "2023");
  EXPECT_TRUE(correlations(b.db, std::string_view("nope"), 20)->empty());
}

// ---- PAIRWISE ----

class Pairwise : public ::testing::Test {
 protected:
  void SetUp() override {
    b.continuous("income", 4, 0, 100).categorical("color", {"r", "g"});
    b.hist("income", {{"region", "c"}}, {0, 0, 0, 8}, 0, 100);
    b.hist("income", {{"region", "a"}}, {8, 0, 0, 0}, 0, 100);
    b.hist("income", {{"region", "b"}}, {4, 4, 0, 0}, 0, 100);
    b.cat("color", {{"region", "a"}}, {"r", "g"}, {1, 0});
    b.cat("color", {{"region", "b"}}, {"r", "g"}, {0, 1});
    b.cat("color", {{"region", "c"}}, {"r", "g"}, {1, 1});
  }
  DbBuilder b;
  CompareCache cache;
};

TEST_F(Pairwise, SymmetricMatrixOfJsd) {
  auto m = pairwise_matrix(b.db, cache, "region", "income", "jsd");
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(m->labels, (S{"a", "b", "c"}));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(m->values[i][i], 0.0);
    for (size_t j = 0; j < 3; ++j) EXPECT_EQ(m->values[i][j], m->values[j][i]);
  }
  auto ab = compare_distributions(b.db, cache, "income", {{"region", "a"}}, {{"region", "b"}});
  EXPECT_EQ(m->values[0][1], ab->jsd);
  EXPECT_EQ(m->values[0][2], 1.0);
  EXPECT_EQ(cache.size(), 3u);  // only the i < j comparisons were made
}

TEST_F(Pairwise, MetricWords) {
  auto m = pairwise_matrix(b.db, cache, "region", "income", "WassERstein");
  ASSERT_TRUE(m.ok());
  EXPECT_DOUBLE_EQ(m->values[0][2], 75.0);
  for (const char* word : {"wasserstein2", "wass", "psi"}) {
    m = pairwise_matrix(b.db, cache, "region", "income", word);
    EXPECT_EQ(m->values[0][2], 1.0) << word;
  }
  m = pairwise_matrix(b.db, cache, "region", "color", "wasserstein");
  EXPECT_EQ(m->values[0][1], 1.0);  // categorical: JSD
}

TEST_F(Pairwise, EmptyOneValueAndFailures) {
  auto m = pairwise_matrix(b.db, cache, "nothing", "income", "jsd");
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m->labels.empty());
  EXPECT_TRUE(m->values.empty());
  b.hist("income", {{"shop", "only"}}, {1, 0, 0, 0}, 0, 100);
  m = pairwise_matrix(b.db, cache, "shop", "nothing-at-all", "jsd");
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->values, (std::vector<std::vector<double>>{{0.0}}));

  b.cat("color", {{"region", "d"}}, {"r", "g"}, {1, 1});
  m = pairwise_matrix(b.db, cache, "region", "income", "jsd");
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().full_text(),
            "distribution not found for variable 'income' and dimensions {\"region\": \"d\"}");
}

// A dimension with very many values where the variable is missing at the
// second one: the operation fails at the first comparisons without first
// setting aside the full n x n matrix (29 GB for these 60000 values).
TEST(PairwiseLarge, FailureComesBeforeTheWholeMatrix) {
  DbBuilder b;
  b.categorical("v", {"x"}).categorical("w", {"x"});
  const size_t n = 60000;
  store::DistributionTable& list = b.db.distributions;
  list.reserve(n + 1, 1);
  for (size_t i = 0; i < n; ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "k%06zu", i);
    list.append_record(store::new_distribution_object(i + 1, "w", {{"d", value}},
                                                  model::CategoricalRepr{{"x"}, {1}, 0, 1}));
  }
  list.append_record(store::new_distribution_object(n + 1, "v", {{"d", "k000000"}},
                                                model::CategoricalRepr{{"x"}, {1}, 0, 1}));
  b.db.reset_id_order();
  CompareCache cache;
  auto m = pairwise_matrix(b.db, cache, "d", "v", "jsd");
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().full_text(),
            "distribution not found for variable 'v' and dimensions {\"d\": \"k000001\"}");
}

}  // namespace
}  // namespace quor::analytics
