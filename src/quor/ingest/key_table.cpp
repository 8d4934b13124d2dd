#include "quor/ingest/internal/key_table.h"

#include <cstring>

#include "quor/util/linear_probe.h"

namespace quor::ingest::internal {

namespace {

// The smallest key table size that holds `live` keys at most three
// quarters full.
size_t key_slot_count(size_t live) {
  size_t n = 64;
  while (live * 4 > n * 3) n *= 2;
  return n;
}

}  // namespace

KeyTable::KeyTable(size_t ndims) : dims_(ndims) {
  if (ndims != 1) key_slots_.assign_zeroed(key_slot_count(0));
}

uint32_t KeyTable::find_label(size_t d, std::string_view label, uint64_t hash) const {
  const uint32_t id = dims_[d].find(label, hash);
  return id == util::TextDictionary::kAbsent ? kNoLabel : id;
}

uint32_t KeyTable::intern_label(size_t d, std::string_view label, uint64_t hash) {
  return dims_[d].intern(label, hash).first;
}

uint64_t KeyTable::key_hash(const uint32_t* labels, size_t ndims) {
  // Two labels a word: a key of one or two dimensions is one integer.
  uint64_t h = ndims;
  for (size_t i = 0; i < ndims; i += 2) {
    const uint64_t pair = labels[i] | (i + 1 < ndims ? uint64_t{labels[i + 1]} << 32 : 0);
    h = util::mix_bits(h ^ pair);
  }
  return h;
}

int64_t KeyTable::find_key(const uint32_t* labels, uint64_t hash) const {
  const size_t nd = dims_.size();
  if (nd == 1) return labels[0] < label_key_.size() ? int64_t{label_key_[labels[0]]} - 1 : -1;
  const uint64_t tag = hash >> 32;
  const uint64_t s = key_slots_[util::probe_find(key_slots_.data(), key_slots_.size() - 1, hash, [&](uint64_t slot) {
    if ((slot >> 32) != tag) return false;
    const uint32_t* have = key_labels_.data() + static_cast<size_t>(static_cast<uint32_t>(slot) - 1) * nd;
    size_t i = 0;
    while (i < nd && have[i] == labels[i]) ++i;
    return i == nd;
  })];
  return s == 0 ? -1 : int64_t{static_cast<uint32_t>(s) - 1};
}

void KeyTable::place_key(uint64_t hash, uint32_t key) {
  key_slots_[util::probe_free(key_slots_.data(), key_slots_.size() - 1, hash)] =
      ((hash >> 32) << 32) | (uint64_t{key} + 1);
}

uint32_t KeyTable::intern_key(const uint32_t* labels, uint64_t hash) {
  if (const int64_t known = find_key(labels, hash); known >= 0) return static_cast<uint32_t>(known);
  const uint32_t key = static_cast<uint32_t>(num_keys_);
  const size_t nd = dims_.size();
  key_labels_.append(labels, nd);
  ++num_keys_;
  if (nd == 1) {
    if (labels[0] >= label_key_.size()) label_key_.resize(size_t{labels[0]} + 1, 0);
    label_key_[labels[0]] = key + 1;
    return key;
  }
  if (key_slot_count(num_keys_) > key_slots_.size()) {
    // The hashes are recomputed from the labels rather than kept: a rehash
    // is rare, a kept hash is eight bytes for every key.
    key_slots_.assign_zeroed(key_slot_count(num_keys_));
    for (uint32_t k = 0; k < num_keys_; ++k) place_key(key_hash(labels_of(k), nd), k);
  } else {
    place_key(hash, key);
  }
  return key;
}

}  // namespace quor::ingest::internal
