// The dimension keys of one ingest as small integers.
//
// Every key dimension interns its texts: a raw input text maps to the id of
// its bucketed label, so each distinct date text is bucketed once per
// ingest. A record's key is then the tuple of its label ids, looked up in an
// open-addressing table that compares integers, never texts. Keys are
// numbered in the order they are first interned.
//
// Lookups (find_*) only read and may run on many threads at once, as long
// as nobody interns meanwhile; interning runs on one thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quor/util/page_array.h"

namespace quor::ingest::internal {

constexpr uint32_t kNoLabel = UINT32_MAX;

// Byte equality for the short texts of dimension values and categories,
// without a library call for each.
inline bool bytes_equal(const char* a, const char* b, size_t n) {
  while (n >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
    a += 8;
    b += 8;
    n -= 8;
  }
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// A hash of a short text (a dimension value, a category) for the ingest's
// own tables: one or two word reads for texts up to 16 bytes, a word at a
// time past that. Not kept anywhere; only equal texts must hash alike.
inline uint64_t short_text_hash(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  auto mix = [](uint64_t a, uint64_t b) {
    const __uint128_t m = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
  };
  constexpr uint64_t k0 = 0xA0761D6478BD642Full, k1 = 0xE7037ED1A0B428DBull;
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    uint64_t h = k1 ^ n;
    size_t i = 0;
    for (; i + 16 < n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      h = mix(w ^ k0, h ^ k1);
    }
    std::memcpy(&a, p + i, 8);
    std::memcpy(&b, p + n - 8, 8);
    return mix(a ^ k0 ^ h, b ^ k1 ^ (h >> 7));
  }
  if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else if (n > 0) {
    a = static_cast<unsigned char>(p[0]) | static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
        static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
  }
  return mix(a ^ k0, b ^ k1 ^ n);
}

class KeyTable {
 public:
  // `ndims`: the number of key dimensions (one per distinct dimension name).
  explicit KeyTable(size_t ndims);

  size_t num_dims() const { return dims_.size(); }
  size_t num_keys() const { return num_keys_; }

  static uint64_t text_hash(std::string_view text) { return short_text_hash(text); }
  // The label id of raw text `raw` of key dimension d, or kNoLabel.
  uint32_t find_label(size_t d, std::string_view raw, uint64_t hash) const;
  // Interns `raw` with its bucketed `label` (returns the known id when `raw`
  // is known already).
  uint32_t intern_label(size_t d, std::string_view raw, uint64_t hash, std::string_view label);
  const std::string& label_text(size_t d, uint32_t id) const { return dims_[d].labels[id]; }

  static uint64_t key_hash(const uint32_t* labels, size_t ndims);
  // The number of the key with these label ids (num_dims() of them), or -1;
  // `hash` is key_hash(labels, num_dims()), here and in intern_key.
  int64_t find_key(const uint32_t* labels, uint64_t hash) const;
  uint32_t intern_key(const uint32_t* labels, uint64_t hash);
  const uint32_t* labels_of(uint32_t key) const { return key_labels_.data() + key * dims_.size(); }

 private:
  struct RawEntry {
    uint64_t hash;
    uint64_t offset;  // into `bytes`
    uint32_t length;
    uint32_t label;
  };
  struct Dim {
    std::string bytes;              // raw texts back to back
    std::vector<RawEntry> raws;
    std::vector<uint32_t> slots;    // open addressing: raw entry + 1, 0 empty
    std::vector<std::string> labels;
    std::unordered_map<std::string, uint32_t> label_ids;
  };
  // Places key number `key` with hash `hash` in key_slots_.
  void place_key(uint64_t hash, uint32_t key);

  std::vector<Dim> dims_;
  // The per-key tables reach tens of megabytes in a high-cardinality
  // ingest, so they grow without holding two copies.
  util::PageArray<uint32_t> key_labels_;  // num_dims() per key
  size_t num_keys_ = 0;
  // Open addressing, at most three quarters full (the tag keeps a probe
  // past a neighbour cheap): (hash high half << 32) | (key + 1); 0 empty.
  util::PageArray<uint64_t> key_slots_;
};

}  // namespace quor::ingest::internal
