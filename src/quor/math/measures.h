// Information measures over count vectors and count tables.
//
// Pure functions; every logarithm is base 2, so entropies, divergences and
// mutual information are in bits. A vector measure takes each vector with a
// total given separately (it need not equal the vector's sum: a categorical
// total also holds mass that has no entry); shares are count / total. The
// two vectors of one measure must have equal lengths (a Panic "vector
// lengths must match" otherwise). Sums run left to right in index order.
//
// A count table is a list of rows with a total N that need not equal the
// cell sum. Its width is the length of the first row; a shorter row reads
// as zeros beyond its end and cells past the width are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quor/model/model.h"

namespace quor::math {

using Counts = std::span<const uint64_t>;
using CountRows = std::vector<std::vector<uint64_t>>;
using CountTable = std::span<const std::vector<uint64_t>>;

// -sum p log2 p over the non-zero entries, summed from -0.0: +0.0 when the
// total is 0; -0.0 when the whole total lies in one entry or in none.
double shannon_entropy(Counts counts, uint64_t total);

// KL(P||Q) over the entries with a count in P, the divisor side smoothed by
// 1e-10 per entry: 0 when either total is 0; -0.0 when P has a total but no
// non-zero entry; finite where P has mass that Q lacks.
double kl_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q);

// kl_divergence(P, Q) + kl_divergence(Q, P): the population stability index.
double symmetric_kl_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q);

// Jensen-Shannon divergence, unsmoothed, clamped to [0, 1] (-0.0 and NaN pass
// the clamp unchanged). 0 when both totals are 0; with one total 0 it is half
// the other side's listed share.
double jensen_shannon_divergence(Counts p, Counts q, uint64_t total_p, uint64_t total_q);

// sqrt(0.5 * sum (sqrt p_i - sqrt q_i)^2): 0 when both totals are 0, 1 when
// exactly one is.
double hellinger_distance(Counts p, Counts q, uint64_t total_p, uint64_t total_q);

// Earth mover's distance of two histograms on one grid of k equal bins from
// `low` to `high`, in the variable's unit: 0 when k or a total is 0.
double wasserstein_distance(Counts p, Counts q, uint64_t total_p, uint64_t total_q, double low,
                            double high);

// Mutual information of a table with total N, not clamped: 0 when N is 0,
// the table has no rows or its first row is empty.
double mutual_information(CountTable table, uint64_t n);

// MI divided by the smaller of the row and column entropies, clamped to
// [0, 1]; 0 under the guards of MI or when that entropy is not above 0.
double normalized_mutual_information(CountTable table, uint64_t n);

// Cramer's V, at most 1; 0 under the guards of MI and for a table of one row
// or one column.
double cramers_v(CountTable table, uint64_t n);

// mutual_information, normalized_mutual_information and cramers_v of one
// table, bit for bit, with its margins and MI computed once.
struct TableMeasures {
  double mutual_info = 0.0;
  double normalized_mi = 0.0;
  double cramers_v = 0.0;
};
TableMeasures table_measures(CountTable table, uint64_t n);

// Room for a table's row and column sums, kept by a caller that measures
// many tables in a row so that each one allocates nothing.
struct TableMargins {
  std::vector<uint64_t> rows;
  std::vector<uint64_t> cols;
  size_t cells = 0;        // cells within the width
  uint64_t cell_bits = 0;  // the OR of those cells
  mutable std::vector<double> room;   // working room of the measures
  mutable std::vector<double> terms;  // the same, for one table's terms
};
// mutual_information(table, n), bit for bit, with the margins in `room`.
double mutual_information(CountTable table, uint64_t n, TableMargins& room);
// table_measures(table, n), bit for bit, with the margins in `room`.
TableMeasures table_measures(CountTable table, uint64_t n, TableMargins& room);

// mutual_information of many tables, each bit for bit as if measured alone.
// Each table's terms are computed as it is added (its divisions taken beside
// its logarithms); the sums of eight tables, each in its own table's cell
// order, then run side by side rather than one after another: a sum is a
// chain of dependent additions, and a lone chain leaves the adder idle most
// of the time.
class MutualInformationRun {
 public:
  // Measures `table` (read before add returns); its MI is the next entry of
  // the results.
  void add(CountTable table, uint64_t n);
  // The MI of every table added, in the order added.
  const std::vector<double>& finish();

 private:
  static constexpr size_t kGroup = 8;
  struct Pending {
    size_t begin;   // its terms in terms_
    size_t count;
    size_t result;  // into results_
  };
  void sum_group();

  TableMargins margins_;
  std::vector<double> cell_;   // one table's non-zero cells
  std::vector<double> den_;    // and their row share × column share
  std::vector<double> terms_;  // the group's terms, table after table
  size_t used_ = 0;
  Pending pending_[kGroup];
  size_t pending_count_ = 0;
  std::vector<double> results_;
};

// One row per representation, in order: a copy of its bin counts or its
// category counts (a categorical's unknown count has no cell).
CountRows collect_count_vectors(std::span<const model::DistributionRepr> reprs);

}  // namespace quor::math
