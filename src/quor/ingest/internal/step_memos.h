// Internal to ingestion: what a worker of the per-record step remembers of
// the texts it met, per key dimension or variable, so that a text met before
// costs neither a parse nor a probe of a shared table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "quor/ingest/internal/key_table.h"
#include "quor/util/hash.h"

namespace quor::ingest::internal {

// Texts of one key dimension that a worker met, with their label ids: open
// addressing over a table that takes texts until it is half full of its
// largest size (a column of ever new texts fills it once and then only reads
// it). It starts empty and doubles from 64 slots, so that an ingest of a few
// records (one `ingest_records` call) does not clear 160 KB per worker and
// dimension for a cache it hardly uses.
class TextIdCache {
 public:
  uint32_t find(std::string_view text, uint64_t hash) const {
    if (slots_.empty()) return kNoLabel;
    const size_t mask = slots_.size() - 1;
    for (size_t p = hash & mask;; p = (p + 1) & mask) {
      const Slot& s = slots_[p];
      if (s.length == kEmpty) return kNoLabel;
      if (s.hash == hash && s.length == text.size() && util::bytes_equal(s.text, text.data(), text.size()))
        return s.id;
    }
  }
  // `text` must not be held yet.
  void put(std::string_view text, uint64_t hash, uint32_t id) {
    if (text.size() > kMaxText || held_ >= kMaxSlots / 2) return;
    if (held_ >= slots_.size() / 2) grow();
    Slot& s = free_slot(hash);
    s.hash = hash;
    s.id = id;
    s.length = static_cast<uint32_t>(text.size());
    std::memcpy(s.text, text.data(), text.size());
    ++held_;
  }

 private:
  static constexpr size_t kMinSlots = 64, kMaxSlots = 4096, kMaxText = 24;
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint64_t hash = 0;
    uint32_t id = kNoLabel;
    uint32_t length = kEmpty;
    char text[kMaxText];
  };
  Slot& free_slot(uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t p = hash & mask;
    while (slots_[p].length != kEmpty) p = (p + 1) & mask;
    return slots_[p];
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? kMinSlots : slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.length != kEmpty) free_slot(s.hash) = s;
  }
  std::vector<Slot> slots_;
  size_t held_ = 0;
};

// Ids of the short texts (8 bytes at most: the codes and names a dimension
// without a granularity mostly holds) that a worker met in one key
// dimension, one per place, placed by the text's bytes themselves: a hit
// costs a multiply and one compare instead of a hash of the text, a probe of
// the key table and a byte compare. A text that meets another's place takes
// it. Only found ids are kept, so (as in TextIdCache) what it holds stays
// right while the key table grows.
//
// Buys, on the flights CSV (origin and destination of a few hundred
// airports each), 1 980 -> 1 780 instructions a row for the step under
// callgrind, measured together with an inline clear of the row view.
//
// ShortTextMemo<int64_t> holds, per numeric variable, the bins of the short
// texts a worker met: a variable's bin is a function of its text alone, so a
// text met before needs no parse. Buys, on the flights CSV (delays and
// distances of a few thousand values each; bench_ingest --case=step under
// callgrind, 300 000 rows, one thread), 1 601 -> 1 526 instructions a row
// for the step.
template <class Value>
class ShortTextMemo {
 public:
  static constexpr size_t kMaxText = 8;
  // The text's bytes as one word (with its length, they are the text):
  // two overlapping reads, so that no byte past it is touched.
  static uint64_t word_of(std::string_view t) {
    const char* p = t.data();
    const size_t n = t.size();
    if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      return a | (uint64_t{b} << 32);
    }
    if (n == 0) return 0;
    return static_cast<uint64_t>(static_cast<unsigned char>(p[0])) |
           static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
           static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
  }
  // The value put for `t` (no longer than kMaxText, `word` its word_of),
  // or nullptr.
  const Value* find(std::string_view t, uint64_t word) const {
    if (places_.empty()) return nullptr;
    const Place& at = places_[place_of(word, t.size())];
    return at.length == t.size() + 1 && at.word == word ? &at.value : nullptr;
  }
  void put(std::string_view t, uint64_t word, Value value) {
    if (places_.empty()) places_.resize(kPlaces);
    places_[place_of(word, t.size())] = {word, static_cast<uint32_t>(t.size() + 1), value};
  }

 private:
  static constexpr size_t kPlaces = 1024;
  struct Place {
    uint64_t word = 0;
    uint32_t length = 0;  // the text's length + 1, 0 while empty
    Value value{};
  };
  static size_t place_of(uint64_t word, size_t n) {
    return static_cast<size_t>(((word ^ n) * 0x9E3779B97F4A7C15ull) >> 54);
  }
  std::vector<Place> places_;  // kPlaces once used
};
using ShortTextIds = ShortTextMemo<uint32_t>;

}  // namespace quor::ingest::internal
