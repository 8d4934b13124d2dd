// The count blocks of a batched apply and the tally that fills them: each
// record's cells go to the blocks of its key (one per variable), counted in
// place when the blocks are few enough to stay in cache, else gathered by
// cache line and added on the pool.
#include "quor/ingest/batch_applier.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/worker_pool.h"

namespace quor::ingest::internal {

namespace {

std::atomic<uint64_t> g_known_key_tallies{0};
std::atomic<uint64_t> g_pending_keys_found{0};

constexpr size_t kChunkCounts = size_t(1) << 18;
// Past this many blocks the tally fetches block numbers and headers ahead
// (see tally).
constexpr size_t kPrefetchBlocks = size_t(1) << 16;

}  // namespace

uint64_t known_key_tallies_for_testing() { return g_known_key_tallies.load(); }
uint64_t pending_keys_found_for_testing() { return g_pending_keys_found.load(); }

uint32_t BatchApplier::block_of(uint32_t key, size_t var) {
  uint32_t& slot = key_block_[static_cast<size_t>(key) * variable_count_ + var];
  if (slot != 0) return slot - 1;
  const size_t ncells = compiled_.num_slots_of(var);
  const uint32_t b = static_cast<uint32_t>(hot_.size());
  hot_.push_back({nullptr, 0, static_cast<uint32_t>(ncells), 0, 0, {}});
  block_var_.push_back(static_cast<uint32_t>(var));
  block_key_.push_back(key);
  block_dist_.push_back(0);
  block_last_.push_back(0);
  slot = b + 1;
  // Tallied next, so its place in the used list is the list's size now.
  created_.emplace_back(b, static_cast<uint32_t>(used_.size()));
  // Count numbers past a u16 cannot be listed.
  if (ncells + 2 > UINT16_MAX) make_flat(b);
  return b;
}

void BatchApplier::make_flat(uint32_t b) {
  HotBlock& hot = hot_[b];
  const size_t need = hot.cells + size_t(2);
  if (need > chunk_left_) {
    const size_t size = std::max(need, kChunkCounts);
    chunks_.push_back(util::make_zeroed_words(size));
    chunk_next_ = chunks_.back().get();
    chunk_left_ = size;
  }
  hot.counts = chunk_next_;
  chunk_next_ += need;
  chunk_left_ -= need;
  key_cells_[static_cast<size_t>(block_key_[b]) * variable_count_ + block_var_[b]].counts = hot.counts;
  for (uint16_t i = 0; i < hot.nlisted; ++i) ++hot.counts[hot.listed[i]];
  hot.nlisted = 0;
}

void BatchApplier::add_to_block(uint32_t b, uint32_t c, int delta) {
  HotBlock& hot = hot_[b];
  if (hot.counts != nullptr) {
    hot.counts[c] += static_cast<uint64_t>(static_cast<int64_t>(delta));
  } else if (delta > 0) {
    if (hot.nlisted == kListed) {
      make_flat(b);
      ++hot.counts[c];
    } else {
      hot.listed[hot.nlisted++] = static_cast<uint16_t>(c);
    }
  } else {
    // One count c taken out: the list is a multiset, its order is free.
    for (uint16_t i = 0; i < hot.nlisted; ++i) {
      if (hot.listed[i] != c) continue;
      hot.listed[i] = hot.listed[--hot.nlisted];
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

store::CellCounts BatchApplier::block_counts(uint32_t b) const {
  const HotBlock& hot = hot_[b];
  const size_t n = hot.cells;
  store::CellCounts out;
  out.categorical = compiled_.vars[block_var_[b]].categorical;
  if (hot.counts != nullptr) {
    const uint64_t* c = hot.counts;
    out.cells = std::span<const uint64_t>(c, n);
    out.unknown = c[n];
    out.total_only = c[n + 1];
    return out;
  }
  // A listed block in flat form, as far as its highest listed cell (the
  // cells after it hold nothing). Used before this thread's next call.
  thread_local std::vector<uint64_t> flat;
  size_t used = 0;
  for (uint16_t i = 0; i < hot.nlisted; ++i)
    if (hot.listed[i] < n) used = std::max<size_t>(used, hot.listed[i] + size_t(1));
  flat.assign(used, 0);
  for (uint16_t i = 0; i < hot.nlisted; ++i) {
    const uint32_t c = hot.listed[i];
    if (c < n) ++flat[c];
    else if (c == n) ++out.unknown;
    else ++out.total_only;
  }
  out.cells = std::span<const uint64_t>(flat.data(), used);
  return out;
}

void BatchApplier::clear_block(uint32_t b) {
  HotBlock& hot = hot_[b];
  if (hot.counts != nullptr) std::memset(hot.counts, 0, (hot.cells + 2) * sizeof(uint64_t));
  hot.nlisted = 0;
}

void BatchApplier::recount_batch(int delta) {
  const BatchUpdates& u = updates_;
  for (size_t k = 0; k < tallied_; ++k) {
    if (!u.present[k]) continue;
    const int64_t* slots = u.slots.data() + k * variable_count_;
    for (size_t v = 0; v < variable_count_; ++v) {
      const int64_t s = slots[v];
      if (s == kNoSlot) continue;
      const size_t av = compiled_.acc_var[v];
      if (compiled_.vars[v].categorical != compiled_.vars[av].categorical) continue;
      const uint32_t b = key_block_[static_cast<size_t>(record_key_[k]) * variable_count_ + av] - 1;
      add_to_block(b, count_index(hot_[b].cells, s), delta);
    }
  }
}

void BatchApplier::compute_updates(const ObservationSource& src, size_t begin, size_t end,
                                   bool lines) {
  const uint64_t first_id = db_.meta.next_raw_record_id;
  for (Ahead& a : ahead_) {
    if (!a.holds_step(&src, begin, end, lines, first_id)) continue;
    wait_ahead(a);
    std::swap(updates_, a.updates);
    a.holds = false;
    if (a.interned != interned_) find_pending_keys();
    return;
  }
  drop_ahead();
  compute_batch(compiled_, src, begin, end, lines, first_id, updates_, &keys_, &scratches_);
}

void BatchApplier::find_pending_keys() {
  BatchUpdates& u = updates_;
  const size_t nkd = u.nkeydims;
  for (size_t k = 0; k < u.n; ++k) {
    // The labels of a record a few ahead are fetched (a high-cardinality
    // input has a new label in almost every record: 10^7 ids, 1.5 s).
    if (const size_t ka = k + kPrefetchDistance; ka < u.n && u.present[ka] && u.key_id[ka] < 0)
      for (size_t i = 0; i < nkd; ++i)
        if (u.labels[ka * nkd + i] == kNoLabel) keys_.prefetch_label(i, pending_label(u.pending[ka], i));
    if (!u.present[k] || u.key_id[k] >= 0) continue;
    uint32_t* labels = u.labels.data() + k * nkd;
    bool all = true;
    for (size_t i = 0; i < nkd; ++i) {
      if (labels[i] != kNoLabel) continue;
      const std::string_view label = pending_label(u.pending[k], i);
      labels[i] = keys_.find_label(i, label, KeyTable::text_hash(label));
      all = all && labels[i] != kNoLabel;
    }
    if (!all) continue;
    u.key_id[k] = keys_.find_key(labels, KeyTable::key_hash(labels, nkd));
    if (u.key_id[k] < 0) continue;
    u.has_pending[k] = 0;
    g_pending_keys_found.fetch_add(1, std::memory_order_relaxed);
  }
}

void BatchApplier::count_hits() {
  // Each share of the cells goes to one of the pool's threads, so every
  // thread's cells stay in its cache and no two threads write one line.
  size_t total = 0;
  for (const auto& part : hits_) total += part.size();
  if (total < 8192 || hits_.size() < 2) {
    for (const auto& part : hits_)
      for (uint64_t* c : part) ++*c;
  } else {
    worker_arena().execute([&] {
      oneapi::tbb::parallel_for(size_t(0), hits_.size(), [&](size_t t) {
        for (uint64_t* c : hits_[t]) ++*c;
      });
    });
  }
  for (auto& part : hits_) part.clear();
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

bool BatchApplier::tally(bool refuse, BatchCounters& counters) {
  used_.clear();
  created_.clear();
  tallied_ = 0;
  if (!refuse && tally_known_keys(counters)) return true;
  const BatchUpdates& u = updates_;
  const size_t n = u.n, nkd = u.nkeydims;
  record_key_.resize(n);
  std::vector<uint32_t> labels(nkd);
  // With many keys, a record's block numbers and block header are rarely
  // in cache: they are fetched a few records ahead, the block numbers of a
  // record whose key is known first, its block headers once those arrived.
  const bool ahead = hot_.size() >= kPrefetchBlocks;
  // Few blocks stay in this thread's cache: their cells are counted here at
  // once instead of being handed to the pool.
  const bool direct = !ahead;
  for (size_t k = 0; k < n; ++k) {
    if (ahead) {
      if (k + 2 * kPrefetchDistance < n && u.key_id[k + 2 * kPrefetchDistance] >= 0)
        __builtin_prefetch(key_block_.data() +
                           static_cast<size_t>(u.key_id[k + 2 * kPrefetchDistance]) * variable_count_);
      if (k + kPrefetchDistance < n && u.key_id[k + kPrefetchDistance] >= 0 &&
          static_cast<size_t>(u.key_id[k + kPrefetchDistance]) * variable_count_ < key_block_.size()) {
        const uint32_t* near = key_block_.data() +
                               static_cast<size_t>(u.key_id[k + kPrefetchDistance]) * variable_count_;
        for (size_t v = 0; v < variable_count_; ++v)
          if (near[v] != 0) __builtin_prefetch(&hot_[near[v] - 1]);
      }
    } else if (k + kPrefetchDistance < n && u.key_id[k + kPrefetchDistance] >= 0) {
      // Few blocks: their headers stay in cache, their cells may not; the
      // cells of a record a few ahead are fetched.
      const size_t ka = k + kPrefetchDistance;
      const size_t base = static_cast<size_t>(u.key_id[ka]) * variable_count_;
      if (base < key_block_.size()) {
        const int64_t* slots = u.slots.data() + ka * variable_count_;
        for (size_t v = 0; v < variable_count_; ++v) {
          const uint32_t av = tally_var_[v];
          if (slots[v] < 0 || av == UINT32_MAX) continue;
          const uint32_t b = key_block_[base + av];
          if (b != 0 && hot_[b - 1].counts != nullptr &&
              static_cast<size_t>(slots[v]) < hot_[b - 1].cells)
            __builtin_prefetch(hot_[b - 1].counts + slots[v], 1);
        }
      }
    }
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
    uint32_t key;
    if (u.key_id[k] >= 0) {
      key = static_cast<uint32_t>(u.key_id[k]);
    } else {
      if (nkd > 0) std::memcpy(labels.data(), u.labels.data() + k * nkd, nkd * sizeof(uint32_t));
      for (size_t i = 0; i < nkd; ++i) {
        if (labels[i] != kNoLabel) continue;
        const std::string_view label = pending_label(u.pending[k], i);
        labels[i] = keys_.intern_label(i, label, KeyTable::text_hash(label));
      }
      key = keys_.intern_key(labels.data(), KeyTable::key_hash(labels.data(), nkd));
      interned_ = batches_begun_;
      if (keys_.num_keys() * variable_count_ > key_block_.size()) {
        key_block_.resize(keys_.num_keys() * variable_count_, 0);
        key_cells_.resize(keys_.num_keys() * variable_count_);
        key_joint_.resize(keys_.num_keys() * joint_count_, 0);
      }
    }
    record_key_[k] = key;
    const int64_t* slots = u.slots.data() + k * variable_count_;
    const uint32_t* key_blocks = key_block_.data() + static_cast<size_t>(key) * variable_count_;
    for (size_t v = 0; v < variable_count_; ++v) {
      const int64_t s = slots[v];
      if (s == kNoSlot) continue;
      const uint32_t av = tally_var_[v];
      if (av == UINT32_MAX) continue;
      const uint32_t b = key_blocks[av] != 0 ? key_blocks[av] - 1 : block_of(key, av);
      HotBlock& hot = hot_[b];
      if (hot.seen != batch_) {
        hot.seen = batch_;
        used_.push_back(b);
      }
      const uint32_t c = count_index(hot.cells, s);
      if (hot.counts == nullptr) {
        if (hot.nlisted < kListed) {
          hot.listed[hot.nlisted++] = static_cast<uint16_t>(c);
          continue;
        }
        make_flat(b);
      }
      uint64_t* cell = hot.counts + c;
      if (direct) ++*cell;
      else hits_[(reinterpret_cast<uintptr_t>(cell) >> 6) & hit_mask_].push_back(cell);
    }
    ++counters.processed;
  }
  tallied_ = n;
  count_hits();
  counters.distributions_updated = used_.size();
  return true;
}

}  // namespace quor::ingest::internal
