// Internal to ingestion: the count blocks of a batched apply.
//
// One block per (key, variable) that a batch touched, for the whole ingest:
// the counts of one marginal distribution that the completed batches added
// and that are not in the stored distribution yet. A block's first few
// counts are kept as a short list of count numbers inside its 32-byte header
// (most keys of a high-cardinality input are seen a handful of times); a
// block that outgrows the list gets flat counts, taken from large zeroed
// chunks. The counts of a block are its cells, then the unknown count, then
// the count of records with no cell (the total only).
#pragma once

#include <cstdint>
#include <vector>

#include "quor/store/database.h"
#include "quor/util/page_array.h"
#include "quor/util/zeroed_words.h"

namespace quor::ingest::internal {

class CountBlocks {
 public:
  // How many counts the short list of a header holds.
  static constexpr uint32_t kShortListCapacity = 5;
  // What the tally reads of a block, together in one place: 32 bytes, the
  // settling state included, so that a million blocks stay at 32 MB.
  struct Header {
    uint64_t* counts;  // flat counts, or nullptr while they fit in the short list
    uint32_t seen;     // the last batch that touched it
    uint32_t cells;
    uint32_t batches;  // completed batches that touched it, not settled yet
    uint16_t short_size;
    uint16_t short_counts[kShortListCapacity];  // count numbers, one per count
  };
  static_assert(sizeof(Header) == 32);

  size_t size() const { return headers_.size(); }
  Header& operator[](uint32_t b) { return headers_[b]; }
  const Header& operator[](uint32_t b) const { return headers_[b]; }

  // A new empty block of `cells` cells; its number.
  uint32_t add(uint32_t cells);
  // Gives block `b` its flat counts, holding what its short list held, and
  // returns them.
  uint64_t* make_flat(uint32_t b);
  // The counts of block `b` as the store adds them; a block of short-list
  // counts is laid out flat as far as its highest listed cell, in storage
  // that holds until this thread's next call.
  store::CellCounts counts(uint32_t b, bool categorical) const;
  // Block `b` holds no counts again.
  void clear(uint32_t b);
  // No block was seen by any batch (the batch numbers start over).
  void forget_seen();
  // Every block and its counts go.
  void drop();

 private:
  util::PageArray<Header> headers_;
  std::vector<util::ZeroedWords> chunks_;  // never moved
  uint64_t* chunk_next_ = nullptr;
  size_t chunk_left_ = 0;
};

}  // namespace quor::ingest::internal
