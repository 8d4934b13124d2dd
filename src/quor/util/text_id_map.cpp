#include "quor/util/text_id_map.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "quor/util/hash.h"
#include "quor/util/linear_probe.h"

namespace quor::util {

namespace {

// Key bytes are taken from chunks of this size (a longer key gets its own).
constexpr size_t kChunkBytes = size_t(1) << 20;
constexpr size_t kMinSlots = 16;

}  // namespace

TextIdMap::TextIdMap() = default;
TextIdMap::~TextIdMap() = default;
TextIdMap::TextIdMap(TextIdMap&& other) noexcept = default;
TextIdMap& TextIdMap::operator=(TextIdMap&& other) noexcept = default;

TextIdMap::TextIdMap(const TextIdMap& other) {
  reserve(other.size());
  for (const auto& [key, id] : other) try_emplace(key, id);
}

TextIdMap& TextIdMap::operator=(const TextIdMap& other) {
  if (this != &other) {
    TextIdMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TextIdMap::TextIdMap(std::initializer_list<std::pair<std::string_view, uint64_t>> entries) {
  for (const auto& [key, id] : entries) try_emplace(key, id);
}

TextIdMap& TextIdMap::operator=(std::initializer_list<std::pair<std::string_view, uint64_t>> entries) {
  clear();
  for (const auto& [key, id] : entries) try_emplace(key, id);
  return *this;
}

uint64_t& TextIdMap::operator[](std::string_view key) {
  auto [it, added] = try_emplace(key, 0);
  return entries_[it.i_].id;
}

uint32_t TextIdMap::hash_of(std::string_view key) {
  const uint64_t h = text_hash(key);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void TextIdMap::clear() {
  slots_.clear();
  entries_.clear();
  chunks_.clear();
  chunk_next_ = nullptr;
  chunk_left_ = 0;
}

void TextIdMap::reserve(size_t n) {
  // Growing by at least half, so that a run of reserves each a little
  // larger costs no more than appending one entry at a time.
  if (n > entries_.capacity()) entries_.reserve(std::max(n, entries_.capacity() * 3 / 2));
  if (too_full(n, slots_.size())) rebuild_slots(n);
}

void TextIdMap::rebuild_slots(size_t live) {
  size_t n = kMinSlots;
  while (too_full(live + 1, n)) n *= 2;
  slots_.assign_zeroed(n);
  for (size_t i = 0; i < entries_.size(); ++i) place(i);
}

void TextIdMap::place(size_t entry) {
  const uint32_t hash = entries_[entry].hash;
  slots_[probe_free(slots_.data(), slots_.size() - 1, hash)] = (uint64_t{hash} << 32) | (entry + 1);
}

size_t TextIdMap::probe(std::string_view key, uint32_t hash) const {
  return probe_find(slots_.data(), slots_.size() - 1, hash, [&](uint64_t s) {
    if (static_cast<uint32_t>(s >> 32) != hash) return false;
    const Entry& e = entries_[static_cast<uint32_t>(s) - 1];
    return e.length == key.size() && std::memcmp(e.key, key.data(), key.size()) == 0;
  });
}

const uint64_t* TextIdMap::find_id(std::string_view key) const {
  if (entries_.empty()) return nullptr;
  const uint64_t s = slots_[probe(key, hash_of(key))];
  if (s == 0) return nullptr;
  return &entries_[static_cast<uint32_t>(s) - 1].id;
}

TextIdMap::const_iterator TextIdMap::find(std::string_view key) const {
  if (entries_.empty()) return end();
  const uint64_t s = slots_[probe(key, hash_of(key))];
  if (s == 0) return end();
  return const_iterator(this, static_cast<uint32_t>(s) - 1);
}

uint64_t TextIdMap::at(std::string_view key) const {
  const uint64_t* id = find_id(key);
  if (id == nullptr) throw std::out_of_range("TextIdMap::at: no such key");
  return *id;
}

const char* TextIdMap::store_bytes(std::string_view key) {
  if (key.empty()) return "";
  if (key.size() > chunk_left_) {
    const size_t size = std::max(key.size(), kChunkBytes);
    chunks_.push_back(std::unique_ptr<char[]>(new char[size]));
    chunk_next_ = chunks_.back().get();
    chunk_left_ = size;
  }
  char* at = chunk_next_;
  std::memcpy(at, key.data(), key.size());
  chunk_next_ += key.size();
  chunk_left_ -= key.size();
  return at;
}

std::pair<TextIdMap::const_iterator, bool> TextIdMap::try_emplace(std::string_view key,
                                                                  uint64_t id) {
  if (too_full(entries_.size() + 1, slots_.size())) rebuild_slots(entries_.size() + 1);
  const uint32_t hash = hash_of(key);
  const size_t p = probe(key, hash);
  if (slots_[p] != 0) return {const_iterator(this, static_cast<uint32_t>(slots_[p]) - 1), false};
  entries_.push_back(Entry{store_bytes(key), static_cast<uint32_t>(key.size()), hash, id});
  const size_t entry = entries_.size() - 1;
  slots_[p] = (uint64_t{hash} << 32) | (entry + 1);
  return {const_iterator(this, entry), true};
}

std::pair<TextIdMap::const_iterator, bool> TextIdMap::insert_or_assign(std::string_view key,
                                                                       uint64_t id) {
  auto [it, added] = try_emplace(key, id);
  if (!added) entries_[it.i_].id = id;
  return {it, added};
}

size_t TextIdMap::erase(std::string_view key) {
  if (entries_.empty()) return 0;
  const size_t mask = slots_.size() - 1;
  const size_t p = probe(key, hash_of(key));
  if (slots_[p] == 0) return 0;
  const size_t gone = static_cast<uint32_t>(slots_[p]) - 1;
  probe_erase(slots_.data(), mask, p, [](uint64_t s) { return static_cast<size_t>(s >> 32); });
  // The last entry takes the erased one's place.
  const size_t last = entries_.size() - 1;
  if (gone != last) {
    const Entry moved = entries_[last];
    entries_[gone] = moved;
    for (size_t r = moved.hash & mask;; r = (r + 1) & mask) {
      if (static_cast<uint32_t>(slots_[r]) == last + 1) {
        slots_[r] = (uint64_t{moved.hash} << 32) | (gone + 1);
        break;
      }
    }
  }
  entries_.pop_back();
  return 1;
}

bool TextIdMap::operator==(const TextIdMap& other) const {
  if (size() != other.size()) return false;
  for (const Entry& e : entries_) {
    const uint64_t* id = other.find_id(std::string_view(e.key, e.length));
    if (id == nullptr || *id != e.id) return false;
  }
  return true;
}

}  // namespace quor::util
