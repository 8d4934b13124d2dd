// A map from texts to u64 ids for up to millions of entries, cheap to build,
// search and release.
//
// The key bytes live back to back in a few large chunks, the entries in one
// array in insertion order, and the search is open addressing over entry
// numbers with part of each key's hash kept in the slot, so a lookup that
// misses touches one slot and a hit one slot, one entry and the key's bytes.
// Nothing is allocated per entry: building a million entries and dropping
// them again costs a handful of allocations, not millions.
//
// Visiting order is insertion order, except that erasing an entry moves the
// last entry into its place. Keys are exact byte sequences (any bytes). An
// erased key's bytes stay in their chunk until clear().
//
// Iterators yield (key, id) pairs by value; they stay valid until the next
// insertion or erasure. Copies are deep (and rebuild the search).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/util/page_array.h"

namespace quor::util {

class TextIdMap {
 public:
  using key_type = std::string;
  using mapped_type = uint64_t;
  using value_type = std::pair<std::string_view, uint64_t>;

  class const_iterator {
   public:
    using value_type = TextIdMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    using iterator_category = std::forward_iterator_tag;
    struct Arrow {
      value_type v;
      const value_type* operator->() const { return &v; }
    };

    const_iterator() = default;
    value_type operator*() const { return map_->entry_value(i_); }
    Arrow operator->() const { return Arrow{**this}; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }

   private:
    friend class TextIdMap;
    const_iterator(const TextIdMap* map, size_t i) : map_(map), i_(i) {}
    const TextIdMap* map_ = nullptr;
    size_t i_ = 0;
  };
  using iterator = const_iterator;

  TextIdMap();
  ~TextIdMap();
  TextIdMap(const TextIdMap& other);
  TextIdMap& operator=(const TextIdMap& other);
  TextIdMap(TextIdMap&& other) noexcept;
  TextIdMap& operator=(TextIdMap&& other) noexcept;
  // The entries in order; a repeated key keeps its first id.
  TextIdMap(std::initializer_list<std::pair<std::string_view, uint64_t>> entries);
  TextIdMap& operator=(std::initializer_list<std::pair<std::string_view, uint64_t>> entries);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear();
  // Room for `n` entries without growing the search.
  void reserve(size_t n);

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, entries_.size()); }
  const_iterator find(std::string_view key) const;
  size_t count(std::string_view key) const { return find(key) == end() ? 0 : 1; }
  // The id stored under `key`, or nullptr. The pointer is valid until the
  // next insertion or erasure.
  const uint64_t* find_id(std::string_view key) const;

  // The key of entry `i` in visiting order (i < size()); valid until the
  // next erasure or clear().
  std::string_view key_at(size_t i) const { return entry_value(i).first; }

  // The id under `key`; throws std::out_of_range when absent.
  uint64_t at(std::string_view key) const;

  // Starts fetching the slot where a search for `key` begins, for a search
  // that follows shortly.
  void prefetch(std::string_view key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash_of(key) & (slots_.size() - 1)]);
  }

  // Adds (key, id) unless `key` is present; the bool says whether it was
  // added, the iterator points at the key's entry either way.
  std::pair<const_iterator, bool> try_emplace(std::string_view key, uint64_t id);
  // Stores `id` under `key`, replacing the id of a present key.
  std::pair<const_iterator, bool> insert_or_assign(std::string_view key, uint64_t id);
  // The id under `key`, added as 0 when absent; valid until the next
  // insertion or erasure.
  uint64_t& operator[](std::string_view key);
  // Removes `key`; returns how many entries were removed (0 or 1).
  size_t erase(std::string_view key);

  // The same entries, whatever their order.
  bool operator==(const TextIdMap& other) const;

 private:
  struct Entry {
    const char* key;
    uint32_t length;
    uint32_t hash;
    uint64_t id;
  };

  static uint32_t hash_of(std::string_view key);
  value_type entry_value(size_t i) const {
    const Entry& e = entries_[i];
    return {std::string_view(e.key, e.length), e.id};
  }
  // The slot holding `key`'s entry, or the empty slot where it would go.
  size_t probe(std::string_view key, uint32_t hash) const;
  const char* store_bytes(std::string_view key);
  // The search grows past three quarters full: with the hash's tag in the
  // slot, a probe past a neighbour costs no cache line of its own, and the
  // slots of a million-entry index stay at 16 MB instead of 32.
  static bool too_full(size_t live, size_t slots) { return live * 4 > slots * 3; }
  // A search with room for `live` entries at most three quarters full.
  void rebuild_slots(size_t live);
  void place(size_t entry);

  // Slot: (hash << 32) | (entry + 1); 0 empty. The size is a power of two
  // and the hash's low bits pick the first slot tried.
  // Both reach tens of megabytes for an index of a million keys, so they
  // grow without holding two copies.
  PageArray<uint64_t> slots_;
  PageArray<Entry> entries_;
  std::vector<std::unique_ptr<char[]>> chunks_;  // never moved
  char* chunk_next_ = nullptr;
  size_t chunk_left_ = 0;
};

}  // namespace quor::util
