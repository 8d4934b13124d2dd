// The search of the engine's open-addressing tables, in one place: linear
// probing over a power-of-two array of slots, where a slot whose bytes are
// all zero (Slot{}) is empty, with backward-shift erasure so that no
// tombstones are left behind.
//
// What a slot holds is the table's own choice (an entry number with part
// of its hash, a cell of a cache index); the table passes how to tell a
// match and where a slot's search begins (its home). `mask` is the array's
// size minus one. A table must keep at least one slot empty.
#pragma once

#include <cstddef>

namespace quor::util {

// The slot holding what `matches` accepts, searching from `home`, or the
// empty slot that ends the search (where it would be placed).
template <class Slot, class Matches>
size_t probe_find(const Slot* slots, size_t mask, size_t home, Matches&& matches) {
  for (size_t i = home & mask;; i = (i + 1) & mask) {
    const Slot& s = slots[i];
    if (s == Slot{} || matches(s)) return i;
  }
}

// The first empty slot from `home` on: where a slot known to be absent goes.
template <class Slot>
size_t probe_free(const Slot* slots, size_t mask, size_t home) {
  size_t i = home & mask;
  while (!(slots[i] == Slot{})) i = (i + 1) & mask;
  return i;
}

// Empties slot `at`; the later slots of its run whose home is not between
// the hole and themselves move back into it, so that every search still
// reaches what it looks for. `home_of(slot)` is a slot's home (any bits
// above the mask are ignored).
template <class Slot, class HomeOf>
void probe_erase(Slot* slots, size_t mask, size_t at, HomeOf&& home_of) {
  size_t hole = at;
  for (size_t q = (at + 1) & mask; !(slots[q] == Slot{}); q = (q + 1) & mask) {
    const size_t home = home_of(slots[q]) & mask;
    // It stays when its home lies cyclically within (hole, q].
    const bool stays = hole <= q ? (hole < home && home <= q) : (hole < home || home <= q);
    if (stays) continue;
    slots[hole] = slots[q];
    hole = q;
  }
  slots[hole] = Slot{};
}

}  // namespace quor::util
