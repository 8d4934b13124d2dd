// Cell texts shared by the statement runners, and the tables of the analytic
// statements built from the analytics' results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/analytics/compare_result.h"
#include "quor/analytics/correlations.h"
#include "quor/analytics/explain.h"
#include "quor/analytics/mutual_info.h"
#include "quor/analytics/pairwise.h"
#include "quor/analytics/track.h"
#include "quor/sql/query_result.h"
#include "quor/util/format.h"

namespace quor::sql {

// "#" repeated `length` times, truncated toward zero, at most `max_marks`;
// none for NaN or values below 1.
std::string hash_bar(double length, size_t max_marks);

// The longest bars consistent counts can draw: 40 marks at p = 1, and 8
// marks per bit up to the 64 bits of a table of 2^64 counts.
inline constexpr size_t kProbabilityBarMarks = 40;
inline constexpr size_t kEntropyBarMarks = 512;
// SHOW's bar of a probability: p·40 marks. A damaged file's count above its
// total (p > 1, up to infinity) draws the full 40.
std::string probability_bar(double p);
// RANK's bar of an entropy: bits·8 marks. A damaged file's entropy above 64
// bits (up to infinity) draws the full 512.
std::string entropy_bar(double bits);

// "{:.4} bits"
std::string bits_cell(double bits);
// "{:.1}%" of fraction x 100
std::string percent_cell(double fraction);
// "{} vs {}"
std::string samples_cell(uint64_t a, uint64_t b);
// "[{:.4}, {:.4}]"
std::string interval_cell(double low, double high);
// "{:+.4}  ({:.3} → {:.3})  contrib={:.4}" of delta, p_a, p_b, contribution
std::string mover_cell(double delta, double p_a, double p_b, double contribution);
// "{:.4}{}" of a drift and " ← shift" when it is above 0.05.
std::string drift_cell(double drift);
// "strong" above 0.3 bits, "moderate" above 0.1, else (NaN too) "weak".
std::string_view mi_strength(double mi_bits);

// The distance a NEAREST or PAIRWISE metric word selects: "psi" and
// "hellinger" in any ASCII letter case, anything else JSD.
enum class Metric { Jsd, Psi, Hellinger };
Metric parse_metric(std::string_view word);
// The metric's column title: the word as written, fully upper-cased.
std::string metric_title(std::string_view word);

// Fixed-point texts of util::format_fixed, written into one buffer that is
// reused for every cell (a cell string of up to 15 bytes then needs no
// allocation at all). Up to 9 decimals and below 2^52 units, the value is
// rounded to an integer count of units exactly (ties to even) and its
// digits written with to_chars; beyond that to_chars formats the double
// itself. Both give util::format_fixed's text to the byte.
class NumberWriter {
 public:
  // The text of util::format_fixed(value, decimals), valid until the next
  // call on this writer.
  std::string_view fixed(double value, int decimals);
  std::string fixed_cell(double value, int decimals) { return std::string(fixed(value, decimals)); }
  // The value the text of fixed(value, decimals) reads back as through
  // util::parse_float, computed from the units written.
  double fixed_value(double value, int decimals);
  // The same for `last`, the text the last call of fixed() returned.
  double read_back(std::string_view last) const;
  // "{} vs {}"
  std::string samples_cell(uint64_t a, uint64_t b);

 private:
  char buf_[360];
  std::optional<double> last_read_;  // what the last text reads as, when known
};

// A COMPARE ... ACROSS row whose comparison failed.
std::vector<std::string> across_failed_row(const std::string& a, const std::string& b);
// Stable sort by the third cell read as a float, descending in total order;
// a cell that reads as no number counts as 0.0.
void sort_across_rows(std::vector<std::vector<std::string>>& rows);
// The same order from keys computed when the rows were written: keys[i] is
// the value row i's third cell (six decimals) reads as (0.0 for "N/A").
void sort_across_rows(std::vector<std::vector<std::string>>& rows, const std::vector<double>& keys);

// ---- tables of the analytic statements ----

// COMPARE v BETWEEN ...: the measures, then the top 10 movers.
inline QueryResult compare_between_table(const analytics::CompareResult& r) {
  using util::format_fixed;
  QueryResult q;
  q.header = {"Metric", "Value"};
  q.rows = {
      {"JSD", format_fixed(r.jsd, 6)},
      {"PSI", format_fixed(r.psi, 6)},
      {"Hellinger", format_fixed(r.hellinger, 6)},
      {"KL(A\xE2\x86\x92" "B)", format_fixed(r.kl_a_b, 6)},
      {"KL(B\xE2\x86\x92" "A)", format_fixed(r.kl_b_a, 6)},
      {"Entropy(A)", bits_cell(r.entropy_a)},
      {"Entropy(B)", bits_cell(r.entropy_b)},
      {"Samples", samples_cell(r.samples_a, r.samples_b)},
      {"95% CI", interval_cell(r.ci_low, r.ci_high)},
  };
  if (r.wasserstein) q.rows.push_back({"Wasserstein", format_fixed(*r.wasserstein, 6)});
  if (!r.contributions.empty()) {
    q.rows.push_back({"", ""});
    q.rows.push_back({"--- Top Movers ---", ""});
    size_t n = 0;
    for (const auto& c : r.contributions) {
      if (n++ == 10) break;
      q.rows.push_back({c.category, mover_cell(c.delta, c.p_a, c.p_b, c.contribution)});
    }
  }
  return q;
}

// One COMPARE ... ACROSS row of a successful comparison.
// `key`, when given, receives the value the JSD cell reads as (the row's
// sort key).
inline std::vector<std::string> across_row(const std::string& a, const std::string& b,
                                           const analytics::CompareResult& r, NumberWriter& w,
                                           double* key = nullptr) {
  // Built in place: a braced list would copy every cell once more.
  std::vector<std::string> row;
  row.reserve(6);
  row.push_back(a);
  row.push_back(b);
  const std::string_view jsd = w.fixed(r.jsd, 6);
  row.emplace_back(jsd);
  if (key != nullptr) *key = w.read_back(jsd);
  row.emplace_back(w.fixed(r.hellinger, 6));
  row.emplace_back(w.fixed(r.psi, 6));
  row.push_back(w.samples_cell(r.samples_a, r.samples_b));
  return row;
}
inline std::vector<std::string> across_row(const std::string& a, const std::string& b,
                                           const analytics::CompareResult& r) {
  NumberWriter w;
  return across_row(a, b, r, w);
}

inline std::vector<std::string> across_header() {
  return {"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"};
}

// EXPLAIN: the total, then each variable with its first five movers.
inline QueryResult explain_table(const analytics::ExplainResult& e) {
  using util::format_fixed;
  QueryResult q;
  q.header = {"Variable", "JSD", "Fraction", "H(A)", "H(B)"};
  q.rows.push_back({"TOTAL", format_fixed(e.total_jsd, 6), "100.0%", "", ""});
  for (const auto& entry : e.entries) {
    q.rows.push_back({entry.variable, format_fixed(entry.jsd, 6), percent_cell(entry.fraction),
                      format_fixed(entry.entropy_a, 4), format_fixed(entry.entropy_b, 4)});
    size_t n = 0;
    for (const auto& c : entry.contributions) {
      if (n++ == 5) break;
      q.rows.push_back({"  " + c.category, util::format_signed_fixed(c.delta, 4),
                        "contrib=" + format_fixed(c.contribution, 4), "", ""});
    }
  }
  return q;
}

// TRACK: each time label with its entropy and the drift to the next (0 for
// the last), then the alerts.
inline QueryResult track_table(const analytics::TrackResult& t) {
  QueryResult q;
  q.header = {"Time", "Entropy", "Drift (JSD)"};
  for (size_t i = 0; i < t.time_labels.size(); ++i) {
    double entropy = i < t.entropies.size() ? t.entropies[i] : 0.0;
    double drift = i < t.drifts.size() ? t.drifts[i] : 0.0;
    q.rows.push_back({t.time_labels[i], util::format_fixed(entropy, 4), drift_cell(drift)});
  }
  if (!t.alerts.empty()) {
    q.rows.push_back({"", "", ""});
    for (const auto& a : t.alerts)
      q.rows.push_back({a.from + " \xE2\x86\x92 " + a.to, "JSD=" + util::format_fixed(a.drift, 4),
                        a.message});
  }
  return q;
}

// What an MI result shows of the joint distribution it was computed from.
struct JointStrength {
  double normalized_mi = 0.0;
  double cramers_v = 0.0;
  uint64_t samples = 0;  // the joint's total
};

// MI: the mutual information, then NMI, Cramér's V and the joint's total
// when a joint was found, then the strength.
QueryResult mi_table(double mi_bits, const std::optional<JointStrength>& joint);

// CMI: the total and the sample count, then one row per stratum, under the
// GIVEN dimension's name.
inline QueryResult cmi_table(const std::string& given, const analytics::CmiResult& c) {
  QueryResult q;
  q.header = {given, "MI", "NMI", "Samples"};
  q.rows.push_back({"CMI", bits_cell(c.cmi), "", ""});
  q.rows.push_back({"Total samples", std::to_string(c.total_samples), "", ""});
  q.rows.push_back({"", "", "", ""});
  for (const auto& s : c.strata)
    q.rows.push_back({s.value, util::format_fixed(s.mutual_info, 4), percent_cell(s.normalized_mi),
                      std::to_string(s.samples)});
  return q;
}

// CORRELATIONS: one row per measured joint; "all" where it has no label.
inline QueryResult correlations_table(const std::vector<analytics::CorrelationRow>& rows) {
  QueryResult q;
  q.header = {"Pair", "Dim", "MI", "NMI", "Cram\xC3\xA9r's V", "Samples"};
  for (const auto& r : rows)
    q.rows.push_back({r.variable_a + " \xC3\x97 " + r.variable_b,
                      r.label ? std::string(*r.label) : std::string("all"),
                      util::format_fixed(r.mutual_info, 4), percent_cell(r.normalized_mi),
                      util::format_fixed(r.cramers_v, 4), std::to_string(r.samples)});
  return q;
}

// PAIRWISE: the labels and the square of values; "—" on the diagonal.
inline QueryResult pairwise_table(const analytics::PairwiseMatrix& m) {
  NumberWriter w;
  QueryResult q;
  q.header.reserve(m.labels.size() + 1);
  q.rows.reserve(m.labels.size());
  q.header.push_back("");
  for (const auto& l : m.labels) q.header.push_back(l);
  for (size_t j = 0; j < m.labels.size(); ++j) {
    std::vector<std::string> row;
    row.reserve(m.labels.size() + 1);
    row.push_back(m.labels[j]);
    for (size_t k = 0; k < m.labels.size(); ++k) {
      if (k == j) {
        row.push_back("\xE2\x80\x94");
      } else {
        bool present = j < m.values.size() && k < m.values[j].size();
        row.push_back(present ? w.fixed_cell(m.values[j][k], 4) : std::string());
      }
    }
    q.rows.push_back(std::move(row));
  }
  return q;
}

}  // namespace quor::sql
