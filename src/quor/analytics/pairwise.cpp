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
  // Rows are allocated as the comparisons reach them, so a dimension with
  // very many values costs memory only for the comparisons actually made
  // (the first failing one ends the operation before the full matrix).
  out.values.resize(n);
  const bool wasserstein = equals_ascii_folded(metric, "wasserstein");

  // Each selection is resolved and prepared once, when first needed; the
  // database does not change during the operation, so every comparison
  // sees what a fresh resolution would.
  std::vector<std::optional<Result<PreparedSide>>> sides(n);
  auto side = [&](size_t i) -> const Result<PreparedSide>& {
    if (!sides[i]) {
      Result<ResolvedSide> r =
          resolve_side(db, variable, {{std::string(dimension), out.labels[i]}});
      if (r.ok())
        sides[i].emplace(PreparedSide(std::move(*r), cache));
      else
        sides[i].emplace(r.error());
    }
    return *sides[i];
  };

  // With more pairs than the cache holds, the first results would be
  // evicted again before the operation ends and need not be stored. That
  // needs every side; they are resolved ahead in the order the comparisons
  // would resolve them, stopping at the first that would make a comparison
  // fail (the loop then meets that failure where it always did).
  size_t unstored = 0;
  if (n >= 2 && n * (n - 1) / 2 > CompareCache::kCapacity) {
    std::vector<const PreparedSide*> prepared;
    prepared.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const auto& r = side(i);
      if (!r.ok()) break;
      const model::DistributionRepr& repr = r->resolved().repr();
      if (!prepared.empty() && repr.index() != prepared.front()->resolved().repr().index()) break;
      if (const auto* h = std::get_if<model::HistogramRepr>(&repr); h && h->bin_counts.empty()) break;
      prepared.push_back(&*r);
    }
    if (prepared.size() == n) unstored = leading_stores_that_cannot_survive(prepared);
  }

  for (size_t i = 0; i < n; ++i) {
    out.values[i].assign(n, 0.0);
    for (size_t j = i + 1; j < n; ++j) {
      const auto& a = side(i);
      if (!a.ok()) return a.error();
      const auto& b = side(j);
      if (!b.ok()) return b.error();
      const bool store = unstored == 0;
      if (unstored > 0) --unstored;
      QUOR_ASSIGN_OR_RETURN(CompareResult r, compare_prepared(cache, *a, *b, store));
      const double v = wasserstein && r.wasserstein ? *r.wasserstein : r.jsd;
      out.values[i][j] = v;
    }
  }
  for (size_t i = 1; i < n; ++i)
    for (size_t j = 0; j < i; ++j) out.values[i][j] = out.values[j][i];
  return out;
}

}  // namespace quor::analytics
