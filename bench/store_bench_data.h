// The distributions both store benchmarks write and read: 100 000
// histograms of 20 bins over 10 variables and two dimensions, with seeded
// counts, so figures of one program compare with the other's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "quor/model/model.h"

namespace quor::bench {

using model::DistributionFile;
using model::DistributionObject;
using model::HistogramRepr;

inline constexpr size_t kDistributions = 100000;
inline constexpr uint32_t kBins = 20;

inline DistributionFile make_distributions(size_t n = kDistributions) {
  DistributionFile f;
  f.distributions.reserve(n);
  uint64_t seed = 88172645463325252ULL;
  auto next = [&] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  for (size_t i = 0; i < n; ++i) {
    DistributionObject d;
    d.id = i + 1;
    d.variable = "metric_" + std::to_string(i % 10);
    d.dimension_key = {{"region", "region_" + std::to_string((i / 10) % 100)},
                       {"time", "2024-" + std::to_string(1 + (i / 1000) % 100)}};
    HistogramRepr h;
    h.min = 0.0;
    h.max = 100.0;
    h.bin_counts.resize(kBins);
    uint64_t total = 0;
    for (auto& c : h.bin_counts) {
      c = next() % 1000;
      total += c;
    }
    h.total_count = total;
    d.repr = std::move(h);
    d.sample_count = total;
    d.entropy = 4.1 + static_cast<double>(next() % 1000) / 1e4;
    d.last_updated = 1700000000 + i;
    d.version = 1 + next() % 5;
    f.distributions.push_back(std::move(d));
  }
  return f;
}

}  // namespace quor::bench
