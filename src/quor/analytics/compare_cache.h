// Placeholder until the analytics land: the per-database cache of
// comparison results (mutex-guarded LRU, capacity 10000).
#pragma once

#include <cstddef>

namespace quor::analytics {

class CompareCache {
 public:
  static constexpr size_t kCapacity = 10000;
  CompareCache() = default;
};

}  // namespace quor::analytics
