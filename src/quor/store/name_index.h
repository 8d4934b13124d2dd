// Positions of a schema list's definitions by name, so that finding a
// variable or dimension by name costs one hash lookup instead of a scan of
// the list. What it buys: adding the 100 000 variables of a wide file and
// creating their distributions took 56 s of scans (quadratic); with the
// index the whole ingest of that file takes well under a second.
//
// The index follows a list that only grows (definitions are appended, never
// removed or renamed): `sync` catches up on the entries appended since the
// last call, and starts over when the list's storage moved or it got
// shorter.
// A search on a list the index does not cover, or a hit whose entry no longer
// carries the name, falls back to the scan, so an index out of date is slow,
// never wrong about a name the list holds; only a definition replaced or
// renamed in place after the last `sync` could be missed.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "quor/util/text_id_map.h"

namespace quor::store {

class NameIndex {
 public:
  // Brings the index up to date with `list` (entries with a `name`). The
  // first of equal names keeps its position.
  template <class Def>
  void sync(const std::vector<Def>& list) {
    if (list.data() != data_ || list.size() < covered_) {
      positions_.clear();
      covered_ = 0;
      data_ = list.data();
    }
    for (; covered_ < list.size(); ++covered_) positions_.try_emplace(list[covered_].name, covered_);
  }

  // The first definition of `list` named `name`, or nullptr.
  template <class Def>
  const Def* find(const std::vector<Def>& list, std::string_view name) const {
    if (list.data() == data_ && list.size() == covered_) {
      const uint64_t* at = positions_.find_id(name);
      if (at == nullptr) return nullptr;
      if (list[*at].name == name) return &list[*at];
    }
    for (const Def& d : list)
      if (d.name == name) return &d;
    return nullptr;
  }

 private:
  util::TextIdMap positions_;
  const void* data_ = nullptr;
  size_t covered_ = 0;
};

}  // namespace quor::store
