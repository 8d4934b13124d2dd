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
// threads, load 3-5): the tally's time on the calling thread 243-260 ms
// before (headers read and counts raised there, the flat cells gathered for
// the pool), see the report of this change for after.
#pragma once

#include <cstdint>
#include <vector>

#include "quor/ingest/count_blocks.h"

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
