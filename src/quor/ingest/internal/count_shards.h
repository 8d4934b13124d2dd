// Internal to ingestion: the counting half of a large batch's tally, on the
// worker pool.
//
// The calling thread finds each record's blocks (interning keys and making
// blocks in record order, as the tally in place does) and hands each count,
// as (block, count number), to the shard of its block. Then each shard is
// counted by one task, through a store of flat counts of its own
// (CountBlocks::set_stores), so no two tasks write one block, nor one line
// of block headers (two 32-byte headers share a line, and one shard takes
// both). Within a block the counts arrive in record order, so every block
// ends as the tally in place leaves it, short list and flat counts alike.
//
// Buys, on the 3 M-row flights CSV (monthly buckets, 136 k blocks, 8
// threads, phase timers, load 2-5): the tally's time on the calling thread,
// its key interning left out, 200-216 ms when the headers were read and the
// short lists written there (only the flat cells went to the pool), 179-199
// ms with the shards. Counting the shards in a task that ran beside the
// resolve of the distributions cut the calling thread's tally to 124-141 ms
// but measured slower end to end (median 1.15 against 1.04 s, load 8-10:
// the task, the next step and the raw-log write contend for the pool), and
// was left out.
#pragma once

#include <cstdint>
#include <vector>

#include "quor/ingest/internal/count_blocks.h"

namespace quor::ingest::internal {

class CountShards {
 public:
  // `shards` is rounded up to a power of two (at least 1).
  explicit CountShards(size_t shards);

  size_t size() const { return shards_.size(); }
  void hand(uint32_t block, uint32_t count) {
    shards_[(block >> 1) & mask_].handed.push_back(static_cast<uint64_t>(block) << 32 | count);
  }
  // Counts everything handed into `blocks` (whose stores number at least
  // size()), on the pool when there is enough of it, and forgets it. The
  // blocks made flat on the way are appended to `made_flat`, in no
  // particular order.
  void count(CountBlocks& blocks, std::vector<uint32_t>& made_flat);
  // Forgets what was handed without counting it.
  void clear();

 private:
  struct Shard {
    std::vector<uint64_t> handed;  // block << 32 | count number
    std::vector<uint32_t> made_flat;
  };
  static void count_shard(CountBlocks& blocks, Shard& shard, size_t store);

  std::vector<Shard> shards_;
  size_t mask_ = 0;
};

}  // namespace quor::ingest::internal
