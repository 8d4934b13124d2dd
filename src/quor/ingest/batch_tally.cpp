// The tally of a batched apply: each record's cells go to the count blocks
// of its key (one per variable), counted in place when the blocks are few
// enough to stay in cache, else handed to shards of blocks counted on the
// pool.
#include "quor/ingest/internal/batch_applier.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/internal/worker_pool.h"

namespace quor::ingest::internal {

namespace {

std::atomic<uint64_t> g_known_key_tallies{0};

// Past this many blocks the tally counts by shards on the pool (see tally).
constexpr size_t kPrefetchBlocks = size_t(1) << 16;

}  // namespace

uint64_t known_key_tallies_for_testing() { return g_known_key_tallies.load(); }

uint32_t BatchApplier::block_of(uint32_t key, size_t var) {
  uint32_t& slot = key_block_[static_cast<size_t>(key) * variable_count_ + var];
  if (slot != 0) return slot - 1;
  const uint32_t b = blocks_.add(static_cast<uint32_t>(compiled_.num_slots_of(var)));
  block_var_.push_back(static_cast<uint32_t>(var));
  block_key_.push_back(key);
  block_dist_.push_back(0);
  block_last_.push_back(0);
  slot = b + 1;
  if (blocks_[b].counts != nullptr)
    key_cells_[static_cast<size_t>(key) * variable_count_ + var].counts = blocks_[b].counts;
  // Tallied next, so its place in the used list is the list's size now.
  created_.emplace_back(b, static_cast<uint32_t>(used_.size()));
  return b;
}

void BatchApplier::make_flat(uint32_t b) {
  key_cells_[static_cast<size_t>(block_key_[b]) * variable_count_ + block_var_[b]].counts =
      blocks_.make_flat(b);
}

void BatchApplier::add_to_block(uint32_t b, uint32_t c, int delta) {
  CountBlocks::Header& block = blocks_[b];
  if (block.counts != nullptr) {
    block.counts[c] += static_cast<uint64_t>(static_cast<int64_t>(delta));
  } else if (delta > 0) {
    if (block.short_size == CountBlocks::kShortListCapacity) {
      make_flat(b);
      ++block.counts[c];
    } else {
      block.short_counts[block.short_size++] = static_cast<uint16_t>(c);
    }
  } else {
    // One count c taken out: the list is a multiset, its order is free.
    for (uint16_t i = 0; i < block.short_size; ++i) {
      if (block.short_counts[i] != c) continue;
      block.short_counts[i] = block.short_counts[--block.short_size];
      break;
    }
  }
}

void BatchApplier::fill_map(uint32_t key) {
  if (scratch_map_.size() != compiled_.key_dims.size()) {
    scratch_map_.clear();
    for (size_t d : compiled_.key_dims) scratch_map_.emplace(compiled_.schema.dimensions[d].name, std::string());
  }
  const uint32_t* labels = keys_.labels_of(key);
  size_t i = 0;
  for (auto& [name, value] : scratch_map_) {
    value = keys_.label_text(i, labels[i]);
    ++i;
  }
}

void BatchApplier::recount_batch(int delta) {
  const BatchUpdates& u = updates_;
  for (size_t k = 0; k < tallied_; ++k) {
    if (!u.present[k]) continue;
    const int64_t* slots = u.slots.data() + k * variable_count_;
    for (size_t v = 0; v < variable_count_; ++v) {
      const int64_t s = slots[v];
      if (s == kNoSlot) continue;
      const uint32_t av = tally_var_[v];
      if (av == UINT32_MAX) continue;
      const uint32_t b = key_block_[static_cast<size_t>(record_key_[k]) * variable_count_ + av] - 1;
      add_to_block(b, count_index(blocks_[b].cells, s), delta);
    }
  }
}

void BatchApplier::count_shards() {
  shards_.count(blocks_, made_flat_);
  for (uint32_t b : made_flat_)
    key_cells_[static_cast<size_t>(block_key_[b]) * variable_count_ + block_var_[b]].counts = blocks_[b].counts;
  made_flat_.clear();
}

bool BatchApplier::tally_known_keys(BatchCounters& counters) {
  const BatchUpdates& u = updates_;
  const size_t n = u.n, nv = variable_count_;
  if (after_failure_) return false;
  record_key_.resize(n);
  // The cells of record k: false when its key or one of its blocks is not
  // ready, else `add` called with each count to raise and its block.
  auto cells_of = [&](size_t k, auto&& add) {
    const int64_t key = u.key_id[k];
    if (key < 0) return false;
    KeyCells* cells = key_cells_.data() + static_cast<size_t>(key) * nv;
    const int64_t* slots = u.slots.data() + k * nv;
    for (size_t v = 0; v < nv; ++v)
      if (slots[v] != kNoSlot && tally_var_[v] != UINT32_MAX && cells[tally_var_[v]].counts == nullptr)
        return false;
    for (size_t v = 0; v < nv; ++v) {
      const int64_t s = slots[v];
      const uint32_t av = tally_var_[v];
      if (s == kNoSlot || av == UINT32_MAX) continue;
      add(cells[av], cells[av].counts + count_index(var_cells_[av], s),
          static_cast<size_t>(key) * nv + av);
    }
    return true;
  };
  size_t k = 0;
  uint64_t present = 0;
  for (; k < n; ++k) {
    // Two steps ahead: a record's cell pointers first, its counts once
    // those arrived; only records with an update have a key.
    if (const size_t kb = k + 2 * kPrefetchDistance; kb < n && u.present[kb] && u.key_id[kb] >= 0)
      __builtin_prefetch(key_cells_.data() + static_cast<size_t>(u.key_id[kb]) * nv);
    if (const size_t ka = k + kPrefetchDistance; ka < n && u.present[ka] && u.key_id[ka] >= 0) {
      const KeyCells* cells = key_cells_.data() + static_cast<size_t>(u.key_id[ka]) * nv;
      const int64_t* slots = u.slots.data() + ka * nv;
      for (size_t v = 0; v < nv; ++v) {
        const uint32_t av = tally_var_[v];
        if (slots[v] < 0 || av == UINT32_MAX || cells[av].counts == nullptr) continue;
        const uint64_t c = std::min<uint64_t>(static_cast<uint64_t>(slots[v]), var_cells_[av]);
        __builtin_prefetch(cells[av].counts + c, 1);
      }
    }
    if (!u.present[k]) continue;
    const bool ready = cells_of(k, [&](KeyCells& kc, uint64_t* cell, size_t at) {
      if (kc.seen != batch_) {
        kc.seen = batch_;
        used_.push_back(key_block_[at] - 1);
      }
      ++*cell;
    });
    if (!ready) break;
    record_key_[k] = static_cast<uint32_t>(u.key_id[k]);
    ++present;
  }
  if (k < n) {
    for (size_t j = 0; j < k; ++j)
      if (u.present[j]) cells_of(j, [](KeyCells&, uint64_t* cell, size_t) { --*cell; });
    // The full tally marks the same blocks again.
    for (uint32_t b : used_) key_cells_[static_cast<size_t>(block_key_[b]) * nv + block_var_[b]].seen = 0;
    used_.clear();
    return false;
  }
  g_known_key_tallies.fetch_add(1, std::memory_order_relaxed);
  tallied_ = n;
  counters.processed = present;
  counters.skipped = n - present;
  counters.distributions_updated = used_.size();
  return true;
}

void BatchApplier::prefetch_for_tally(size_t k, TallyFetch fetch) const {
  const BatchUpdates& u = updates_;
  const size_t n = u.n, nv = variable_count_;
  const size_t ka = k + kPrefetchDistance;
  if (fetch == TallyFetch::BlockNumbers) {
    // The block numbers and marks of a record whose key is known.
    if (ka < n && u.key_id[ka] >= 0 && static_cast<size_t>(u.key_id[ka]) * nv < key_block_.size()) {
      __builtin_prefetch(key_block_.data() + static_cast<size_t>(u.key_id[ka]) * nv);
      __builtin_prefetch(key_cells_.data() + static_cast<size_t>(u.key_id[ka]) * nv, 1);
    }
    return;
  }
  // Few blocks: their headers stay in cache, their cells may not.
  if (ka >= n || u.key_id[ka] < 0) return;
  const size_t base = static_cast<size_t>(u.key_id[ka]) * nv;
  if (base >= key_block_.size()) return;
  const int64_t* slots = u.slots.data() + ka * nv;
  for (size_t v = 0; v < nv; ++v) {
    const uint32_t av = tally_var_[v];
    if (slots[v] < 0 || av == UINT32_MAX) continue;
    const uint32_t b = key_block_[base + av];
    if (b != 0 && blocks_[b - 1].counts != nullptr && static_cast<size_t>(slots[v]) < blocks_[b - 1].cells)
      __builtin_prefetch(blocks_[b - 1].counts + slots[v], 1);
  }
}

uint32_t BatchApplier::intern_record_key(size_t k, std::vector<uint32_t>& labels) {
  const BatchUpdates& u = updates_;
  const size_t nkd = u.nkeydims;
  if (nkd > 0) std::memcpy(labels.data(), u.labels.data() + k * nkd, nkd * sizeof(uint32_t));
  for (size_t i = 0; i < nkd; ++i) {
    if (labels[i] != kNoLabel) continue;
    const std::string_view label = pending_label(u.pending[k], i);
    labels[i] = keys_.intern_label(i, label, KeyTable::text_hash(label));
  }
  const uint32_t key = keys_.intern_key(labels.data(), KeyTable::key_hash(labels.data(), nkd));
  steps_.note_interned();
  if (keys_.num_keys() * variable_count_ > key_block_.size()) {
    key_block_.resize(keys_.num_keys() * variable_count_, 0);
    key_cells_.resize(keys_.num_keys() * variable_count_);
    key_joint_.resize(keys_.num_keys() * joint_count_, 0);
  }
  return key;
}

void BatchApplier::intern_keys() {
  BatchUpdates& u = updates_;
  const size_t nkd = u.nkeydims;
  std::vector<uint32_t> labels(nkd);
  for (size_t k = 0; k < u.n; ++k) {
    // The labels of a record a few ahead are fetched, as find_pending_keys
    // does (10^7 ids: a new label in every record).
    if (const size_t ka = k + kPrefetchDistance; ka < u.n && u.present[ka] && u.key_id[ka] < 0)
      for (size_t i = 0; i < nkd; ++i)
        if (u.labels[ka * nkd + i] == kNoLabel) keys_.prefetch_label(i, pending_label(u.pending[ka], i));
    if (u.present[k] && u.key_id[k] < 0) u.key_id[k] = intern_record_key(k, labels);
  }
}

void BatchApplier::count_record(size_t k, uint32_t key, TallyCount how) {
  const int64_t* slots = updates_.slots.data() + k * variable_count_;
  const size_t base = static_cast<size_t>(key) * variable_count_;
  for (size_t v = 0; v < variable_count_; ++v) {
    const int64_t s = slots[v];
    if (s == kNoSlot) continue;
    const uint32_t av = tally_var_[v];
    if (av == UINT32_MAX) continue;
    const uint32_t b = key_block_[base + av] != 0 ? key_block_[base + av] - 1 : block_of(key, av);
    KeyCells& kc = key_cells_[base + av];
    if (kc.seen != batch_) {
      kc.seen = batch_;
      used_.push_back(b);
    }
    const uint32_t c = count_index(var_cells_[av], s);
    if (how == TallyCount::ByShards) {
      shards_.hand(b, c);
      continue;
    }
    const CountBlocks::Header& block = blocks_[b];
    if (block.counts == nullptr && block.short_size == CountBlocks::kShortListCapacity) make_flat(b);
    blocks_.count(b, c);
  }
}

bool BatchApplier::tally(LoggedWrites writes, BatchCounters& counters) {
  const bool refuse = writes == LoggedWrites::Refused;
  used_.clear();
  created_.clear();
  shards_.clear();  // what a tally cut short by a fault handed on
  tallied_ = 0;
  if (!refuse && tally_known_keys(counters)) return true;
  const BatchUpdates& u = updates_;
  const size_t n = u.n;
  record_key_.resize(n);
  std::vector<uint32_t> labels(u.nkeydims);
  const bool many = blocks_.size() >= kPrefetchBlocks || tuning_.sharded_tally == ShardedTally::Always;
  const TallyFetch fetch = many ? TallyFetch::BlockNumbers : TallyFetch::Cells;
  const TallyCount how = many ? TallyCount::ByShards : TallyCount::InPlace;
  for (size_t k = 0; k < n; ++k) {
    prefetch_for_tally(k, fetch);
    if (!u.present[k]) {
      ++counters.skipped;
      continue;
    }
    if (refuse) {
      // Logging is on and the database read-only: refused at the first
      // processed record, before anything is counted.
      tallied_ = k;
      return false;
    }
    const uint32_t key = u.key_id[k] >= 0 ? static_cast<uint32_t>(u.key_id[k]) : intern_record_key(k, labels);
    record_key_[k] = key;
    count_record(k, key, how);
    ++counters.processed;
  }
  tallied_ = n;
  count_shards();
  counters.distributions_updated = used_.size();
  return true;
}

}  // namespace quor::ingest::internal
