// What the compare cache holds beyond its entries, for the tests' checks of
// how it shares and releases the member lists of summed sides.
#pragma once

#include <cstddef>
#include <mutex>

#include "quor/analytics/compare_cache.h"

namespace quor::reference {

class CompareCacheProbe {
 public:
  // Number of distinct member lists held by the cache's entries.
  static size_t member_lists(analytics::CompareCache& cache) {
    std::lock_guard<std::mutex> lock(cache.mu_);
    return cache.pool_.size();
  }
};

}  // namespace quor::reference
