#include "quor/analytics/compare_cache.h"

#include <exception>

namespace quor::analytics {

namespace {

inline uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v;
  h *= 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 32);
}

// Marks the cache poisoned when the scope is left by an exception.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(bool& flag) : flag_(flag), pending_(std::uncaught_exceptions()) {}
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > pending_) flag_ = true;
  }

 private:
  bool& flag_;
  int pending_;
};

}  // namespace

size_t CompareKeyHash::operator()(const CompareKey& key) const noexcept {
  uint64_t h = mix(key.id_a, key.version_a);
  h = mix(h, key.id_b);
  h = mix(h, key.version_b);
  for (const auto& [id, version] : key.more_a) h = mix(mix(h, id), version);
  h = mix(h, key.more_a.size());
  for (const auto& [id, version] : key.more_b) h = mix(mix(h, id), version);
  h = mix(h, key.more_b.size());
  // Final avalanche (splitmix64) so that low bits depend on every field.
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return static_cast<size_t>(h);
}

CompareCache::CompareCache() { map_.reserve(kCapacity); }

std::optional<CompareResult> CompareCache::get(const CompareKey& key) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return std::nullopt;
  PoisonOnUnwind guard(poisoned_);
  auto it = map_.find(key);
  if (it == map_.end()) return std::nullopt;
  order_.splice(order_.begin(), order_, it->second);
  return it->second->second;
}

void CompareCache::put(CompareKey key, CompareResult result) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return;
  PoisonOnUnwind guard(poisoned_);
  auto it = map_.find(key);
  if (it != map_.end()) {
    it->second->second = std::move(result);
    order_.splice(order_.begin(), order_, it->second);
    return;
  }
  if (map_.size() >= kCapacity) {
    map_.erase(order_.back().first);
    order_.pop_back();
  }
  order_.emplace_front(std::move(key), std::move(result));
  map_.emplace(order_.front().first, order_.begin());
}

size_t CompareCache::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return map_.size();
}

bool CompareCache::poisoned() {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

void CompareCache::poison() {
  std::lock_guard<std::mutex> lock(mu_);
  poisoned_ = true;
}

std::shared_ptr<CompareCache> new_compare_cache() { return std::make_shared<CompareCache>(); }

std::optional<CompareResult> compare_cache_get(CompareCache& cache, const CompareKey& key) {
  return cache.get(key);
}

void compare_cache_put(CompareCache& cache, CompareKey key, CompareResult result) {
  cache.put(std::move(key), std::move(result));
}

}  // namespace quor::analytics
