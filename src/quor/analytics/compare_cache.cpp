#include "quor/analytics/compare_cache.h"

#include <algorithm>

#include "quor/util/hash.h"
#include "quor/util/linear_probe.h"

namespace quor::analytics {

namespace {

inline uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v;
  h *= 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 32);
}

// Marks the cache poisoned unless the operation reaches its end: an
// exception (a failed allocation while copying a result) leaves the scope
// without `done` set. Cheaper than asking for uncaught exceptions twice.
struct PoisonUnlessDone {
  explicit PoisonUnlessDone(bool& flag) : flag(flag) {}
  ~PoisonUnlessDone() {
    if (!done) flag = true;
  }
  bool& flag;
  bool done = false;
};

}  // namespace

MemberStamps::MemberStamps(std::vector<DistributionStamp> stamps) {
  if (stamps.empty()) return;
  uint64_t h = 0x51ed27a3c6b9f2e1ULL;
  for (const auto& [id, version] : stamps) h = mix(mix(h, id), version);
  h = util::mix_bits(mix(h, stamps.size()));
  body_ = std::make_shared<const Body>(Body{std::move(stamps), h});
}

bool MemberStamps::operator==(const MemberStamps& other) const {
  if (body_ == other.body_) return true;
  if (body_ == nullptr || other.body_ == nullptr) return false;
  return body_->hash == other.body_->hash && body_->stamps == other.body_->stamps;
}

size_t CompareKeyHash::operator()(const CompareKey& key) const noexcept {
  // Each field through its own odd multiplier (independent multiplies, no
  // serial chain), folded by xor and mixed once.
  const uint64_t h = (key.id_a * 0x9e3779b97f4a7c15ULL) ^ (key.version_a * 0xc2b2ae3d27d4eb4fULL) ^
                     (key.id_b * 0x165667b19e3779f9ULL) ^ (key.version_b * 0xd6e8feb86659fd93ULL) ^
                     (key.more_a.hash() * 0xff51afd7ed558ccdULL) ^
                     (key.more_b.hash() * 0xc4ceb9fe1a85ec53ULL);
  return static_cast<size_t>(util::mix_bits(h));
}

CompareCache::CompareCache() : links_(kCapacity), index_(kIndexSize) { slots_.reserve(kCapacity); }

size_t CompareCache::cell_of_slot(uint32_t slot, uint64_t hash) const {
  for (size_t c = static_cast<uint32_t>(hash) & kIndexMask;; c = (c + 1) & kIndexMask)
    if (index_[c].slot_plus_one == slot + 1) return c;
}

bool CompareCache::same_list(const ListBody* held, const MemberStamps& members) {
  const ListBody* other = members.body_.get();
  if (held == other) return true;
  if (held == nullptr || other == nullptr) return false;
  return held->hash == other->hash && held->stamps == other->stamps;
}

bool CompareCache::holds_key(const Slot& slot, const CompareKey& key) {
  return slot.id_a == key.id_a && slot.version_a == key.version_a && slot.id_b == key.id_b &&
         slot.version_b == key.version_b && same_list(slot.more_a, key.more_a) &&
         same_list(slot.more_b, key.more_b);
}

size_t CompareCache::find(const CompareKey& key, uint64_t hash) const {
  const auto low = static_cast<uint32_t>(hash);
  // The low 32 bits sit in the cell; the key itself is the first cache
  // line of its slot.
  const size_t c = util::probe_find(index_.data(), kIndexMask, low, [&](const Cell& cell) {
    return cell.hash_low == low && holds_key(slots_[cell.slot_plus_one - 1], key);
  });
  return index_[c].slot_plus_one == 0 ? kIndexSize : c;
}

void CompareCache::index_insert(uint32_t slot, uint64_t hash) {
  const auto low = static_cast<uint32_t>(hash);
  index_[util::probe_free(index_.data(), kIndexMask, low)] = Cell{slot + 1, low};
}

void CompareCache::index_erase(size_t hole) {
  util::probe_erase(index_.data(), kIndexMask, hole, [](const Cell& cell) { return size_t{cell.hash_low}; });
}

void CompareCache::unlink(uint32_t slot) {
  Link& l = links_[slot];
  if (l.prev != kNone) links_[l.prev].next = l.next; else head_ = l.next;
  if (l.next != kNone) links_[l.next].prev = l.prev; else tail_ = l.prev;
  l.prev = l.next = kNone;
}

void CompareCache::link_front(uint32_t slot) {
  Link& l = links_[slot];
  l.prev = kNone;
  l.next = head_;
  if (head_ != kNone) links_[head_].prev = slot;
  head_ = slot;
  if (tail_ == kNone) tail_ = slot;
}

const CompareCache::ListBody* CompareCache::pool_acquire(const MemberStamps& members) {
  if (members.empty()) return nullptr;
  auto [first, last] = pool_.equal_range(members.hash());
  for (auto it = first; it != last; ++it) {
    if (it->second.body == members.body_ || it->second.body->stamps == members.body_->stamps) {
      ++it->second.entries;
      return it->second.body.get();
    }
  }
  return pool_.emplace(members.hash(), PooledList{members.body_, 1})->second.body.get();
}

void CompareCache::pool_release(const ListBody* body) {
  if (body == nullptr) return;
  auto [first, last] = pool_.equal_range(body->hash);
  for (auto it = first; it != last; ++it) {
    if (it->second.body.get() != body) continue;
    if (--it->second.entries == 0) pool_.erase(it);
    return;
  }
}

MemberStamps CompareCache::pooled_handle(const ListBody* body) const {
  MemberStamps out;
  if (body == nullptr) return out;
  auto [first, last] = pool_.equal_range(body->hash);
  for (auto it = first; it != last; ++it)
    if (it->second.body.get() == body) out.body_ = it->second.body;
  return out;
}

std::optional<CompareResult> CompareCache::get(const CompareKey& key) {
  const uint64_t hash = CompareKeyHash{}(key);
  std::optional<CompareResult> out;
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return out;
  PoisonUnlessDone guard(poisoned_);
  const size_t c = find(key, hash);
  if (c != kIndexSize) {
    const uint32_t slot = index_[c].slot_plus_one - 1;
    out.emplace(slots_[slot].value);
    if (head_ != slot) {
      unlink(slot);
      link_front(slot);
    }
  } else if (slots_.size() == kCapacity) {
    // A miss is usually followed by the store of the computed result, which
    // evicts the least recently used entry: start loading its slot now.
    const char* victim = reinterpret_cast<const char*>(&slots_[tail_]);
    __builtin_prefetch(victim);
    __builtin_prefetch(victim + 64, 1);
    __builtin_prefetch(victim + 128, 1);
  }
  guard.done = true;
  return out;
}

void CompareCache::put(CompareKey key, CompareResult result) {
  const uint64_t hash = CompareKeyHash{}(key);
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return;
  PoisonUnlessDone guard(poisoned_);
  const size_t c = find(key, hash);
  if (c != kIndexSize) {
    const uint32_t slot = index_[c].slot_plus_one - 1;
    slots_[slot].value = std::move(result);
    if (head_ != slot) {
      unlink(slot);
      link_front(slot);
    }
    guard.done = true;
    return;
  }
  // Both lists are taken before anything changes, so a failure there
  // leaves the entries as they were.
  const ListBody* more_a = pool_acquire(key.more_a);
  const ListBody* more_b = pool_acquire(key.more_b);
  uint32_t slot;
  if (slots_.size() < kCapacity) {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    // The least recently used entry gives up its slot. Its index cell is
    // found by the slot's number, without comparing keys.
    slot = tail_;
    index_erase(cell_of_slot(slot, slots_[slot].hash));
    unlink(slot);
    pool_release(slots_[slot].more_a);
    pool_release(slots_[slot].more_b);
  }
  Slot& s = slots_[slot];
  s.id_a = key.id_a;
  s.version_a = key.version_a;
  s.id_b = key.id_b;
  s.version_b = key.version_b;
  s.more_a = more_a;
  s.more_b = more_b;
  s.hash = hash;
  s.value = std::move(result);
  index_insert(slot, hash);
  link_front(slot);
  guard.done = true;
}

void CompareCache::share(MemberStamps& members) {
  if (members.empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return;
  auto [first, last] = pool_.equal_range(members.hash());
  for (auto it = first; it != last; ++it) {
    if (it->second.body->stamps == members.body_->stamps) {
      members.body_ = it->second.body;
      return;
    }
  }
}

size_t CompareCache::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return slots_.size();
}

std::vector<std::pair<CompareKey, CompareResult>> CompareCache::entries() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<CompareKey, CompareResult>> out;
  out.reserve(slots_.size());
  for (uint32_t s = head_; s != kNone; s = links_[s].next) {
    const Slot& slot = slots_[s];
    out.emplace_back(CompareKey{slot.id_a, slot.version_a, slot.id_b, slot.version_b,
                                pooled_handle(slot.more_a), pooled_handle(slot.more_b)},
                     slot.value);
  }
  return out;
}

bool CompareCache::poisoned() {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

void CompareCache::poison() {
  std::lock_guard<std::mutex> lock(mu_);
  poisoned_ = true;
}

}  // namespace quor::analytics
