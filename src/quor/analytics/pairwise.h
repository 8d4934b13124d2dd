// PAIRWISE: the divergence between a variable's selections at every two
// values of one dimension.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quor/analytics/compare_cache.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::analytics {

struct PairwiseMatrix {
  std::vector<std::string> labels;         // the dimension's values, byte-wise ascending
  std::vector<std::vector<double>> values; // n x n, symmetric, zero diagonal
  bool operator==(const PairwiseMatrix&) const = default;
};

// Compares `variable` at {dimension: label i} against {dimension: label j}
// for every i < j (through the cache; each selection exact or summed) and
// mirrors the entry. The entry is the Wasserstein distance when `metric` is
// "wasserstein" in any letter case and the pair are histograms, otherwise
// the JSD. The first failing comparison's error ends the operation. A
// dimension without values gives an empty matrix.
Result<PairwiseMatrix> pairwise_matrix(const store::Database& db, CompareCache& cache,
                                       std::string_view dimension, std::string_view variable,
                                       std::string_view metric);

}  // namespace quor::analytics
