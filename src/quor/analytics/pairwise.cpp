#include "quor/analytics/pairwise.h"

#include <optional>

#include "quor/analytics/compare.h"
#include "quor/analytics/reference.h"

namespace quor::analytics {

namespace {

bool equals_ascii_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

Result<PairwiseMatrix> pairwise_matrix(const store::Database& db, CompareCache& cache,
                                       std::string_view dimension, std::string_view variable,
                                       std::string_view metric) {
  PairwiseMatrix out;
  const auto values = db.dimension_values(dimension);
  out.labels.assign(values.begin(), values.end());
  const size_t n = out.labels.size();
  out.values.assign(n, std::vector<double>(n, 0.0));
  const bool wasserstein = equals_ascii_folded(metric, "wasserstein");

  // Each selection is resolved once, when first needed; the database does
  // not change during the operation, so every comparison sees what a fresh
  // resolution would.
  std::vector<std::optional<Result<ResolvedSide>>> sides(n);
  auto side = [&](size_t i) -> const Result<ResolvedSide>& {
    if (!sides[i]) sides[i].emplace(resolve_side(db, variable, {{std::string(dimension), out.labels[i]}}));
    return *sides[i];
  };

  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      const auto& a = side(i);
      if (!a.ok()) return a.error();
      const auto& b = side(j);
      if (!b.ok()) return b.error();
      QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_resolved(cache, *a, *b));
      const double v = wasserstein && r.wasserstein ? *r.wasserstein : r.jsd;
      out.values[i][j] = v;
      out.values[j][i] = v;
    }
  }
  return out;
}

}  // namespace quor::analytics
