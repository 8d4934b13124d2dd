#include "quor/ingest/key_table.h"

#include <cstring>

namespace quor::ingest::internal {

namespace {

template <class Slot>
std::vector<Slot> empty_slots(size_t live) {
  size_t n = 64;
  while (n < live * 2 + 2) n *= 2;
  return std::vector<Slot>(n, 0);
}

// The smallest key table size that holds `live` keys at most three
// quarters full.
size_t key_slot_count(size_t live) {
  size_t n = 64;
  while (live * 4 > n * 3) n *= 2;
  return n;
}

}  // namespace

KeyTable::KeyTable(size_t ndims) : dims_(ndims) {
  for (auto& d : dims_) d.slots = empty_slots<uint32_t>(0);
  key_slots_.assign_zeroed(key_slot_count(0));
}

uint32_t KeyTable::find_label(size_t d, std::string_view raw, uint64_t hash) const {
  const Dim& dim = dims_[d];
  const size_t mask = dim.slots.size() - 1;
  for (size_t p = hash & mask;; p = (p + 1) & mask) {
    const uint32_t s = dim.slots[p];
    if (s == 0) return kNoLabel;
    const RawEntry& e = dim.raws[s - 1];
    if (e.hash == hash && e.length == raw.size() &&
        bytes_equal(dim.bytes.data() + e.offset, raw.data(), raw.size()))
      return e.label;
  }
}

uint32_t KeyTable::intern_label(size_t d, std::string_view raw, uint64_t hash,
                                std::string_view label) {
  if (const uint32_t known = find_label(d, raw, hash); known != kNoLabel) return known;
  Dim& dim = dims_[d];
  auto [it, added] = dim.label_ids.try_emplace(std::string(label), static_cast<uint32_t>(dim.labels.size()));
  if (added) dim.labels.emplace_back(label);
  dim.raws.push_back({hash, dim.bytes.size(), static_cast<uint32_t>(raw.size()), it->second});
  dim.bytes.append(raw);
  if (dim.raws.size() * 2 > dim.slots.size()) {
    dim.slots = empty_slots<uint32_t>(dim.raws.size());
    const size_t mask = dim.slots.size() - 1;
    for (size_t i = 0; i < dim.raws.size(); ++i) {
      size_t p = dim.raws[i].hash & mask;
      while (dim.slots[p] != 0) p = (p + 1) & mask;
      dim.slots[p] = static_cast<uint32_t>(i + 1);
    }
  } else {
    const size_t mask = dim.slots.size() - 1;
    size_t p = hash & mask;
    while (dim.slots[p] != 0) p = (p + 1) & mask;
    dim.slots[p] = static_cast<uint32_t>(dim.raws.size());
  }
  return it->second;
}

uint64_t KeyTable::key_hash(const uint32_t* labels, size_t ndims) {
  uint64_t h = 0x9E3779B97F4A7C15ull * (ndims + 1);
  for (size_t i = 0; i < ndims; ++i) {
    h = (h ^ labels[i]) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 32);
}

int64_t KeyTable::find_key(const uint32_t* labels, uint64_t hash) const {
  const size_t nd = dims_.size();
  const size_t mask = key_slots_.size() - 1;
  const uint64_t tag = hash >> 32;
  for (size_t p = hash & mask;; p = (p + 1) & mask) {
    const uint64_t s = key_slots_[p];
    if (s == 0) return -1;
    if ((s >> 32) != tag) continue;
    const uint32_t key = static_cast<uint32_t>(s) - 1;
    const uint32_t* have = key_labels_.data() + static_cast<size_t>(key) * nd;
    size_t i = 0;
    while (i < nd && have[i] == labels[i]) ++i;
    if (i == nd) return key;
  }
}

void KeyTable::place_key(uint64_t hash, uint32_t key) {
  const size_t mask = key_slots_.size() - 1;
  size_t p = hash & mask;
  while (key_slots_[p] != 0) p = (p + 1) & mask;
  key_slots_[p] = ((hash >> 32) << 32) | (uint64_t{key} + 1);
}

uint32_t KeyTable::intern_key(const uint32_t* labels, uint64_t hash) {
  if (const int64_t known = find_key(labels, hash); known >= 0) return static_cast<uint32_t>(known);
  const uint32_t key = static_cast<uint32_t>(num_keys_);
  const size_t nd = dims_.size();
  key_labels_.append(labels, nd);
  ++num_keys_;
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
