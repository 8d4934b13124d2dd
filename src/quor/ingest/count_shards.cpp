#include "quor/ingest/internal/count_shards.h"

#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/internal/worker_pool.h"

namespace quor::ingest::internal {

namespace {

// Below this many counts in all, one thread counts them all: waking the
// pool costs more.
constexpr size_t kPoolCounts = 4096;
// How many handed counts ahead a shard fetches a block's header, and then
// its count.
constexpr size_t kHeaderAhead = 16, kCountAhead = 8;

}  // namespace

CountShards::CountShards(size_t shards) {
  size_t n = 1;
  while (n < shards) n *= 2;
  shards_.resize(n);
  mask_ = n - 1;
}

void CountShards::count_shard(CountBlocks& blocks, Shard& shard, size_t store) {
  const std::vector<uint64_t>& handed = shard.handed;
  const size_t n = handed.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kHeaderAhead < n) __builtin_prefetch(&blocks[static_cast<uint32_t>(handed[i + kHeaderAhead] >> 32)]);
    if (i + kCountAhead < n) {
      const CountBlocks::Header& h = blocks[static_cast<uint32_t>(handed[i + kCountAhead] >> 32)];
      if (h.counts != nullptr) __builtin_prefetch(h.counts + static_cast<uint32_t>(handed[i + kCountAhead]), 1);
    }
    const uint32_t b = static_cast<uint32_t>(handed[i] >> 32);
    const bool listed = blocks[b].counts == nullptr;
    blocks.count(b, static_cast<uint32_t>(handed[i]), store);
    if (listed && blocks[b].counts != nullptr) shard.made_flat.push_back(b);
  }
  shard.handed.clear();
}

void CountShards::count(CountBlocks& blocks, std::vector<uint32_t>& made_flat) {
  size_t total = 0;
  for (const Shard& s : shards_) total += s.handed.size();
  if (total < kPoolCounts || shards_.size() == 1) {
    for (size_t s = 0; s < shards_.size(); ++s) count_shard(blocks, shards_[s], s);
  } else {
    worker_arena().execute([&] {
      oneapi::tbb::parallel_for(size_t(0), shards_.size(),
                                [&](size_t s) { count_shard(blocks, shards_[s], s); });
    });
  }
  for (Shard& s : shards_) {
    made_flat.insert(made_flat.end(), s.made_flat.begin(), s.made_flat.end());
    s.made_flat.clear();
  }
}

void CountShards::clear() {
  for (Shard& s : shards_) {
    s.handed.clear();
    s.made_flat.clear();
  }
}

}  // namespace quor::ingest::internal
