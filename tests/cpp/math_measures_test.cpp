#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "quor/math/measures.h"
#include "quor/math/internal/table_terms.h"
#include "quor/util/panic.h"
#include "quor/util/saturating.h"
#include "quor/util/total_order.h"

namespace quor::math {
namespace {

using V = std::vector<uint64_t>;

using util::same_bits;
bool is_neg_zero(double v) { return v == 0.0 && std::signbit(v); }
bool is_pos_zero(double v) { return v == 0.0 && !std::signbit(v); }

TEST(Entropy, SharesAndSignOfZero) {
  EXPECT_EQ(shannon_entropy(V{5, 5}, 10), 1.0);
  EXPECT_EQ(shannon_entropy(V{5, 5}, 20), 1.0);  // half the mass has no entry
  EXPECT_TRUE(is_neg_zero(shannon_entropy(V{10, 0}, 10)));
  EXPECT_TRUE(is_neg_zero(shannon_entropy(V{0, 0}, 4)));
  EXPECT_TRUE(is_pos_zero(shannon_entropy(V{3, 4}, 0)));
  EXPECT_TRUE(is_pos_zero(shannon_entropy(V{}, 0)));
  EXPECT_DOUBLE_EQ(shannon_entropy(V{1, 1, 1, 1}, 4), 2.0);
}

// The margin entropies inside normalized MI, and the entropy the store keeps
// on every distribution, once had loops of their own that multiplied p by
// log2 p in the other order. The product is commutative, so the one loop must
// give the same bits; random vectors check that, totals above the sum too.
TEST(Entropy, SameBitsAsTheOtherOperandOrder) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 500; ++round) {
    V counts(1 + rng() % 40);
    uint64_t sum = 0;
    for (auto& c : counts) {
      c = rng() % 3 == 0 ? 0 : rng() % (round % 2 ? 1000000 : 9);
      sum += c;
    }
    const uint64_t total = sum + (round % 3 == 0 ? rng() % 50 : 0);
    if (total == 0) continue;
    double other = -0.0;
    for (uint64_t c : counts) {
      if (c == 0) continue;
      const double p = static_cast<double>(c) / static_cast<double>(total);
      other = other - p * std::log2(p);
    }
    const double got = shannon_entropy(counts, total);
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(other)) << "round " << round;
  }
}

TEST(KlDivergence, GuardsAndSmoothing) {
  EXPECT_TRUE(is_pos_zero(kl_divergence(V{1, 2}, V{3, 4}, 0, 7)));
  EXPECT_TRUE(is_pos_zero(kl_divergence(V{1, 2}, V{3, 4}, 3, 0)));
  EXPECT_TRUE(is_neg_zero(kl_divergence(V{0, 0}, V{3, 4}, 5, 7)));
  // Mass of P where Q has none: large but finite.
  const double kl = kl_divergence(V{1, 1}, V{2, 0}, 2, 2);
  EXPECT_TRUE(std::isfinite(kl));
  EXPECT_GT(kl, 10.0);
  // 0.5 log2(0.5 / q0) + 0.5 log2(0.5 / q1) with the smoothed divisor shares.
  const double d = 2.0 + 2e-10;
  const double expect = std::log2(0.5 / ((2.0 + 1e-10) / d)) * 0.5 + std::log2(0.5 / (1e-10 / d)) * 0.5;
  EXPECT_EQ(kl, -0.0 + expect);
}

TEST(Psi, IsTheSumOfBothKlDirections) {
  const V a{3, 0, 7, 1}, b{1, 5, 2, 2};
  EXPECT_EQ(symmetric_kl_divergence(a, b, 11, 10),
            kl_divergence(a, b, 11, 10) + kl_divergence(b, a, 10, 11));
  EXPECT_TRUE(is_pos_zero(symmetric_kl_divergence(a, b, 0, 10)));
}

TEST(Jsd, EdgeValues) {
  EXPECT_EQ(jensen_shannon_divergence(V{4, 6}, V{4, 6}, 10, 10), 0.0);
  EXPECT_EQ(jensen_shannon_divergence(V{4, 0}, V{0, 6}, 4, 6), 1.0);
  EXPECT_TRUE(is_pos_zero(jensen_shannon_divergence(V{0, 0}, V{0, 0}, 0, 0)));
  EXPECT_EQ(jensen_shannon_divergence(V{0, 0}, V{2, 6}, 0, 8), 0.5);
  EXPECT_EQ(jensen_shannon_divergence(V{0, 0}, V{2, 6}, 0, 16), 0.25);  // half listed
  EXPECT_TRUE(is_neg_zero(jensen_shannon_divergence(V{0, 0}, V{0, 0}, 3, 5)));
}

TEST(Hellinger, EdgeValues) {
  EXPECT_EQ(hellinger_distance(V{1, 3}, V{2, 6}, 4, 8), 0.0);
  EXPECT_DOUBLE_EQ(hellinger_distance(V{5, 0}, V{0, 5}, 5, 5), 1.0);
  EXPECT_EQ(hellinger_distance(V{0}, V{0}, 0, 0), 0.0);
  EXPECT_EQ(hellinger_distance(V{1}, V{0}, 1, 0), 1.0);
  EXPECT_EQ(hellinger_distance(V{0}, V{1}, 0, 1), 1.0);
}

TEST(Wasserstein, GridDistances) {
  EXPECT_EQ(wasserstein_distance(V{1, 2, 3}, V{2, 4, 6}, 6, 12, 0.0, 30.0), 0.0);
  // All mass in the first bin against all in the last: (k - 1)(hi - lo)/k.
  EXPECT_DOUBLE_EQ(wasserstein_distance(V{9, 0, 0, 0}, V{0, 0, 0, 9}, 9, 9, 0.0, 8.0), 6.0);
  EXPECT_EQ(wasserstein_distance(V{}, V{}, 1, 1, 0.0, 1.0), 0.0);
  EXPECT_EQ(wasserstein_distance(V{1}, V{1}, 0, 1, 0.0, 1.0), 0.0);
}

TEST(VectorMeasures, UnequalLengthsAreAProgrammingError) {
  const V a{1, 2}, b{1};
  for (auto f : {kl_divergence, jensen_shannon_divergence, hellinger_distance,
                 symmetric_kl_divergence}) {
    try {
      f(a, b, 3, 1);
      ADD_FAILURE() << "no panic";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message, "vector lengths must match");
    }
  }
  EXPECT_THROW(wasserstein_distance(a, b, 3, 1, 0, 1), Panic);
}

TEST(TableMeasures, GuardsGiveZero) {
  const CountRows none;
  const CountRows empty_row{{}};
  const CountRows one_row{{3, 4, 5}};
  const CountRows one_col{{3}, {4}};
  const CountRows t{{1, 2}, {3, 4}};
  for (auto f : {mutual_information, normalized_mutual_information, cramers_v}) {
    EXPECT_EQ(f(none, 10), 0.0);
    EXPECT_EQ(f(empty_row, 10), 0.0);
    EXPECT_EQ(f(t, 0), 0.0);
  }
  EXPECT_EQ(normalized_mutual_information(one_row, 12), 0.0);
  EXPECT_EQ(normalized_mutual_information(one_col, 7), 0.0);
  EXPECT_EQ(cramers_v(one_row, 12), 0.0);
  EXPECT_EQ(cramers_v(one_col, 7), 0.0);
}

TEST(TableMeasures, IndependentAndPerfectlyDependentTables) {
  // n_ij = s_i t_j / N exactly.
  const CountRows independent{{2, 4, 6}, {4, 8, 12}};
  EXPECT_NEAR(mutual_information(independent, 36), 0.0, 1e-15);
  EXPECT_NEAR(cramers_v(independent, 36), 0.0, 1e-15);
  const CountRows diagonal{{5, 0}, {0, 5}};
  EXPECT_DOUBLE_EQ(mutual_information(diagonal, 10), 1.0);
  EXPECT_DOUBLE_EQ(normalized_mutual_information(diagonal, 10), 1.0);
  EXPECT_DOUBLE_EQ(cramers_v(diagonal, 10), 1.0);
  // A total above the cell sum lowers every share and is used unchanged.
  const CountRows t{{6, 2}, {2, 6}};
  const double big = 2 * (6.0 / 32) * std::log2((6.0 / 32) / (0.25 * 0.25)) +
                     2 * (2.0 / 32) * std::log2((2.0 / 32) / (0.25 * 0.25));
  EXPECT_NEAR(mutual_information(t, 32), big, 1e-15);
  EXPECT_GT(std::fabs(mutual_information(t, 32) - mutual_information(t, 16)), 0.1);
  EXPECT_LE(cramers_v(CountRows{{100, 0}, {0, 1}}, 2), 1.0);
}

TEST(TableMeasures, RaggedRowsReadAsZeros) {
  // The second row is short: its missing cell counts 0; a long row's extra
  // cell is outside the table.
  EXPECT_EQ(mutual_information(CountRows{{5, 0}, {0}}, 5), mutual_information(CountRows{{5, 0}, {0, 0}}, 5));
  EXPECT_EQ(cramers_v(CountRows{{5, 1}, {1, 5, 99}}, 12), cramers_v(CountRows{{5, 1}, {1, 5}}, 12));
}

TEST(CollectCountVectors, RowsPerRepresentation) {
  std::vector<model::DistributionRepr> reprs{
      model::HistogramRepr{0, 1, {1, 2, 3}, 6},
      model::CategoricalRepr{{"a", "b"}, {4, 5}, 7, 16},
  };
  EXPECT_EQ(collect_count_vectors(reprs), (CountRows{{1, 2, 3}, {4, 5}}));
}

// ---- against a plain reference implementation on random vectors ----

struct Plain {
  static double entropy(const V& c, uint64_t n) {
    if (n == 0) return 0;
    double h = 0;
    for (auto x : c)
      if (x) h += -(double(x) / n) * std::log2(double(x) / n);
    return h;
  }
  static double kl(const V& a, const V& b, uint64_t na, uint64_t nb) {
    if (!na || !nb) return 0;
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!a[i]) continue;
      double p = double(a[i]) / na;
      double q = (double(b[i]) + 1e-10) / (double(nb) + a.size() * 1e-10);
      s += p * std::log2(p / q);
    }
    return s;
  }
  static double jsd(const V& a, const V& b, uint64_t na, uint64_t nb) {
    if (!na && !nb) return 0;
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      double p = na ? double(a[i]) / na : 0, q = nb ? double(b[i]) / nb : 0, m = (p + q) / 2;
      if (p > 0) s += 0.5 * p * std::log2(p / m);
      if (q > 0) s += 0.5 * q * std::log2(q / m);
    }
    return std::clamp(s, 0.0, 1.0);
  }
  static double hellinger(const V& a, const V& b, uint64_t na, uint64_t nb) {
    if (!na && !nb) return 0;
    if (!na || !nb) return 1;
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i)
      s += std::pow(std::sqrt(double(a[i]) / na) - std::sqrt(double(b[i]) / nb), 2);
    return std::sqrt(s / 2);
  }
};

TEST(MeasuresProperty, AgreeWithPlainFormulasOnRandomVectors) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 2000; ++round) {
    const size_t k = 1 + rng() % 12;
    V a(k), b(k);
    uint64_t sa = 0, sb = 0;
    for (size_t i = 0; i < k; ++i) {
      a[i] = rng() % 3 == 0 ? 0 : rng() % 1000;
      b[i] = rng() % 3 == 0 ? 0 : rng() % 1000;
      sa += a[i];
      sb += b[i];
    }
    // Sometimes extra mass outside the entries, sometimes an empty side.
    const uint64_t na = round % 7 == 0 ? 0 : sa + (round % 3 == 0 ? rng() % 50 : 0);
    const uint64_t nb = round % 11 == 0 ? 0 : sb + (round % 5 == 0 ? rng() % 50 : 0);
    SCOPED_TRACE(testing::Message() << "round " << round);

    const double tol = 1e-9;
    EXPECT_NEAR(shannon_entropy(a, na), Plain::entropy(a, na), tol);
    EXPECT_NEAR(kl_divergence(a, b, na, nb), Plain::kl(a, b, na, nb), 1e-7);
    const double j = jensen_shannon_divergence(a, b, na, nb);
    EXPECT_NEAR(j, Plain::jsd(a, b, na, nb), tol);
    EXPECT_GE(j, 0.0);
    EXPECT_LE(j, 1.0);
    EXPECT_EQ(j, jensen_shannon_divergence(b, a, nb, na));
    const double h = hellinger_distance(a, b, na, nb);
    EXPECT_NEAR(h, Plain::hellinger(a, b, na, nb), tol);
    EXPECT_EQ(h, hellinger_distance(b, a, nb, na));
    EXPECT_EQ(symmetric_kl_divergence(a, b, na, nb),
              kl_divergence(a, b, na, nb) + kl_divergence(b, a, nb, na));
  }
}

// Tables of every shape the measures meet: guards, short and long rows, N
// below and above the cell sum, tables wide enough for the four-lane steps,
// counts from 2^52 up (past what the lanes convert) and sums that reach
// 2^64 - 1 and stop there (N saturated too).
std::vector<std::pair<CountRows, uint64_t>> assorted_tables() {
  std::mt19937_64 rng(11);
  std::vector<std::pair<CountRows, uint64_t>> tables = {
      {{}, 5}, {{{}}, 5}, {{{1, 2}}, 0}, {{{3}}, 3}, {{{1, 0}, {0, 1}}, 2}, {{{0, 0}, {0, 0}}, 9},
      {{{4, 1, 0}, {2}, {0, 0, 7, 9}}, 30}, {{{1, 2}, {3, 4}}, 7},  // short rows, N below the sum
      {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, 4},                      // a total, no cell
      {{{1ULL << 52, 0, 3, 1, 0, 2}, {5, 0, 0, 1, 1, 9}}, (1ULL << 52) + 22},
      {{{(1ULL << 52) - 1, 1, 1, 0, 0}, {5, 0, 2, 1, 1}}, (1ULL << 52) + 10},
  };
  for (int i = 0; i < 300; ++i) {
    CountRows rows(1 + rng() % 5, std::vector<uint64_t>(1 + rng() % 5));
    uint64_t n = 0;
    for (auto& r : rows)
      for (auto& c : r) n += (c = rng() % 3 == 0 ? 0 : rng() % 1000);
    tables.emplace_back(std::move(rows), rng() % 4 == 0 ? n + rng() % 50 : n);
  }
  for (int i = 0; i < 60; ++i) {
    const bool huge = i % 3 == 0;
    CountRows rows(1 + rng() % 30, std::vector<uint64_t>(1 + rng() % 14));
    uint64_t n = 0;
    for (auto& r : rows)
      for (auto& c : r) {
        c = rng() % 3 == 0 ? 0 : huge ? rng() >> (rng() % 4) : rng() % 100000;
        n = util::add_saturating(n, c);
      }
    tables.emplace_back(std::move(rows), n);
  }
  // Ragged wide tables: rows shorter and longer than the first.
  for (int i = 0; i < 40; ++i) {
    CountRows rows(1 + rng() % 12);
    uint64_t n = 0;
    for (auto& r : rows) {
      r.resize(rng() % 13);
      for (auto& c : r) n += (c = rng() % 4 == 0 ? 0 : rng() % 500);
    }
    if (rows.front().empty()) rows.front().push_back(1);
    tables.emplace_back(std::move(rows), n + 1);
  }
  // Cells about 2^62 and 2^63 in a row, a column and a square of 1 to 5:
  // margins that end just below 2^64, at 2^64 - 1, or would pass it (and
  // saturate), on both sides of where plain additions stop being exact.
  constexpr uint64_t k62 = uint64_t{1} << 62, k63 = uint64_t{1} << 63;
  for (const uint64_t v : {k62 - 1, k62, k62 + 1, k63 - 1, k63, uint64_t{UINT64_MAX}}) {
    for (size_t k = 1; k <= 5; ++k) {
      auto total = [&](size_t cells) {
        uint64_t n = 0;
        for (size_t i = 0; i < cells; ++i) n = util::add_saturating(n, v);
        return n;
      };
      tables.emplace_back(CountRows{std::vector<uint64_t>(k, v)}, total(k));
      tables.emplace_back(CountRows(k, std::vector<uint64_t>{v}), total(k));
      tables.emplace_back(CountRows(k, std::vector<uint64_t>(k, v)), total(k * k));
      CountRows mixed(k, std::vector<uint64_t>(k, 1));
      for (size_t i = 0; i < k; ++i) mixed[i][i] = v;
      tables.emplace_back(std::move(mixed), total(k));
    }
  }
  return tables;
}

// The textbook loop: every non-zero cell in row-major order, its share and
// both margins' shares computed where they are used.
double plain_mi(const CountRows& t, uint64_t n) {
  if (n == 0 || t.empty() || t.front().empty()) return 0.0;
  const size_t width = t.front().size();
  std::vector<uint64_t> rs(t.size()), cs(width);
  for (size_t i = 0; i < t.size(); ++i)
    for (size_t j = 0; j < std::min(width, t[i].size()); ++j) {
      rs[i] = util::add_saturating(rs[i], t[i][j]);
      cs[j] = util::add_saturating(cs[j], t[i][j]);
    }
  const double total = static_cast<double>(n);
  double mi = 0.0;
  for (size_t i = 0; i < t.size(); ++i)
    for (size_t j = 0; j < std::min(width, t[i].size()); ++j) {
      if (t[i][j] == 0) continue;
      const double pij = static_cast<double>(t[i][j]) / total;
      const double pr = static_cast<double>(rs[i]) / total;
      const double pc = static_cast<double>(cs[j]) / total;
      mi = mi + pij * std::log2(pij / (pr * pc));
    }
  return mi;
}

// Margins, mutual information, NMI and Cramér's V computed once per table
// give the bits of the separate measures and of the textbook loop.
TEST(TableMeasures, MatchTheSeparateMeasuresBitForBit) {
  const auto tables = assorted_tables();
  TableMargins room;  // shared by tables of every shape, in turn
  for (const auto& [rows, n] : tables) {
    const TableMeasures m = table_measures(rows, n);
    EXPECT_TRUE(same_bits(m.mutual_info, plain_mi(rows, n)));
    EXPECT_TRUE(same_bits(mutual_information(rows, n, room), m.mutual_info));
    const TableMeasures again = table_measures(rows, n, room);
    EXPECT_TRUE(same_bits(again.normalized_mi, m.normalized_mi));
    EXPECT_TRUE(same_bits(again.cramers_v, m.cramers_v));
    EXPECT_TRUE(same_bits(m.mutual_info, mutual_information(rows, n)));
    EXPECT_TRUE(same_bits(m.normalized_mi, normalized_mutual_information(rows, n)));
    EXPECT_TRUE(same_bits(m.cramers_v, cramers_v(rows, n)));
  }
}

// The two forms of each step (four lanes, one cell at a time) agree: the
// margins, equal to the saturating sums of a plain loop, and the terms.
TEST(TableTerms, LanesAndPlainFormsAgree) {
  TableMargins m;
  TableMargins plain;
  for (const auto& [rows, n] : assorted_tables()) {
    if (n == 0 || rows.empty() || rows.front().empty()) continue;
    fill_margins(rows, plain, TermForm::OneCellAtATime);
    fill_margins(rows, m);
    EXPECT_EQ(std::tie(m.rows, m.cols, m.cells, m.cell_bits),
              std::tie(plain.rows, plain.cols, plain.cells, plain.cell_bits));
    const size_t width = rows.front().size();
    std::vector<uint64_t> rs(rows.size()), cs(width);
    size_t cells = 0;
    for (size_t i = 0; i < rows.size(); ++i)
      for (size_t j = 0; j < std::min(width, rows[i].size()); ++j, ++cells) {
        rs[i] = util::add_saturating(rs[i], rows[i][j]);
        cs[j] = util::add_saturating(cs[j], rows[i][j]);
      }
    EXPECT_EQ(m.rows, rs);
    EXPECT_EQ(m.cols, cs);
    EXPECT_EQ(m.cells, cells);
    std::vector<double> s1(cells + kTermSlack), a1(cells + kTermSlack);
    std::vector<double> s2(cells + kTermSlack), a2(cells + kTermSlack);
    const size_t k1 = mi_terms(rows, n, m, s1.data(), a1.data(), TermForm::Lanes);
    const size_t k2 = mi_terms(rows, n, m, s2.data(), a2.data(), TermForm::OneCellAtATime);
    ASSERT_EQ(k1, k2);
    for (size_t k = 0; k < k1; ++k) {
      EXPECT_TRUE(same_bits(s1[k], s2[k])) << k;
      EXPECT_TRUE(same_bits(a1[k], a2[k])) << k;
    }
  }
}

// A run measures each table to the bits of mutual_information alone, in the
// order added, whatever falls in the same group: tables of other shapes and
// lengths, tables under the guards (0 without terms), and a last group that
// is not full.
TEST(MutualInformationRun, EachTableAsIfMeasuredAlone) {
  const auto tables = assorted_tables();
  for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{17}, tables.size()}) {
    SCOPED_TRACE(testing::Message() << count << " tables");
    MutualInformationRun run;
    for (size_t i = 0; i < count; ++i) run.add(tables[i].first, tables[i].second);
    const std::vector<double>& got = run.finish();
    ASSERT_EQ(got.size(), count);
    for (size_t i = 0; i < count; ++i) {
      const auto& [rows, n] = tables[i];
      EXPECT_TRUE(same_bits(got[i], mutual_information(rows, n))) << "table " << i;
      EXPECT_TRUE(same_bits(got[i], plain_mi(rows, n))) << "table " << i;
    }
  }
}

}  // namespace
}  // namespace quor::math
