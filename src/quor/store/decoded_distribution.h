// One stored DistributionObject as the decoder reads it, in storage that is
// reused from one distribution to the next: texts and lists keep their room,
// so a read of a million distributions into the table allocates almost
// nothing per distribution (a DistributionObject would take a std::map node
// per dimension, a count vector and, for a categorical, every category text,
// only for the table to copy them and free them again).
//
// Measured (bench_store BM_OpenReadWrite, 100 000 x 20 bins, one frame, the
// calling thread alone, four interleaved runs at load 3-8): 79-113 ms and a
// 45.6 MB peak, against 341-668 ms and 103 MB when each distribution was
// decoded into a DistributionObject first.
//
// It holds exactly the fields of the stored record: to_object() gives the
// DistributionObject the record-level decoder makes of the same bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quor/model/model.h"

namespace quor::store {

struct DecodedDistribution {
  uint64_t id = 0;
  std::string variable;
  // The dimension key in byte-wise order of the names, each name once (of
  // two equal names in the bytes, the later one's value), as the stored
  // ordered map holds it.
  std::vector<std::pair<std::string, std::string>> key;
  // Whether the bytes gave the key in another order or a name twice: the
  // distribution then encodes to other bytes than those it was read from.
  bool reordered = false;
  bool histogram = true;
  double min = 0.0;  // histogram only
  double max = 0.0;  // histogram only
  std::vector<std::string> categories;  // categorical only
  std::vector<uint64_t> counts;         // bin or category counts
  uint64_t unknown_count = 0;           // categorical only
  uint64_t total_count = 0;
  uint64_t sample_count = 0;
  double entropy = 0.0;
  uint64_t last_updated = 0;
  uint64_t version = 0;
  std::pair<uint64_t, uint64_t> raw_record_range{0, 0};

  void assign(const model::DistributionObject& d) {
    id = d.id;
    variable = d.variable;
    key.assign(d.dimension_key.begin(), d.dimension_key.end());
    reordered = false;
    if (const auto* h = std::get_if<model::HistogramRepr>(&d.repr)) {
      histogram = true;
      min = h->min;
      max = h->max;
      counts = h->bin_counts;
      unknown_count = 0;
      total_count = h->total_count;
    } else {
      const auto& c = std::get<model::CategoricalRepr>(d.repr);
      histogram = false;
      categories = c.categories;
      counts = c.counts;
      unknown_count = c.unknown_count;
      total_count = c.total_count;
    }
    sample_count = d.sample_count;
    entropy = d.entropy;
    last_updated = d.last_updated;
    version = d.version;
    raw_record_range = d.raw_record_range;
  }

  model::DistributionObject to_object() const {
    model::DistributionObject d;
    d.id = id;
    d.variable = variable;
    for (const auto& [name, value] : key) d.dimension_key.emplace_hint(d.dimension_key.end(), name, value);
    if (histogram) {
      d.repr = model::HistogramRepr{min, max, counts, total_count};
    } else {
      d.repr = model::CategoricalRepr{categories, counts, unknown_count, total_count};
    }
    d.sample_count = sample_count;
    d.entropy = entropy;
    d.last_updated = last_updated;
    d.version = version;
    d.raw_record_range = raw_record_range;
    return d;
  }
};

}  // namespace quor::store
