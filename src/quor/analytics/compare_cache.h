// The per-database cache of comparison results.
//
// A least-recently-used map of fixed capacity (10000) from the identity of
// both compared sides to their CompareResult, guarded by one mutex that is
// held for a single lookup or store, never across a computation. Safe to
// share between threads. Memory only; starts empty.
//
// Poisoning: if an operation is aborted by an exception while it holds the
// mutex, the cache becomes poisoned for good: every lookup misses and every
// store is discarded, so comparisons keep working by recomputing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quor/analytics/compare_result.h"

namespace quor::analytics {

// (id, version) of one stored distribution.
using DistributionStamp = std::pair<uint64_t, uint64_t>;

// Identity of a comparison: id and version of side A and of side B, in that
// order (A vs B and B vs A are different keys). A side summed from several
// stored distributions also lists the id and version of every further
// member, in storage order; a single distribution lists none.
struct CompareKey {
  uint64_t id_a = 0;
  uint64_t version_a = 0;
  uint64_t id_b = 0;
  uint64_t version_b = 0;
  std::vector<DistributionStamp> more_a;
  std::vector<DistributionStamp> more_b;
  bool operator==(const CompareKey&) const = default;
};

struct CompareKeyHash {
  size_t operator()(const CompareKey& key) const noexcept;
};

class CompareCache {
 public:
  static constexpr size_t kCapacity = 10000;

  // An empty cache whose table is sized for kCapacity entries.
  CompareCache();
  CompareCache(const CompareCache&) = delete;
  CompareCache& operator=(const CompareCache&) = delete;

  // A copy of the cached result and a refresh of its recency; nothing (and
  // no change) on a miss or when poisoned.
  std::optional<CompareResult> get(const CompareKey& key);

  // Stores `result` as the most recently used entry, replacing the value of
  // an equal key, otherwise evicting the least recently used entry when
  // full. Discarded when poisoned.
  void put(CompareKey key, CompareResult result);

  // Number of entries held.
  size_t size();
  // Whether an aborted operation poisoned the cache.
  bool poisoned();
  // Poisons the cache as an aborted operation would (irreversible).
  void poison();

 private:
  using Entry = std::pair<CompareKey, CompareResult>;
  using List = std::list<Entry>;  // most recently used first

  std::mutex mu_;
  bool poisoned_ = false;
  List order_;
  std::unordered_map<CompareKey, List::iterator, CompareKeyHash> map_;
};

// A handle to a new, empty cache of capacity 10000.
std::shared_ptr<CompareCache> new_compare_cache();
// cache.get(key).
std::optional<CompareResult> compare_cache_get(CompareCache& cache, const CompareKey& key);
// cache.put(key, result).
void compare_cache_put(CompareCache& cache, CompareKey key, CompareResult result);

}  // namespace quor::analytics
