// The per-database cache of comparison results.
//
// A least-recently-used map of fixed capacity (10000) from the identity of
// both compared sides to their CompareResult, guarded by one mutex that is
// held for a single lookup or store, never across a computation. Safe to
// share between threads. Memory only; starts empty.
//
// Layout: one slab of kCapacity entries reserved at creation, the recency
// order as a doubly linked list of slab indices, and an open-addressing
// index (linear probing, backward-shift deletion) sized for the full
// capacity. No store allocates a node; an eviction reuses the slot of the
// entry it removes. The member list of a summed side is held once,
// however many entries use it, and released with the last of them.
//
// Poisoning: if an operation is aborted by an exception while it holds the
// mutex, the cache becomes poisoned for good: every lookup misses and every
// store is discarded, so comparisons keep working by recomputing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quor/analytics/compare_result.h"

namespace quor::reference {
class CompareCacheProbe;
}

namespace quor::analytics {

// (id, version) of one stored distribution.
using DistributionStamp = std::pair<uint64_t, uint64_t>;

// The (id, version) of every member of a summed side after the first, in
// storage order: an immutable list shared by every copy of the handle, with
// its hash computed once. A summed side over many distributions is compared
// with many others; each of those comparisons' keys holds the one list, and
// the cache keeps one list for all of its entries with equal members.
class MemberStamps {
 public:
  MemberStamps() = default;  // no further member
  MemberStamps(std::initializer_list<DistributionStamp> stamps)
      : MemberStamps(std::vector<DistributionStamp>(stamps)) {}
  explicit MemberStamps(std::vector<DistributionStamp> stamps);

  bool empty() const { return body_ == nullptr; }
  size_t size() const { return body_ ? body_->stamps.size() : 0; }
  uint64_t hash() const { return body_ ? body_->hash : 0; }
  std::span<const DistributionStamp> stamps() const {
    return body_ ? std::span<const DistributionStamp>(body_->stamps)
                 : std::span<const DistributionStamp>();
  }
  // Whether both handles hold the very same list (not merely equal ones).
  bool shares_list_with(const MemberStamps& other) const { return body_ == other.body_; }
  // Equal members in equal order.
  bool operator==(const MemberStamps& other) const;

 private:
  friend class CompareCache;
  struct Body {
    std::vector<DistributionStamp> stamps;
    uint64_t hash;
  };
  std::shared_ptr<const Body> body_;
};

// Identity of a comparison: id and version of side A and of side B, in that
// order (A vs B and B vs A are different keys). A side summed from several
// stored distributions also lists the id and version of every further
// member, in storage order; a single distribution lists none.
struct CompareKey {
  uint64_t id_a = 0;
  uint64_t version_a = 0;
  uint64_t id_b = 0;
  uint64_t version_b = 0;
  MemberStamps more_a;
  MemberStamps more_b;
  bool operator==(const CompareKey&) const = default;
};

struct CompareKeyHash {
  size_t operator()(const CompareKey& key) const noexcept;
};

class CompareCache {
 public:
  static constexpr size_t kCapacity = 10000;

  // An empty cache whose slab and index are sized for kCapacity entries.
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

  // Points `members` at the list the cache already holds with equal
  // content, if any, so that later lookups with it compare by identity.
  // Changes no entry and no recency.
  void share(MemberStamps& members);

  // Number of entries held.
  size_t size();
  // Every entry's key and value, most recently used first (for checks of
  // the cache's state; changes no recency).
  std::vector<std::pair<CompareKey, CompareResult>> entries();
  // Whether an aborted operation poisoned the cache.
  bool poisoned();
  // Poisons the cache as an aborted operation would (irreversible).
  void poison();

 private:
  // Reads the member-list pool for the tests' checks of its sharing.
  friend class reference::CompareCacheProbe;

  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr size_t kIndexSize = 32768;  // power of two, load <= 0.31
  static constexpr size_t kIndexMask = kIndexSize - 1;

  using ListBody = MemberStamps::Body;
  // A slot starts on a cache line, which holds all of its key and its hash,
  // so that a probe or an eviction reads one line; the value fills the next
  // two. A member list is referred to by address: the pool owns it.
  struct alignas(64) Slot {
    uint64_t id_a = 0;
    uint64_t version_a = 0;
    uint64_t id_b = 0;
    uint64_t version_b = 0;
    const ListBody* more_a = nullptr;
    const ListBody* more_b = nullptr;
    uint64_t hash = 0;
    CompareResult value;
  };
  static bool same_list(const ListBody* held, const MemberStamps& members);
  static bool holds_key(const Slot& slot, const CompareKey& key);
  // The recency links, apart from the slots so that moving an entry to the
  // front touches a small array instead of its neighbours' slots.
  struct Link {
    uint32_t prev = kNone;  // towards the most recently used
    uint32_t next = kNone;  // towards the least recently used
  };
  // One index cell: 0 when empty, else the slot number + 1, with the low
  // 32 bits of the key's hash (its home cell and a cheap pre-check).
  struct Cell {
    uint32_t slot_plus_one = 0;  // 0: empty
    uint32_t hash_low = 0;
    bool operator==(const Cell&) const = default;
  };
  struct PooledList {
    std::shared_ptr<const MemberStamps::Body> body;
    size_t entries;  // entries whose key holds this list
  };

  size_t find(const CompareKey& key, uint64_t hash) const;  // index cell or kIndexSize
  // The index cell that points at `slot`, whose key hashes to `hash`.
  size_t cell_of_slot(uint32_t slot, uint64_t hash) const;
  void index_insert(uint32_t slot, uint64_t hash);
  void index_erase(size_t cell);
  void unlink(uint32_t slot);
  void link_front(uint32_t slot);
  // The pool's list equal to `members` (added when new), with one more
  // entry counted against it; nullptr for no list.
  const ListBody* pool_acquire(const MemberStamps& members);
  void pool_release(const ListBody* body);
  // A handle to a list the pool holds.
  MemberStamps pooled_handle(const ListBody* body) const;

  // The one lock of every operation, held for a single lookup or store.
  // Queries reach the cache with the interpreter lock held, so nothing
  // contends it today; it keeps the cache sound for any other caller.
  std::mutex mu_;
  bool poisoned_ = false;
  std::vector<Slot> slots_;  // capacity kCapacity, never reallocated
  std::vector<Link> links_;  // one per slot
  std::vector<Cell> index_;
  uint32_t head_ = kNone;  // most recently used
  uint32_t tail_ = kNone;  // least recently used
  std::unordered_multimap<uint64_t, PooledList> pool_;  // by list hash
};

}  // namespace quor::analytics
