// The dimension keys of one ingest as small integers.
//
// Every key dimension interns its labels (the bucketed texts; a dimension
// without a granularity has its texts as labels), numbered in the order they
// are first interned. Because a label buckets to itself, a text found among
// the labels is its own label: only texts that are not labels need bucketing
// before their lookup. A record's key is then the tuple of its label ids,
// looked up in an open-addressing table that compares integers, never
// texts. Keys are numbered in the order they are first interned.
//
// Lookups (find_*) only read and may run on many threads at once, as long
// as nobody interns meanwhile; interning runs on one thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quor/util/hash.h"
#include "quor/util/page_array.h"
#include "quor/util/text_dictionary.h"

namespace quor::ingest::internal {

constexpr uint32_t kNoLabel = UINT32_MAX;

class KeyTable {
 public:
  // `ndims`: the number of key dimensions (one per distinct dimension name).
  explicit KeyTable(size_t ndims);

  size_t num_dims() const { return dims_.size(); }
  size_t num_keys() const { return num_keys_; }

  static uint64_t text_hash(std::string_view text) { return util::text_hash(text); }
  // The id of label `label` of key dimension d, or kNoLabel; `hash` is
  // text_hash(label), here and in intern_label.
  uint32_t find_label(size_t d, std::string_view label, uint64_t hash) const;
  // Starts fetching what find_label(d, label, ...) reads first, for a
  // lookup that follows shortly.
  void prefetch_label(size_t d, std::string_view label) const { dims_[d].prefetch(label); }
  // Interns `label` (returns the known id when it is known already).
  uint32_t intern_label(size_t d, std::string_view label, uint64_t hash);
  std::string_view label_text(size_t d, uint32_t id) const { return dims_[d].text(id); }
  size_t label_count(size_t d) const { return dims_[d].size(); }
  // The text bytes of labels [first, last) of key dimension d.
  size_t label_bytes(size_t d, uint32_t first, uint32_t last) const { return dims_[d].text_bytes(first, last); }

  static uint64_t key_hash(const uint32_t* labels, size_t ndims);
  // The number of the key with these label ids (num_dims() of them), or -1;
  // `hash` is key_hash(labels, num_dims()), here and in intern_key.
  int64_t find_key(const uint32_t* labels, uint64_t hash) const;
  uint32_t intern_key(const uint32_t* labels, uint64_t hash);
  // Fetch ahead what find_key(labels, hash) will read: the first slot, and
  // (once that slot is in cache) the labels of the key it holds. Read only;
  // nothing to fetch while the table has no slots (one key dimension keeps
  // its keys by label instead).
  void prefetch_key_slot(uint64_t hash) const {
    if (key_slots_.empty()) return;
    __builtin_prefetch(key_slots_.data() + (hash & (key_slots_.size() - 1)));
  }
  void prefetch_key_labels(uint64_t hash) const {
    if (key_slots_.empty()) return;
    const uint64_t s = key_slots_[hash & (key_slots_.size() - 1)];
    if (s != 0) __builtin_prefetch(key_labels_.data() + static_cast<size_t>(static_cast<uint32_t>(s) - 1) * dims_.size());
  }
  const uint32_t* labels_of(uint32_t key) const { return key_labels_.data() + key * dims_.size(); }

 private:
  // Places key number `key` with hash `hash` in key_slots_.
  void place_key(uint64_t hash, uint32_t key);

  std::vector<util::TextDictionary> dims_;  // per key dimension, its labels
  // The per-key tables reach tens of megabytes in a high-cardinality
  // ingest, so they grow without holding two copies.
  util::PageArray<uint32_t> key_labels_;  // num_dims() per key
  size_t num_keys_ = 0;
  // Open addressing, at most three quarters full (the tag keeps a probe
  // past a neighbour cheap): (hash high half << 32) | (key + 1); 0 empty.
  // Unused with one key dimension: there a key is found by its label.
  util::PageArray<uint64_t> key_slots_;
  // One key dimension: per label id, its key + 1 (0 none). A label is its
  // key's whole tuple, so an array replaces the search (8 bytes a key
  // instead of 17, and no probe: the 10^7-id file has a key per row).
  util::PageArray<uint32_t> label_key_;
};

}  // namespace quor::ingest::internal
