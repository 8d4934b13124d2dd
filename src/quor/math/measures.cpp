#include "quor/math/measures.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "quor/math/divide.h"
#include "quor/math/log2.h"
#include "quor/math/internal/table_terms.h"
#include "quor/util/panic.h"
#include "quor/util/saturating.h"

namespace quor::math {

namespace {

constexpr double kSmoothing = 1e-10;

inline double to_f64(uint64_t v) { return static_cast<double>(v); }

inline void check_lengths(Counts p, Counts q) {
  QUOR_ASSERT(p.size() == q.size(), "vector lengths must match");
}

// Clamp to [0, 1] that lets -0.0 and NaN through.
inline double clamp_unit(double v) {
  if (v < 0.0) return 0.0;
  if (v > 1.0) return 1.0;
  return v;
}

using Margins = TableMargins;

inline uint64_t cell(const std::vector<uint64_t>& row, size_t j) {
  return j < row.size() ? row[j] : 0;
}

Margins margins(CountTable table) {
  Margins m;
  fill_margins(table, m);
  return m;
}

bool table_is_empty(CountTable table, uint64_t n) {
  return n == 0 || table.empty() || table.front().empty();
}

double mi_with_margins(CountTable table, uint64_t n, const Margins& m) {
  std::vector<double>& room = m.terms;
  room.resize(2 * (m.cells + kTermSlack));
  double* share = room.data();
  double* arg = share + m.cells + kTermSlack;
  const size_t k = mi_terms(table, n, m, share, arg);
  log2_in_place({arg, k});
  double mi = 0.0;
  for (size_t c = 0; c < k; ++c) mi = mi + share[c] * arg[c];
  return mi;
}

}  // namespace

double shannon_entropy(Counts counts, uint64_t total) {
  if (total == 0) return 0.0;
  const double t = to_f64(total);
  double h = -0.0;
  // A chunk of non-zero shares at a time, their logarithms in one call.
  constexpr size_t kChunk = 64;
  double share[kChunk];
  double log_share[kChunk];
  size_t i = 0;
  while (i < counts.size()) {
    size_t k = 0;
    for (; i < counts.size() && k < kChunk; ++i) {
      share[k] = to_f64(counts[i]) / t;
      k += counts[i] != 0;
    }
    std::copy_n(share, k, log_share);
    log2_in_place({log_share, k});
    for (size_t c = 0; c < k; ++c) h = h - log_share[c] * share[c];
  }
  return h;
}

double kl_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q) {
  check_lengths(p, q);
  if (total_p == 0 || total_q == 0) return 0.0;
  const double tp = to_f64(total_p);
  const double tq = to_f64(total_q) + to_f64(p.size()) * kSmoothing;
  double sum = -0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == 0) continue;
    const double pi = to_f64(p[i]) / tp;
    const double qi = (to_f64(q[i]) + kSmoothing) / tq;
    sum = sum + std::log2(pi / qi) * pi;
  }
  return sum;
}

double symmetric_kl_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q) {
  return kl_divergence(p, q, total_p, total_q) + kl_divergence(q, p, total_q, total_p);
}

double jensen_shannon_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q) {
  check_lengths(p, q);
  if (total_p == 0 && total_q == 0) return 0.0;
  const double tp = to_f64(total_p);
  const double tq = to_f64(total_q);
  double sp = -0.0;
  double sq = -0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    const double pi = total_p == 0 ? 0.0 : to_f64(p[i]) / tp;
    const double qi = total_q == 0 ? 0.0 : to_f64(q[i]) / tq;
    const double m = (pi + qi) * 0.5;
    if (!(m > 0.0)) continue;
    if (pi > 0.0) sp = sp + pi * std::log2(pi / m);
    if (qi > 0.0) sq = sq + qi * std::log2(qi / m);
  }
  return clamp_unit(0.5 * sp + 0.5 * sq);
}

double hellinger_distance(Counts p, Counts q, uint64_t total_p, uint64_t total_q) {
  check_lengths(p, q);
  if (total_p == 0 && total_q == 0) return 0.0;
  if (total_p == 0 || total_q == 0) return 1.0;
  const double tp = to_f64(total_p);
  const double tq = to_f64(total_q);
  double sum = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    const double d = std::sqrt(to_f64(p[i]) / tp) - std::sqrt(to_f64(q[i]) / tq);
    sum = sum + d * d;
  }
  return std::sqrt(0.5 * sum);
}

double wasserstein_distance(Counts p, Counts q, uint64_t total_p, uint64_t total_q, double low,
                            double high) {
  check_lengths(p, q);
  const size_t k = p.size();
  if (k == 0 || total_p == 0 || total_q == 0) return 0.0;
  const double tp = to_f64(total_p);
  const double tq = to_f64(total_q);
  const double step = (high - low) / to_f64(k);
  double fa = 0.0;
  double fb = 0.0;
  double w = 0.0;
  for (size_t i = 0; i < k; ++i) {
    fa = fa + to_f64(p[i]) / tp;
    fb = fb + to_f64(q[i]) / tq;
    w = w + std::fabs(fa - fb) * step;
  }
  return w;
}

double mutual_information(CountTable table, uint64_t n) {
  if (table_is_empty(table, n)) return 0.0;
  return mi_with_margins(table, n, margins(table));
}

double normalized_mutual_information(CountTable table, uint64_t n) {
  if (table_is_empty(table, n)) return 0.0;
  const Margins m = margins(table);
  const double mi = mi_with_margins(table, n, m);
  const double e = std::fmin(shannon_entropy(m.rows, n), shannon_entropy(m.cols, n));
  if (e <= 0.0) return 0.0;
  return clamp_unit(mi / e);
}

namespace {

// Cramer's V of a table that passed the guards of MI, from its margins.
double cramers_v_with_margins(CountTable table, uint64_t n, const Margins& m) {
  const size_t c = table.front().size();
  const size_t r = table.size();
  const size_t k = std::min(c - 1, r - 1);
  if (k == 0) return 0.0;
  const double total = to_f64(n);
  double chi2 = 0.0;
  for (size_t i = 0; i < r; ++i) {
    const double si = to_f64(m.rows[i]);
    for (size_t j = 0; j < c; ++j) {
      const double expected = to_f64(m.cols[j]) * si / total;
      if (!(expected > 0.0)) continue;
      const double d = to_f64(cell(table[i], j)) - expected;
      chi2 = chi2 + d * d / expected;
    }
  }
  return std::fmin(std::sqrt(chi2 / (total * to_f64(k))), 1.0);
}

}  // namespace

double cramers_v(CountTable table, uint64_t n) {
  if (table_is_empty(table, n)) return 0.0;
  return cramers_v_with_margins(table, n, margins(table));
}

TableMeasures table_measures(CountTable table, uint64_t n) {
  Margins room;
  return table_measures(table, n, room);
}

double mutual_information(CountTable table, uint64_t n, TableMargins& room) {
  if (table_is_empty(table, n)) return 0.0;
  return mi_with_margins(table, n, fill_margins(table, room));
}

TableMeasures table_measures(CountTable table, uint64_t n, TableMargins& room) {
  TableMeasures out;
  if (table_is_empty(table, n)) return out;
  const Margins& m = fill_margins(table, room);
  out.mutual_info = mi_with_margins(table, n, m);
  const double e = std::fmin(shannon_entropy(m.rows, n), shannon_entropy(m.cols, n));
  out.normalized_mi = e <= 0.0 ? 0.0 : clamp_unit(out.mutual_info / e);
  out.cramers_v = cramers_v_with_margins(table, n, m);
  return out;
}

void MutualInformationRun::add(CountTable table, uint64_t n) {
  const size_t result = results_.size();
  results_.push_back(0.0);
  if (table_is_empty(table, n)) return;
  const TableMargins& m = fill_margins(table, margins_);
  if (cell_.size() < m.cells + kTermSlack) {
    cell_.resize(m.cells + kTermSlack);
    den_.resize(m.cells + kTermSlack);
  }
  const size_t k = mi_cells(table, n, m, cell_.data(), den_.data());
  if (terms_.size() < used_ + k) terms_.resize(used_ + k);
  ratio_log_terms(cell_.data(), static_cast<double>(n), den_.data(), k, terms_.data() + used_);
  pending_[pending_count_++] = {used_, k, result};
  used_ += k;
  if (pending_count_ == kGroup) sum_group();
}

void MutualInformationRun::sum_group() {
  double sum[kGroup] = {};
  const double* term[kGroup];
  size_t shortest = pending_count_ == 0 ? 0 : pending_[0].count;
  for (size_t t = 0; t < pending_count_; ++t) {
    term[t] = terms_.data() + pending_[t].begin;
    shortest = std::min(shortest, pending_[t].count);
  }
  // A full group's sums advance together over the terms all its tables
  // have; each table then adds the rest of its own.
  size_t c = 0;
  if (pending_count_ == kGroup) {
    static_assert(kGroup == 8, "eight running sums");
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
    for (; c < shortest; ++c) {
      s0 = s0 + term[0][c];
      s1 = s1 + term[1][c];
      s2 = s2 + term[2][c];
      s3 = s3 + term[3][c];
      s4 = s4 + term[4][c];
      s5 = s5 + term[5][c];
      s6 = s6 + term[6][c];
      s7 = s7 + term[7][c];
    }
    const double together[kGroup] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::copy_n(together, kGroup, sum);
  }
  for (size_t t = 0; t < pending_count_; ++t) {
    double s = sum[t];
    for (size_t i = c; i < pending_[t].count; ++i) s = s + term[t][i];
    results_[pending_[t].result] = s;
  }
  used_ = 0;
  pending_count_ = 0;
}

const std::vector<double>& MutualInformationRun::finish() {
  if (pending_count_ > 0) sum_group();
  return results_;
}

CountRows collect_count_vectors(std::span<const model::DistributionRepr> reprs) {
  CountRows rows;
  rows.reserve(reprs.size());
  for (const auto& r : reprs) {
    if (const auto* h = std::get_if<model::HistogramRepr>(&r))
      rows.push_back(h->bin_counts);
    else
      rows.push_back(std::get<model::CategoricalRepr>(r).counts);
  }
  return rows;
}

}  // namespace quor::math
