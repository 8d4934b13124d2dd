#include "quor/math/rebin.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quor::math {

namespace {

// The smaller / larger operand, ignoring an operand that is not a number
// (std::fmin / std::fmax semantics, inlined).
inline double min_num(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}
inline double max_num(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b > a ? b : a;
}

// floor(v) as i64 with a saturating cast: NaN gives 0, out-of-range values
// the nearest bound.
inline int64_t floor_to_i64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  // |v| < 2^63: truncation is exact and representable, so one step down
  // from it gives the floor of a negative fraction.
  int64_t t = static_cast<int64_t>(v);
  if (static_cast<double>(t) > v) t -= 1;
  return t;
}

// round(v) half away from zero as u64 with a saturating cast: NaN and
// negatives give 0.
inline uint64_t round_to_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  if (v >= 4503599627370496.0) return static_cast<uint64_t>(v);  // 2^52: already integral
  const uint64_t i = static_cast<uint64_t>(v);
  // v - i is exact: the fraction of a double is itself representable.
  return v - static_cast<double>(i) >= 0.5 ? i + 1 : i;
}

uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s < a ? std::numeric_limits<uint64_t>::max() : s;
}

CountMap count_map(const std::vector<std::string>& categories,
                   const std::vector<uint64_t>& counts) {
  CountMap map;
  for (size_t p = 0; p < categories.size(); ++p)
    map.insert_or_assign(std::string_view(categories[p]), p < counts.size() ? counts[p] : 0);
  return map;
}

bool strictly_ascending(const std::vector<std::string>& names) {
  for (size_t i = 1; i < names.size(); ++i)
    if (!(names[i - 1] < names[i])) return false;
  return true;
}


}  // namespace

std::optional<model::HistogramRepr> rebin_histogram(const model::DistributionRepr& source,
                                                    double low, double high, uint64_t bins) {
  const auto* src = std::get_if<model::HistogramRepr>(&source);
  if (src == nullptr || bins == 0) return std::nullopt;

  model::HistogramRepr out;
  out.min = low;
  out.max = high;
  out.bin_counts.assign(bins, 0);
  const double w = (high - low) / static_cast<double>(bins);
  const size_t len = src->bin_counts.size();
  const double ws = (src->max - src->min) / static_cast<double>(len);
  const int64_t last_bin = static_cast<int64_t>(bins - 1);

  for (size_t i = 0; i < len; ++i) {
    const uint64_t c = src->bin_counts[i];
    if (c == 0) continue;
    const double s = src->min + static_cast<double>(i) * ws;
    const double e = s + ws;
    const int64_t first = std::clamp<int64_t>(floor_to_i64((s - low) / w), 0, last_bin);
    const int64_t last = std::clamp<int64_t>(floor_to_i64((e - low) / w), 0, last_bin);
    for (int64_t j = first; j <= last; ++j) {
      const double ts = low + static_cast<double>(j) * w;
      const double te = ts + w;
      const double overlap = min_num(e, te) - max_num(s, ts);
      // No positive overlap (NaN included) gives f = 0 or NaN: nothing added.
      if (!(overlap > 0.0)) continue;
      const double f = overlap / ws;
      if (f > 0.0) {
        const uint64_t share = round_to_u64(f * static_cast<double>(c));
        out.bin_counts[j] = sat_add(out.bin_counts[j], share);
      }
    }
  }
  uint64_t total = 0;
  for (uint64_t v : out.bin_counts) total = sat_add(total, v);
  out.total_count = total;
  return out;
}

std::vector<uint64_t> counts_for_categories(const std::vector<std::string>& names,
                                            const CountMap& map) {
  std::vector<uint64_t> out;
  out.reserve(names.size());
  for (const auto& name : names) {
    auto it = map.find(name);
    out.push_back(it == map.end() ? 0 : it->second);
  }
  return out;
}

AlignedCategories align_categorical(const std::vector<std::string>& categories_a,
                                    const std::vector<uint64_t>& counts_a,
                                    const std::vector<std::string>& categories_b,
                                    const std::vector<uint64_t>& counts_b) {
  AlignedCategories out;
  // Equal lists without repeats (the usual case: one variable's categories
  // on both sides) align through one sorted permutation of positions.
  if (categories_a == categories_b) {
    const size_t n = categories_a.size();
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    if (!strictly_ascending(categories_a))
      std::sort(order.begin(), order.end(),
                [&](size_t x, size_t y) { return categories_a[x] < categories_a[y]; });
    bool repeats = false;
    for (size_t i = 1; i < n && !repeats; ++i)
      repeats = !(categories_a[order[i - 1]] < categories_a[order[i]]);
    if (!repeats) {
      out.categories.reserve(n);
      out.counts_a.reserve(n);
      out.counts_b.reserve(n);
      for (size_t p : order) {
        out.categories.push_back(categories_a[p]);
        out.counts_a.push_back(p < counts_a.size() ? counts_a[p] : 0);
        out.counts_b.push_back(p < counts_b.size() ? counts_b[p] : 0);
      }
      return out;
    }
  }
  std::vector<std::string_view> names;
  names.reserve(categories_a.size() + categories_b.size());
  for (const auto& c : categories_a) names.push_back(c);
  for (const auto& c : categories_b) names.push_back(c);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  out.categories.assign(names.begin(), names.end());
  out.counts_a = counts_for_categories(out.categories, count_map(categories_a, counts_a));
  out.counts_b = counts_for_categories(out.categories, count_map(categories_b, counts_b));
  return out;
}

}  // namespace quor::math
