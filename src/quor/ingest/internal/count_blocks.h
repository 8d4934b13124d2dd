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

namespace quor::ingest::internal {

class CountBlocks {
 public:
  // How many counts the short list of a header holds.
  static constexpr uint32_t kShortListCapacity = 5;
  // What the tally reads of a block, together in one place: 32 bytes, the
  // settling state included, so that a million blocks stay at 32 MB.
  struct Header {
    uint64_t* counts;  // flat counts, or nullptr while they fit in the short list
    uint32_t cells;
    uint32_t batches;  // completed batches that touched it, not settled yet
    uint16_t short_size;
    uint16_t short_counts[kShortListCapacity];  // count numbers, one per count
  };
  static_assert(sizeof(Header) == 32);

  size_t size() const { return headers_.size(); }
  Header& operator[](uint32_t b) { return headers_[b]; }
  const Header& operator[](uint32_t b) const { return headers_[b]; }

  // The flat counts come from `n` separate stores of chunks (at least one),
  // so that as many threads may make blocks flat at once, each through its
  // own store. Call before the first block.
  void set_stores(size_t n);
  // A new empty block of `cells` cells; its number.
  uint32_t add(uint32_t cells);
  // Adds one to count `c` of block `b`: into its short list while that has
  // room, else into its flat counts (made from store `store` when it has
  // none yet; see make_flat).
  void count(uint32_t b, uint32_t c, size_t store = 0) {
    Header& h = headers_[b];
    if (h.counts == nullptr) {
      if (h.short_size < kShortListCapacity) {
        h.short_counts[h.short_size++] = static_cast<uint16_t>(c);
        return;
      }
      make_flat(b, store);
    }
    ++h.counts[c];
  }
  // Gives block `b` its flat counts from store `store`, holding what its
  // short list held, and returns them. Two threads may call it at once for
  // different blocks and different stores.
  uint64_t* make_flat(uint32_t b, size_t store = 0);
  // The counts of block `b` as the store adds them; a block of short-list
  // counts is laid out flat as far as its highest listed cell, in storage
  // that holds until this thread's next call.
  store::CellCounts counts(uint32_t b, bool categorical) const;
  // Block `b` holds no counts again.
  void clear(uint32_t b);
  // Every block and its counts go.
  void drop();
  // The headers of blocks [0, b) are not read again (their flat counts
  // stay until drop()): their pages go back to the system.
  void release_headers_before(uint32_t b) { headers_.release_front(b); }

 private:
  // A store's chunks double from 64 KB to 4 MB: a small ingest (or one of
  // many stores) holds little, and a large one gets large pages (a page
  // fault per 2 MB rather than per 4 KB).
  struct Store {
    std::vector<util::PageArray<uint64_t>> chunks;  // their storage never moves
    uint64_t* next = nullptr;
    size_t left = 0;
  };
  util::PageArray<Header> headers_;
  std::vector<Store> stores_ = std::vector<Store>(1);
};

}  // namespace quor::ingest::internal
