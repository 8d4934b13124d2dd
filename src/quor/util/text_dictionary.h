// Texts numbered 0, 1, 2, ... in the order they are first added, for
// dictionaries that reach millions of entries and never lose one: the
// labels of a dimension, in the stored table and in an ingest's key table.
//
// A text costs its bytes, an 8-byte end offset and about 13 bytes of search
// slots (at most three quarters full): 29 bytes for an 8-byte text, against
// 45 in a TextIdMap, whose entries hold a pointer, a hash and an id each
// (10^7 labels: 290 MB against 450 MB; the 10^7-id file holds 311 B a
// distribution instead of 326, bench_scale --section memory). Every part
// grows without holding two copies (util::PageArray). A slot keeps the high half of the text's
// hash beside its number, so a search that misses reads slots only, and a
// hit reads one slot, one offset and the text's bytes.
//
// Searches only read and may run on many threads at once while nobody
// adds. The hash given with a text must be text_hash(text) (tests pass
// others to make texts collide); every call for one text passes the same.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "quor/util/hash.h"
#include "quor/util/page_array.h"

namespace quor::util {

class TextDictionary {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  TextDictionary();

  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view text(uint32_t id) const {
    const uint64_t begin = id == 0 ? 0 : ends_[id - 1];
    return {bytes_.data() + begin, static_cast<size_t>(ends_[id] - begin)};
  }

  // The number of `text`, or kAbsent.
  uint32_t find(std::string_view text) const { return find(text, text_hash(text)); }
  uint32_t find(std::string_view text, uint64_t hash) const;
  // The number of `text`, added as size() when absent; the bool says whether
  // it was added. `text` must not point into this dictionary.
  std::pair<uint32_t, bool> intern(std::string_view text) { return intern(text, text_hash(text)); }
  std::pair<uint32_t, bool> intern(std::string_view text, uint64_t hash);

  // Starts fetching the slot where a search for `text` begins, for a
  // search or intern that follows shortly.
  void prefetch(std::string_view text) const {
    __builtin_prefetch(&slots_[(text_hash(text) >> 32) & (slots_.size() - 1)]);
  }

  // Room for `n` more texts of `bytes` bytes in all.
  void reserve(size_t n, size_t bytes);
  // The bytes of the texts numbered [first, last) together.
  size_t text_bytes(uint32_t first, uint32_t last) const {
    if (first >= last) return 0;
    return static_cast<size_t>(ends_[last - 1] - (first == 0 ? 0 : ends_[first - 1]));
  }

 private:
  // The slot holding `text`, or the empty slot where it would go.
  size_t probe(std::string_view text, uint64_t hash) const;
  void rebuild_slots(size_t live);

  // (hash >> 32) << 32 | (number + 1); 0 empty. Power-of-two size; the
  // low bits of the tag (the hash's high half) pick the first slot tried,
  // so that growth places the slots again from the slots alone.
  PageArray<uint64_t> slots_;
  PageArray<uint64_t> ends_;  // per number: where its text ends in bytes_
  PageArray<char> bytes_;     // the texts back to back
};

}  // namespace quor::util
