#include "quor/util/text_dictionary.h"

#include <algorithm>
#include <cstring>

#include "quor/util/linear_probe.h"

namespace quor::util {

namespace {

constexpr size_t kMinSlots = 16;
// The least room the offsets and the bytes grow to.
constexpr size_t kMinRoom = 16;

bool too_full(size_t live, size_t slots) { return live * 4 > slots * 3; }

}  // namespace

TextDictionary::TextDictionary() { slots_.assign_zeroed(kMinSlots); }

size_t TextDictionary::probe(std::string_view text, uint64_t hash) const {
  const uint64_t tag = hash >> 32;
  return probe_find(slots_.data(), slots_.size() - 1, tag, [&](uint64_t s) {
    if ((s >> 32) != tag) return false;
    const std::string_view have = this->text(static_cast<uint32_t>(s) - 1);
    return have.size() == text.size() && bytes_equal(have.data(), text.data(), text.size());
  });
}

uint32_t TextDictionary::find(std::string_view text, uint64_t hash) const {
  const uint64_t s = slots_[probe(text, hash)];
  return s == 0 ? kAbsent : static_cast<uint32_t>(s) - 1;
}

std::pair<uint32_t, bool> TextDictionary::intern(std::string_view text, uint64_t hash) {
  size_t i = probe(text, hash);
  if (slots_[i] != 0) return {static_cast<uint32_t>(slots_[i]) - 1, false};
  // Every part grows before anything is added, so that a growth that
  // fails leaves the dictionary as it was (no stray bytes, no text
  // without a slot).
  const size_t had_slots = slots_.size();
  reserve(1, text.size());
  if (slots_.size() != had_slots) i = probe(text, hash);
  const auto id = static_cast<uint32_t>(ends_.size());
  bytes_.append(text.data(), text.size());
  ends_.push_back(bytes_.size());
  slots_[i] = (hash >> 32) << 32 | (uint64_t{id} + 1);
  return {id, true};
}

void TextDictionary::reserve(size_t n, size_t bytes) {
  // At least doubling: a reserve per batch (or per added text) must not
  // move the arrays each time.
  if (ends_.size() + n > ends_.capacity())
    ends_.reserve(std::max({ends_.size() + n, ends_.capacity() * 2, kMinRoom}));
  if (bytes_.size() + bytes > bytes_.capacity())
    bytes_.reserve(std::max({bytes_.size() + bytes, bytes_.capacity() * 2, kMinRoom}));
  if (too_full(ends_.size() + n, slots_.size())) rebuild_slots(ends_.size() + n);
}

void TextDictionary::rebuild_slots(size_t live) {
  size_t n = std::max(kMinSlots, slots_.size());
  while (too_full(live, n)) n *= 2;
  if (n == slots_.size()) return;
  // A slot's tag picks its home at every size, so the old slots alone
  // place the texts again: no text is read or hashed.
  // The new slots are made aside: a failure leaves the old ones in place.
  PageArray<uint64_t> fresh;
  fresh.assign_zeroed(n);
  const size_t mask = n - 1;
  for (const uint64_t s : slots_)
    if (s != 0) fresh[probe_free(fresh.data(), mask, s >> 32)] = s;
  slots_ = std::move(fresh);
}

}  // namespace quor::util
