// The index half of DistributionTable: the integer index (hashing, probing,
// growth, placing), and the text index it turns into, with the lookups
// that read either.
#include "quor/store/distribution_table.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "quor/store/dim_key.h"
#include "quor/util/linear_probe.h"

namespace quor::store {

namespace {

constexpr size_t kMinSlots = 16;

uint64_t mix(uint64_t h, uint64_t v) {
  const __uint128_t m = static_cast<__uint128_t>(h ^ v) * 0x9E3779B97F4A7C15ull;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

}  // namespace

uint64_t DistributionTable::key_hash(uint32_t variable, std::span<const KeyEntry> key) const {
  uint64_t h = mix(0x243F6A8885A308D3ull, variable);
  for (const KeyEntry& e : key) h = mix(h, static_cast<uint64_t>(e.dimension) << 32 | e.label);
  return h;
}

size_t DistributionTable::probe(uint32_t variable, std::span<const KeyEntry> key, uint64_t hash,
                                bool& found) const {
  const uint64_t tag = hash >> 32;
  const size_t i = util::probe_find(slots_.data(), slots_.size() - 1, tag, [&](uint64_t s) {
    if ((s >> 32) != tag) return false;
    const DistributionRow& r = rows_[static_cast<Position>((s & 0xFFFFFFFFull) - 1)];
    return r.variable == variable && r.key_size == key.size() &&
           std::equal(key.begin(), key.end(), key_entries_.data() + r.key_offset);
  });
  found = slots_[i] != 0;
  return i;
}

void DistributionTable::rebuild_index_slots(size_t live) {
  size_t n = kMinSlots;
  while (too_full(live, n)) n *= 2;
  if (n <= slots_.size()) return;
  // A slot's tag picks its home at every size, so the old slots alone
  // place the entries again: no row or key is read or hashed (the
  // 10^7-id ingest grows the index a dozen times).
  // The new slots are made aside: a failure leaves the old ones in place.
  util::PageArray<uint64_t> fresh;
  fresh.assign_zeroed(n);
  const size_t mask = n - 1;
  for (const uint64_t s : slots_)
    if (s != 0) fresh[util::probe_free(fresh.data(), mask, s >> 32)] = s;
  slots_ = std::move(fresh);
}

void DistributionTable::index_place(Position p) {
  if (too_full(placed_ + 1, slots_.size())) {
    rebuild_index_slots(std::max<size_t>(placed_ + 1, slots_.size()));
  }
  const DistributionRow& r = rows_[p];
  const std::span<const KeyEntry> k = key(p);
  const uint64_t h = key_hash(r.variable, k);
  bool found = false;
  const size_t i = probe(r.variable, k, h, found);
  slots_[i] = (h >> 32) << 32 | (static_cast<uint64_t>(p) + 1);
  if (!found) ++placed_;
}

std::optional<uint64_t> DistributionTable::lookup_id(uint32_t variable, std::span<const KeyEntry> key) const {
  if (text_index_ != nullptr) {
    std::string text = variables_[variable];
    text += '|';
    for (size_t i = 0; i < key.size(); ++i) {
      if (i) text += '/';
      text += dimensions_[key[i].dimension];
      text += ':';
      text += label(key[i].dimension, key[i].label);
    }
    return text_index_id(text);
  }
  if (slots_.empty()) return std::nullopt;
  bool found = false;
  const size_t i = probe(variable, key, key_hash(variable, key), found);
  if (!found) return std::nullopt;
  return rows_[(slots_[i] & 0xFFFFFFFFull) - 1].id;
}

std::optional<uint64_t> DistributionTable::text_index_id(std::string_view key) const {
  if (text_index_ == nullptr) return std::nullopt;
  const uint64_t* id = text_index_->find_id(key);
  if (id == nullptr) return std::nullopt;
  return *id;
}

std::optional<uint64_t> DistributionTable::lookup_text(std::string_view text) const {
  if (text_index_ != nullptr) return text_index_id(text);
  // Every stored text is plain: the key text reads back into one
  // (variable, map) only, which is looked up by its numbers.
  const size_t bar = text.find('|');
  if (bar == std::string_view::npos) return std::nullopt;
  const std::string_view variable = text.substr(0, bar);
  std::string_view rest = text.substr(bar + 1);
  if (rest.find('|') != std::string_view::npos) return std::nullopt;
  const uint32_t v = find_variable(variable);
  if (v == kNoId) return std::nullopt;
  std::vector<KeyEntry> key;
  std::string_view previous;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view entry = rest.substr(0, slash);
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos || entry.find(':', colon + 1) != std::string_view::npos)
      return std::nullopt;
    const std::string_view name = entry.substr(0, colon);
    if (!key.empty() && !(previous < name)) return std::nullopt;  // stored names ascend
    previous = name;
    const uint32_t d = find_dimension(name);
    if (d == kNoId) return std::nullopt;
    const uint32_t l = find_label(d, entry.substr(colon + 1));
    if (l == kNoId) return std::nullopt;
    key.push_back({d, l});
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
    if (rest.empty()) return std::nullopt;  // a trailing "/"
  }
  return lookup_id(v, key);
}

void DistributionTable::add_to_text_index(Position p) {
  thread_local std::string text;
  text.clear();
  append_index_key(text, p);
  text_index_->insert_or_assign(text, rows_[p].id);
}

void DistributionTable::use_text_index() {
  if (text_index_ != nullptr) return;
  text_index_ = std::make_unique<util::TextIdMap>();
  text_index_->reserve(rows_.size());
  for (Position p = 0; p < rows_.size(); ++p) add_to_text_index(p);
  slots_.assign_zeroed(0);
  placed_ = 0;
}

void DistributionTable::index_insert(std::string_view variable, const model::DimensionMap& map, uint64_t id) {
  use_text_index();
  text_index_->insert_or_assign(index_key(variable, map), id);
}

size_t DistributionTable::index_size() const {
  return text_index_ != nullptr ? text_index_->size() : rows_.size();
}

}  // namespace quor::store
