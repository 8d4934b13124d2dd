#include "quor/sql/cells.h"

#include <algorithm>
#include <cmath>

#include "quor/util/utf8.h"

namespace quor::sql {

std::string hash_bar(double length, size_t max_marks) {
  if (!(length >= 1.0)) return {};
  double t = std::trunc(length);
  size_t n = t >= static_cast<double>(max_marks) ? max_marks : static_cast<size_t>(t);
  return std::string(n, '#');
}

std::string bits_cell(double bits) { return util::format_fixed(bits, 4) + " bits"; }

std::string percent_cell(double fraction) { return util::format_fixed(fraction * 100.0, 1) + "%"; }

std::string samples_cell(uint64_t a, uint64_t b) {
  return std::to_string(a) + " vs " + std::to_string(b);
}

std::string interval_cell(double low, double high) {
  return "[" + util::format_fixed(low, 4) + ", " + util::format_fixed(high, 4) + "]";
}

std::string mover_cell(double delta, double p_a, double p_b, double contribution) {
  return util::format_signed_fixed(delta, 4) + "  (" + util::format_fixed(p_a, 3) +
         " \xE2\x86\x92 " + util::format_fixed(p_b, 3) + ")  contrib=" +
         util::format_fixed(contribution, 4);
}

std::string drift_cell(double drift) {
  std::string cell = util::format_fixed(drift, 4);
  if (drift > 0.05) cell += " \xE2\x86\x90 shift";
  return cell;
}

std::string_view mi_strength(double mi_bits) {
  if (mi_bits > 0.3) return "strong";
  if (mi_bits > 0.1) return "moderate";
  return "weak";
}

Metric parse_metric(std::string_view word) {
  auto equals = [&](std::string_view lower) {
    if (word.size() != lower.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      char c = word[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != lower[i]) return false;
    }
    return true;
  };
  if (equals("psi")) return Metric::Psi;
  if (equals("hellinger")) return Metric::Hellinger;
  return Metric::Jsd;
}

std::string metric_title(std::string_view word) { return util::to_upper_full(word); }

std::vector<std::string> across_failed_row(const std::string& a, const std::string& b) {
  return {a, b, "N/A", "N/A", "N/A", "N/A"};
}

void sort_across_rows(std::vector<std::vector<std::string>>& rows) {
  std::vector<std::pair<double, size_t>> keys;
  keys.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    double v = 0.0;
    if (rows[i].size() > 2)
      if (auto parsed = util::parse_float(rows[i][2])) v = *parsed;
    keys.emplace_back(v, i);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const auto& x, const auto& y) {
    return util::total_order_less(y.first, x.first);
  });
  std::vector<std::vector<std::string>> sorted;
  sorted.reserve(rows.size());
  for (const auto& k : keys) sorted.push_back(std::move(rows[k.second]));
  rows = std::move(sorted);
}

QueryResult mi_table(double mi_bits, const std::pair<double, double>* nmi_cramers,
                     uint64_t joint_total) {
  QueryResult q;
  q.header = {"Metric", "Value"};
  q.rows.push_back({"MI", bits_cell(mi_bits)});
  if (nmi_cramers != nullptr) {
    q.rows.push_back({"NMI", util::format_fixed(nmi_cramers->first, 4)});
    q.rows.push_back({"Cram\xC3\xA9r's V", util::format_fixed(nmi_cramers->second, 4)});
    q.rows.push_back({"Samples", std::to_string(joint_total)});
  }
  q.rows.push_back({"Strength", std::string(mi_strength(mi_bits))});
  return q;
}

}  // namespace quor::sql
