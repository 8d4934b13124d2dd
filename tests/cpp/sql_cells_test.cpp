#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quor/sql/internal/cells.h"
#include "quor/util/float_text.h"

namespace quor::sql {
namespace {

using Rows = std::vector<std::vector<std::string>>;

using analytics::CategoryContribution;
using analytics::CompareResult;

// A comparison whose cells show rounding, a negative zero and a tiny PSI.
CompareResult compared() {
  CompareResult r;
  r.ci_low = 0.01;
  r.ci_high = 0.03;
  r.jsd = 0.0203125;
  r.kl_a_b = 0.1;
  r.kl_b_a = 0.2;
  r.entropy_a = 1.5;
  r.entropy_b = -0.0;
  r.hellinger = 0.25;
  r.psi = 1e-7;
  r.samples_a = 100;
  r.samples_b = 7;
  return r;
}

TEST(Cells, SmallTemplates) {
  EXPECT_EQ(bits_cell(-0.0), "-0.0000 bits");
  EXPECT_EQ(percent_cell(0.12345), "12.3%");
  EXPECT_EQ(percent_cell(0.0), "0.0%");
  EXPECT_EQ(samples_cell(3, 40), "3 vs 40");
  EXPECT_EQ(interval_cell(0.00005, 0.5), "[0.0001, 0.5000]");
  EXPECT_EQ(mover_cell(0.0, 0.25, 0.25, 0.0), "+0.0000  (0.250 \xE2\x86\x92 0.250)  contrib=0.0000");
  EXPECT_EQ(mover_cell(-0.125, 0.5, 0.375, 0.01), "-0.1250  (0.500 \xE2\x86\x92 0.375)  contrib=0.0100");
  EXPECT_EQ(drift_cell(0.05), "0.0500");
  EXPECT_EQ(drift_cell(0.0501), "0.0501 \xE2\x86\x90 shift");
  EXPECT_EQ(mi_strength(0.3), "moderate");
  EXPECT_EQ(mi_strength(0.3001), "strong");
  EXPECT_EQ(mi_strength(0.1), "weak");
  EXPECT_EQ(mi_strength(std::nan("")), "weak");
  EXPECT_EQ(hash_bar(18.99, 40), std::string(18, '#'));
  EXPECT_EQ(hash_bar(0.99, 40), "");
  EXPECT_EQ(hash_bar(-5.0, 40), "");
  EXPECT_EQ(hash_bar(std::nan(""), 40), "");
  EXPECT_EQ(hash_bar(40.0, 40), std::string(40, '#'));
  EXPECT_EQ(hash_bar(41.5, 40), std::string(40, '#'));
  EXPECT_EQ(hash_bar(9.3e18, 512), std::string(512, '#'));
  EXPECT_EQ(hash_bar(std::numeric_limits<double>::infinity(), 512), std::string(512, '#'));
}

TEST(Cells, MetricWordsAndTitles) {
  EXPECT_EQ(parse_metric("PSI"), Metric::Psi);
  EXPECT_EQ(parse_metric("HeLLinger"), Metric::Hellinger);
  EXPECT_EQ(parse_metric("jsd"), Metric::Jsd);
  EXPECT_EQ(parse_metric("foo"), Metric::Jsd);
  EXPECT_EQ(parse_metric("ps"), Metric::Jsd);
  EXPECT_EQ(metric_title("jsd"), "JSD");
  EXPECT_EQ(metric_title("foo"), "FOO");
  EXPECT_EQ(metric_title("ma\xC3\x9F"), "MASS");
}

TEST(Cells, CompareBetweenTable) {
  CompareResult h = compared();
  h.wasserstein = 0.5;
  QueryResult r = compare_between_table(h);
  EXPECT_EQ(r.header, (std::vector<std::string>{"Metric", "Value"}));
  EXPECT_EQ(r.rows, (Rows{
                        {"JSD", "0.020313"},
                        {"PSI", "0.000000"},
                        {"Hellinger", "0.250000"},
                        {"KL(A\xE2\x86\x92" "B)", "0.100000"},
                        {"KL(B\xE2\x86\x92" "A)", "0.200000"},
                        {"Entropy(A)", "1.5000 bits"},
                        {"Entropy(B)", "-0.0000 bits"},
                        {"Samples", "100 vs 7"},
                        {"95% CI", "[0.0100, 0.0300]"},
                        {"Wasserstein", "0.500000"},
                    }));

  CompareResult c = compared();
  for (int i = 0; i < 12; ++i) c.contributions.push_back({.category = "c" + std::to_string(i), .p_a = 0.25, .p_b = 0.25});
  Rows rows = compare_between_table(c).rows;
  ASSERT_EQ(rows.size(), 9u + 2u + 10u);
  EXPECT_EQ(rows[9], (std::vector<std::string>{"", ""}));
  EXPECT_EQ(rows[10], (std::vector<std::string>{"--- Top Movers ---", ""}));
  EXPECT_EQ(rows[11], (std::vector<std::string>{"c0", "+0.0000  (0.250 \xE2\x86\x92 0.250)  contrib=0.0000"}));
  EXPECT_EQ(rows[20][0], "c9");
  c.contributions.resize(3);
  EXPECT_EQ(compare_between_table(c).rows.size(), 14u);
  EXPECT_EQ(compare_between_table(compared()).rows.size(), 9u);
}

TEST(Cells, AcrossRowsSortByPrintedJsd) {
  const CompareResult c = compared();
  Rows rows = {
      across_row("a", "b", c),           // 0.020313
      across_failed_row("a", "c"),       // counts as 0
      {"a", "d", "-0.000000", "", "", ""},
      {"b", "c", "0.020313", "", "", ""},  // equal printed value: keeps pair order
      {"b", "d", "NaN", "", "", ""},
      {"c", "d", "0.000000", "", "", ""},
      {"c", "e", "0.5", "", "", ""},
  };
  EXPECT_EQ(rows[0], (std::vector<std::string>{"a", "b", "0.020313", "0.250000", "0.000000", "100 vs 7"}));
  sort_across_rows(rows);
  std::vector<std::string> order;
  for (const auto& r : rows) order.push_back(r[0] + r[1]);
  EXPECT_EQ(order, (std::vector<std::string>{"bd", "ce", "ab", "bc", "ac", "cd", "ad"}));
  EXPECT_EQ(across_header(), (std::vector<std::string>{"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"}));
}

// The writer of the pair statements against util::format_fixed, and its
// sort keys against reading the written text back, over random doubles of
// every magnitude, exact ties at 6 decimals, signed zeros and non-finite
// values.
TEST(Cells, NumberWriterMatchesTheFormatterAndItsReading) {
  std::mt19937_64 rng(11);
  std::vector<double> values = {0.0, -0.0, 0.5, 1.0, 0.0000005, 0.0000015, 0.0000025, -0.0000005,
                                1e-300, 123456789.1234565, 999999999.9999995, 9999999999.5,
                                1e15, 1e300, -1e300, std::nan(""), -std::nan(""),
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::denorm_min()};
  for (int i = 0; i < 100000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);                                       // any bit pattern
    values.push_back(static_cast<double>(rng() % 2000001) / 1e6 - 1.0);  // near 6-decimal texts
    values.push_back(std::ldexp(static_cast<double>(rng() >> 11), -53));  // [0, 1)
    values.push_back(static_cast<double>(rng() % 100000000) / 8.0e6);     // near ties
    // Exact binary ties: odd multiples of 2^-k are halfway at k decimals.
    values.push_back(static_cast<double>(2 * (rng() % 1000000) + 1) / double(1ULL << (1 + i % 12)));
  }
  NumberWriter w;
  for (double v : values) {
    for (int decimals : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12}) {
      const std::string text = util::format_fixed(v, decimals);
      ASSERT_EQ(w.fixed(v, decimals), text) << v;
      const double key = w.fixed_value(v, decimals);
      const double read = util::parse_float(text).value();
      ASSERT_EQ(std::memcmp(&key, &read, sizeof key), 0) << text;
    }
  }
  EXPECT_EQ(w.samples_cell(0, UINT64_MAX), "0 vs 18446744073709551615");
  EXPECT_EQ(w.samples_cell(12, 3), samples_cell(12, 3));
}

TEST(Cells, AcrossKeysSortLikeTheReadCells) {
  std::mt19937_64 rng(12);
  NumberWriter w;
  const double specials[] = {0.0, -0.0, std::nan(""), 1.0, 0.5, 0.0000004, 0.0000006};
  for (int round = 0; round < 50; ++round) {
    Rows rows;
    std::vector<double> keys;
    for (int i = 0; i < 300; ++i) {
      const std::string a = std::to_string(i);
      if (rng() % 10 == 0) {
        rows.push_back(across_failed_row(a, "x"));
        keys.push_back(0.0);
        continue;
      }
      CompareResult c = compared();
      // Few distinct printed values, so that ties are common.
      c.jsd = rng() % 8 == 0 ? specials[rng() % 7] : static_cast<double>(rng() % 50) / 3e5;
      double key = -1.0;
      rows.push_back(across_row(a, "x", c, w, &key));
      keys.push_back(key);
    }
    Rows by_text = rows;
    sort_across_rows(by_text);
    sort_across_rows(rows, keys);
    ASSERT_EQ(rows, by_text);
  }
}

TEST(Cells, ExplainTable) {
  analytics::ExplainResult e;
  e.total_jsd = 0.3;
  e.entries = {{.variable = "plan", .contributions = {}, .jsd = 0.2, .fraction = 2.0 / 3.0,
                .entropy_a = 1.0, .entropy_b = 1.25},
               {.variable = "income", .contributions = {}, .jsd = 0.1, .fraction = 1.0 / 3.0,
                .entropy_a = 2.0, .entropy_b = 2.0}};
  for (int i = 0; i < 7; ++i)
    e.entries[0].contributions.push_back(
        {.category = "k" + std::to_string(i), .p_a = 0.5, .p_b = 0.45, .delta = -0.05, .contribution = 0.001});
  QueryResult r = explain_table(e);
  EXPECT_EQ(r.header, (std::vector<std::string>{"Variable", "JSD", "Fraction", "H(A)", "H(B)"}));
  ASSERT_EQ(r.rows.size(), 1u + 1u + 5u + 1u);
  EXPECT_EQ(r.rows[0], (std::vector<std::string>{"TOTAL", "0.300000", "100.0%", "", ""}));
  EXPECT_EQ(r.rows[1], (std::vector<std::string>{"plan", "0.200000", "66.7%", "1.0000", "1.2500"}));
  EXPECT_EQ(r.rows[2], (std::vector<std::string>{"  k0", "-0.0500", "contrib=0.0010", "", ""}));
  EXPECT_EQ(r.rows[7], (std::vector<std::string>{"income", "0.100000", "33.3%", "2.0000", "2.0000"}));
}

TEST(Cells, TrackTable) {
  analytics::TrackResult t;
  t.time_labels = {"2020", "2021", "2022"};
  t.entropies = {1.0, 1.5, 2.0};
  t.drifts = {0.05, 0.0501};
  QueryResult r = track_table(t);
  EXPECT_EQ(r.header, (std::vector<std::string>{"Time", "Entropy", "Drift (JSD)"}));
  EXPECT_EQ(r.rows, (Rows{{"2020", "1.0000", "0.0500"},
                          {"2021", "1.5000", "0.0501 \xE2\x86\x90 shift"},
                          {"2022", "2.0000", "0.0000"}}));
  analytics::DriftAlert alert;
  alert.from = "2021";
  alert.to = "2022";
  alert.drift = 0.0501;
  alert.message = "drift detected";
  t.alerts.push_back(alert);
  Rows rows = track_table(t).rows;
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[3], (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(rows[4], (std::vector<std::string>{"2021 \xE2\x86\x92 2022", "JSD=0.0501", "drift detected"}));
}

TEST(Cells, AssociationTables) {
  EXPECT_EQ(mi_table(0.3, JointStrength{0.5, 0.25, 40}).rows, (Rows{{"MI", "0.3000 bits"},
                                               {"NMI", "0.5000"},
                                               {"Cram\xC3\xA9r's V", "0.2500"},
                                               {"Samples", "40"},
                                               {"Strength", "moderate"}}));
  EXPECT_EQ(mi_table(0.31, std::nullopt).rows, (Rows{{"MI", "0.3100 bits"}, {"Strength", "strong"}}));

  analytics::CmiResult cmi;
  cmi.cmi = 0.125;
  cmi.total_samples = 90;
  cmi.strata = {{.value = "a", .mutual_info = 0.5, .normalized_mi = 0.25, .samples = 30},
                {.value = "b", .samples = 60}};
  QueryResult c = cmi_table("region", cmi);
  EXPECT_EQ(c.header, (std::vector<std::string>{"region", "MI", "NMI", "Samples"}));
  EXPECT_EQ(c.rows, (Rows{{"CMI", "0.1250 bits", "", ""},
                          {"Total samples", "90", "", ""},
                          {"", "", "", ""},
                          {"a", "0.5000", "25.0%", "30"},
                          {"b", "0.0000", "0.0%", "60"}}));

  const std::vector<analytics::CorrelationRow> corr = {
      {.variable_a = "a", .variable_b = "b", .label = std::nullopt, .mutual_info = 0.5, .normalized_mi = 0.4,
       .cramers_v = 0.3, .samples = 10},
      {.variable_a = "a", .variable_b = "c", .label = "region:x"}};
  QueryResult k = correlations_table(corr);
  EXPECT_EQ(k.header, (std::vector<std::string>{"Pair", "Dim", "MI", "NMI", "Cram\xC3\xA9r's V", "Samples"}));
  EXPECT_EQ(k.rows, (Rows{{"a \xC3\x97 b", "all", "0.5000", "40.0%", "0.3000", "10"},
                          {"a \xC3\x97 c", "region:x", "0.0000", "0.0%", "0.0000", "0"}}));

  analytics::PairwiseMatrix m;
  m.labels = {"a", "b"};
  m.values = {{0.0, 0.125}, {0.125, 0.0}};
  QueryResult p = pairwise_table(m);
  EXPECT_EQ(p.header, (std::vector<std::string>{"", "a", "b"}));
  EXPECT_EQ(p.rows, (Rows{{"a", "\xE2\x80\x94", "0.1250"}, {"b", "0.1250", "\xE2\x80\x94"}}));
  QueryResult empty = pairwise_table(analytics::PairwiseMatrix{});
  EXPECT_EQ(empty.header, (std::vector<std::string>{""}));
  EXPECT_TRUE(empty.rows.empty());
}

}  // namespace
}  // namespace quor::sql
