// The result of comparing two distributions of one variable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quor::analytics {

// One category's part in a categorical comparison.
struct CategoryContribution {
  std::string category;
  double p_a = 0.0;           // count in A / A's total (0 when that total is 0)
  double p_b = 0.0;           // likewise for B
  double delta = 0.0;         // p_b - p_a
  double contribution = 0.0;  // this category's term of the JSD (before its clamp)
  bool operator==(const CategoryContribution&) const = default;
};

// Every measure of side A against side B, all in bits except Hellinger and
// Wasserstein. A plain value: callers and the cache each own their copy.
struct CompareResult {
  std::optional<double> wasserstein;  // histogram pairs only, in the variable's unit
  // Categorical pairs only (empty when both totals are 0): one per category
  // of the aligned union, largest |delta| first, ties in category byte order.
  std::vector<CategoryContribution> contributions;
  double ci_low = 0.0;   // 95 % interval of jsd
  double ci_high = 0.0;
  double jsd = 0.0;      // in [0, 1]
  double kl_a_b = 0.0;   // KL(A||B), smoothed
  double kl_b_a = 0.0;   // KL(B||A), smoothed
  double entropy_a = 0.0;  // of A's compared counts over A's total
  double entropy_b = 0.0;
  double hellinger = 0.0;
  double psi = 0.0;      // kl_a_b + kl_b_a
  uint64_t samples_a = 0;  // A's total as compared (rebinned total for histograms)
  uint64_t samples_b = 0;
  bool operator==(const CompareResult&) const = default;
};

// What a COMPARE ... ACROSS row prints of a comparison: the same values as
// the fields of that name in its CompareResult.
struct PairMeasures {
  double jsd = 0.0;
  double hellinger = 0.0;
  double psi = 0.0;
  uint64_t samples_a = 0;
  uint64_t samples_b = 0;

  static PairMeasures of(const CompareResult& r) {
    return {r.jsd, r.hellinger, r.psi, r.samples_a, r.samples_b};
  }
};

}  // namespace quor::analytics
