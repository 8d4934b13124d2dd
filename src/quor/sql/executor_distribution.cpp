// SHOW and RANK: stored distributions read straight from the store.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "quor/sql/internal/statement_runners.h"
#include "quor/sql/internal/cells.h"
#include "quor/store/dim_key.h"
#include "quor/util/format.h"
#include "quor/util/total_order.h"

namespace quor::sql::runners {

namespace {

struct BinRow {
  double p;
  std::vector<std::string> cells;
};

// "{:6}  {:.4}  {}" of a bin's count, its probability and its bar.
BinRow bin_row(std::string label, uint64_t count, uint64_t total) {
  double p = total == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(total);
  std::string cell = util::format_padded(count, 6) + "  " + util::format_fixed(p, 4) + "  " +
                     probability_bar(p);
  return BinRow{p, {std::move(label), std::move(cell)}};
}

}  // namespace

Result<QueryResult> show(const Database& db, const ShowStatement& s) {
  model::DimensionMap map;
  map.insert_or_assign(s.at.dimension, s.at.value);
  for (const auto& f : s.filters) map.insert_or_assign(f.dimension, f.value);
  std::optional<store::Position> found = db.lookup_position(s.variable, map);
  if (!found) return Error("distribution not found");
  const model::DistributionObject record = db.distribution(*found);
  const model::DistributionObject* d = &record;

  QueryResult r;
  r.header = {"Category/Bin", "Count / Prob"};
  r.rows = {
      {"Entropy", bits_cell(d->entropy)},
      {"Samples", std::to_string(d->sample_count)},
      {"Version", std::to_string(d->version)},
      {"", ""},
  };

  std::vector<BinRow> bins;
  if (const auto* h = std::get_if<model::HistogramRepr>(&d->repr)) {
    const size_t k = h->bin_counts.size();
    const double w = (h->max - h->min) / static_cast<double>(k);
    bins.reserve(k);
    for (size_t i = 0; i < k; ++i) {
      double lo = static_cast<double>(i) * w + h->min;
      double hi = lo + w;
      bins.push_back(bin_row("[" + util::format_fixed(lo, 2) + ", " + util::format_fixed(hi, 2) + ")",
                             h->bin_counts[i], h->total_count));
    }
  } else {
    const auto& c = std::get<model::CategoricalRepr>(d->repr);
    const size_t n = std::min(c.categories.size(), c.counts.size());
    bins.reserve(n);
    for (size_t i = 0; i < n; ++i) bins.push_back(bin_row(c.categories[i], c.counts[i], c.total_count));
  }

  if (s.top || s.bottom) {
    const bool descending = s.top.has_value();
    std::stable_sort(bins.begin(), bins.end(), [descending](const BinRow& x, const BinRow& y) {
      return descending ? util::total_less(y.p, x.p) : util::total_less(x.p, y.p);
    });
    uint64_t n = descending ? *s.top : *s.bottom;
    if (n < bins.size()) bins.resize(static_cast<size_t>(n));
  }
  for (auto& b : bins) r.rows.push_back(std::move(b.cells));
  return r;
}

QueryResult rank(const Database& db, const RankStatement& s) {
  struct Entry {
    std::string_view value;
    double entropy;
    uint64_t samples;
  };
  std::vector<Entry> entries;
  const store::DistributionTable& table = db.distributions;
  // The filter and the dimension in the table's numbers: a name or value
  // the table lacks is held by no distribution.
  const uint32_t v = table.find_variable(s.variable);
  const uint32_t dim = table.find_dimension(s.dimension);
  std::vector<store::KeyEntry> want;
  bool any = v != store::kNoId && dim != store::kNoId;
  for (const auto& [name, value] : s.filters) {
    if (!any) break;
    const uint32_t fd = table.find_dimension(name);
    const uint32_t fl = fd == store::kNoId ? store::kNoId : table.find_label(fd, value);
    if (fl == store::kNoId) any = false;
    else want.push_back({fd, fl});
  }
  for (store::Position p = 0; any && p < table.size(); ++p) {
    const store::DistributionRow& row = table.row(p);
    if (row.variable != v || !table.key_holds(p, want)) continue;
    auto l = table.label_of(p, dim);
    if (!l) continue;
    entries.push_back({table.label(dim, *l), row.entropy, row.sample_count});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    return util::total_less(y.entropy, x.entropy);
  });

  QueryResult r;
  r.header = {s.dimension, "Entropy", "Samples", ""};
  r.rows.reserve(entries.size());
  for (const auto& e : entries)
    r.rows.push_back({std::string(e.value), bits_cell(e.entropy), std::to_string(e.samples),
                      entropy_bar(e.entropy)});
  return r;
}

}  // namespace quor::sql::runners
