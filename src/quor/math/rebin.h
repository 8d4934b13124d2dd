// Bringing two distributions onto common entries before they are measured:
// histograms onto one grid, categorical distributions onto one category list.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/model/model.h"

namespace quor::math {

// The histogram `source` redistributed onto `bins` equal bins from `low` to
// `high`: each non-empty source bin gives every target bin it overlaps the
// overlapping fraction of its count, rounded half away from zero on its own
// (so totals can drift). The result's total_count is the sum of its bins;
// source mass outside [low, high] is dropped. Nothing when `source` is not a
// histogram or `bins` is 0.
std::optional<model::HistogramRepr> rebin_histogram(const model::DistributionRepr& source,
                                                    double low, double high, uint64_t bins);

// Two category lists aligned on their union.
struct AlignedCategories {
  std::vector<std::string> categories;  // the union, byte-wise ascending, no duplicates
  std::vector<uint64_t> counts_a;       // one per union category, 0 where A lacks it
  std::vector<uint64_t> counts_b;
  bool operator==(const AlignedCategories&) const = default;
};

// Name -> count, byte-wise ordered; the views point into the caller's names.
using CountMap = std::map<std::string_view, uint64_t>;

// The count of each name in `map`, in the order of `names`; 0 when absent.
std::vector<uint64_t> counts_for_categories(const std::vector<std::string>& names,
                                            const CountMap& map);

// Aligns A's (categories, counts) with B's. A name listed twice on one side
// keeps its later count; a category without a count position gets 0 and
// counts beyond the category list are ignored.
AlignedCategories align_categorical(const std::vector<std::string>& categories_a,
                                    const std::vector<uint64_t>& counts_a,
                                    const std::vector<std::string>& categories_b,
                                    const std::vector<uint64_t>& counts_b);

}  // namespace quor::math
