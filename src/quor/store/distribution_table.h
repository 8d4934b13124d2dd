// The marginal distributions of an open database, held lean.
//
// A stored DistributionObject costs about 940 bytes as a record in memory (a
// std::map of dimension texts, a heap vector of counts, categories copied
// into every categorical, an index entry with its own key text). Here one
// distribution of 20 bins over 3 dimensions costs about 310 bytes (measured
// 314 B at 10^6 distributions against 803 B before, bench_scale --section
// memory): a fixed 96-byte row, its counts as u64 in shared chunks, its
// dimension key as (dimension id, label id) pairs into per-dimension label
// dictionaries, the category lists and histogram bounds shared by every
// distribution with the same ones, and an index keyed by the integers. Texts are built only where they are shown or
// written (records(), index_record(), the dictionaries' own texts).
//
// The table answers exactly what the record list would: positions are list
// positions (creation order), record(p) is the stored record of position p,
// and the index maps (variable, dimension map) as the text index of the
// stored form would. The integer index is exact while every variable name,
// dimension name and value is free of ':', '/' and '|' (the key text then
// names one map only); once a text with one of them is stored, or an entry
// is written into the index directly, the table keeps the text index
// itself and answers from it.
//
// Not thread-safe for writers; readers may share it while nobody writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quor/model/model.h"
#include "quor/store/binary_codec.h"
#include "quor/store/decoded_distribution.h"
#include "quor/util/page_array.h"
#include "quor/util/text_dictionary.h"
#include "quor/util/text_id_map.h"

namespace quor::store {

// A position in the list of marginals (or of joints).
using Position = uint32_t;
inline constexpr size_t kMaxPositions = UINT32_MAX;
inline constexpr uint32_t kNoId = UINT32_MAX;

// One entry of a dimension key: dimension number and label number. A key's
// entries are in byte-wise order of the dimension names.
struct KeyEntry {
  uint32_t dimension;
  uint32_t label;
  bool operator==(const KeyEntry&) const = default;
};

// A distribution's own fields, in one fixed-size row.
struct DistributionRow {
  uint64_t id;
  uint64_t sample_count;
  double entropy;
  uint64_t last_updated;
  uint64_t version;
  uint64_t total_count;
  uint64_t unknown_count;  // categorical only
  uint64_t* cells;         // bin or category counts, `ncells` of them
  uint64_t key_offset;     // first entry in the key entries
  uint32_t variable;       // variable number
  uint32_t ncells;
  uint32_t categories;     // category list number + 1; 0 for a histogram
  uint32_t key_size;       // entries of the key
  uint32_t bounds;         // histogram only: number of its (min, max) pair
  bool is_histogram() const { return categories == 0; }
};
static_assert(sizeof(DistributionRow) == 96);

class DistributionTable {
 public:
  DistributionTable();
  ~DistributionTable();
  DistributionTable(DistributionTable&&) noexcept;
  DistributionTable& operator=(DistributionTable&&) noexcept;
  DistributionTable(const DistributionTable&) = delete;
  DistributionTable& operator=(const DistributionTable&) = delete;

  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }

  // ---- dictionaries (numbers count from 0 in order of first use)
  uint32_t find_variable(std::string_view name) const;
  uint32_t intern_variable(std::string_view name);
  const std::string& variable_name(uint32_t v) const { return variables_[v]; }
  size_t variable_count() const { return variables_.size(); }
  uint32_t find_dimension(std::string_view name) const;
  uint32_t intern_dimension(std::string_view name);
  const std::string& dimension_name(uint32_t d) const { return dimensions_[d]; }
  size_t dimension_count() const { return dimensions_.size(); }
  uint32_t find_label(uint32_t dimension, std::string_view text) const;
  uint32_t intern_label(uint32_t dimension, std::string_view text);
  // Room for `n` more labels of `bytes` bytes in all in `dimension`, so
  // that interning them grows nothing (the search slots are placed once
  // at their final size instead of at every doubling).
  void reserve_labels(uint32_t dimension, size_t n, size_t bytes) { labels_[dimension]->reserve(n, bytes); }
  // Starts fetching what interning `text` as a label of `dimension` reads
  // first, for an intern that follows shortly.
  void prefetch_label(uint32_t dimension, std::string_view text) const { labels_[dimension]->prefetch(text); }
  // Whether a text keeps the index by numbers when stored (one with ':',
  // '/' or '|' turns it into a text index).
  static bool plain(std::string_view text);
  std::string_view label(uint32_t dimension, uint32_t l) const { return labels_[dimension]->text(l); }
  size_t label_count(uint32_t dimension) const { return labels_[dimension]->size(); }

  // Sorts entries into key order (byte-wise order of the dimension names).
  void sort_key(std::vector<KeyEntry>& entries) const;
  // The key of (dimension map) in entries, interning what is new.
  void intern_key(const model::DimensionMap& map, std::vector<KeyEntry>& out);
  // The key of `map` without interning; false when a name or value is not
  // in the dictionaries (then no stored key equals it).
  template <class Map>
  bool find_key(const Map& map, std::vector<KeyEntry>& out) const {
    out.clear();
    for (const auto& [name, value] : map) {
      const uint32_t d = find_dimension(name);
      if (d == kNoId) return false;
      const uint32_t l = find_label(d, value);
      if (l == kNoId) return false;
      out.push_back({d, l});
    }
    sort_key(out);
    return true;
  }

  // ---- rows
  const DistributionRow& row(Position p) const { return rows_[p]; }
  DistributionRow& row(Position p) { return rows_[p]; }
  std::span<const KeyEntry> key(Position p) const {
    const DistributionRow& r = rows_[p];
    return {key_entries_.data() + r.key_offset, r.key_size};
  }
  std::span<const uint64_t> cells(Position p) const { return {rows_[p].cells, rows_[p].ncells}; }
  std::span<uint64_t> cells(Position p) { return {rows_[p].cells, rows_[p].ncells}; }
  const std::vector<std::string>& category_list(uint32_t list_plus_one) const {
    return *category_lists_[list_plus_one - 1];
  }
  std::pair<uint64_t, uint64_t> raw_record_range(Position p) const;
  // A histogram's (min, max).
  model::Range bounds(Position p) const { return bounds_[rows_[p].bounds]; }
  // The value `p`'s key gives dimension `d`, if any.
  std::optional<uint32_t> label_of(Position p, uint32_t d) const {
    for (const KeyEntry& e : key(p))
      if (e.dimension == d) return e.label;
    return std::nullopt;
  }
  // Whether `p`'s key holds every entry of `entries`.
  bool key_holds(Position p, std::span<const KeyEntry> entries) const;

  // The stored record of position p, and its parts.
  model::DistributionObject record(Position p) const;
  // The same seen in place, for encoding (see DistributionView).
  void view(Position p, DistributionView& out) const;
  model::DistributionRepr repr(Position p) const;
  model::DimensionMap dimension_map(Position p) const;
  model::DimensionMap dimension_map(std::span<const KeyEntry> key) const;
  // The index key text of position p ("{variable}|{dimension key string}").
  void append_index_key(std::string& out, Position p) const;

  // Appends a stored record (any content, as decoded); returns its position.
  Position append_record(const model::DistributionObject& d);
  // The same for the record `d` stands for, straight from the decoder.
  Position append_decoded(const DecodedDistribution& d);
  // The same for a run of them, in order: every key of the run is interned
  // and its index slot fetched before the first is placed, so that the
  // slots' cache misses overlap (a read of a file hands on runs of a frame).
  void append_decoded(std::span<const DecodedDistribution> run);
  // Appends the zero-count distribution of `def` (whose name is variable
  // number `variable`) for `key` (in key order): version 1, entropy 0.0,
  // last_updated `now`.
  Position append_empty(uint64_t id, uint32_t variable, std::span<const KeyEntry> key,
                        const model::VariableDefinition& def, uint64_t now);
  // What every zero-count distribution of one variable shares: its number
  // of cells and its bounds or category list (interned once).
  struct EmptyShape {
    uint32_t ncells = 0;
    uint32_t categories = 0;  // as DistributionRow::categories
    uint32_t bounds = 0;      // as DistributionRow::bounds
  };
  EmptyShape empty_shape(uint32_t variable, const model::VariableDefinition& def);
  // The creation half of a batch: the integer index's position of
  // (variable, key), or, when it holds none, append_empty's distribution of
  // `shape` appended with `id` (then `appended`). One search of the index
  // serves both the lookup and the placing, and the shape is the caller's,
  // computed once per variable (10^7 new keys: see ingest/batch_create.cpp).
  // Only while the index is by numbers (not text_indexed()).
  Position find_or_append_empty(uint32_t variable, std::span<const KeyEntry> key, const EmptyShape& shape,
                                uint64_t id, uint64_t now, bool& appended);
  // Room for `n` more find_or_append_empty calls whose distributions have
  // `cells` counts and `entries` key entries in all: until they are made,
  // they allocate nothing (and so cannot fail).
  void reserve_empties(size_t n, size_t cells, size_t entries);
  // Replaces the counts of position p (kind, bounds, categories and cells;
  // the other fields stay).
  void set_repr(Position p, const model::DistributionRepr& repr);
  // Room for `n` more distributions of `cells` counts each.
  void reserve(size_t n, size_t cells);

  // ---- ids (the first position in list order with the id)
  std::optional<Position> position_of_id(uint64_t id) const;

  // ---- the index: index key -> distribution id
  // The id the index holds for (variable, map); nothing when none. (With
  // the text index, an id that no distribution has is possible.)
  template <class Map>
  std::optional<uint64_t> lookup_id(std::string_view variable, const Map& map) const {
    if (text_index_ != nullptr || !plain_query(variable, map)) return lookup_by_text(variable, map);
    const uint32_t v = find_variable(variable);
    if (v == kNoId) return std::nullopt;
    thread_local std::vector<KeyEntry> key;
    if (!find_key(map, key)) return std::nullopt;
    return lookup_id(v, key);
  }
  std::optional<uint64_t> lookup_id(uint32_t variable, std::span<const KeyEntry> key) const;
  // Starts fetching the index slot where a lookup of (variable, key)
  // begins, for a lookup or creation that follows shortly.
  void prefetch_index(uint32_t variable, std::span<const KeyEntry> key) const {
    if (text_index_ == nullptr && !slots_.empty())
      __builtin_prefetch(&slots_[(key_hash(variable, key) >> 32) & (slots_.size() - 1)]);
  }
  // position_of_id(lookup_id(...)).
  template <class Map>
  std::optional<Position> lookup(std::string_view variable, const Map& map) const {
    auto id = lookup_id(variable, map);
    return id ? position_of_id(*id) : std::nullopt;
  }
  // Whether the index is kept as text (see the top of this file).
  bool text_indexed() const { return text_index_ != nullptr; }
  // The id stored under the index key text, in the text index only.
  std::optional<uint64_t> text_index_id(std::string_view key) const;
  // Writes `id` under the index key of (variable, map), as a stored index
  // may hold it (also an id no distribution has). Keeps the text index from
  // here on.
  void index_insert(std::string_view variable, const model::DimensionMap& map, uint64_t id);
  // The stored form of the index, and the same made entry by entry.
  model::DistIndex index_record() const;
  DistIndexSource index_source() const;
  size_t index_size() const;
  // Keeps the index as text from here on (tests compare both forms).
  void use_text_index();

 private:
  // Label texts to label numbers in order of first use (labels are never
  // erased).
  using LabelDictionary = util::TextDictionary;

  template <class Map>
  static bool plain_query(std::string_view variable, const Map& map) {
    if (!plain(variable)) return false;
    for (const auto& [name, value] : map)
      if (!plain(name) || !plain(value)) return false;
    return true;
  }
  template <class Map>
  std::optional<uint64_t> lookup_by_text(std::string_view variable, const Map& map) const {
    thread_local std::string text;
    text.assign(variable);
    text += '|';
    bool first = true;
    // The map's entries in name order (a DimensionMap is; other maps are
    // sorted first).
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    for (const auto& [name, value] : map) entries.emplace_back(name, value);
    std::sort(entries.begin(), entries.end());
    for (const auto& [name, value] : entries) {
      if (!first) text += '/';
      first = false;
      text += name;
      text += ':';
      text += value;
    }
    return lookup_text(text);
  }
  std::optional<uint64_t> lookup_text(std::string_view key_text) const;
  // Whether a table of `slots` slots holding `live` entries is past three
  // quarters full (the integer index grows before it is).
  static bool too_full(size_t live, size_t slots) { return live * 4 > slots * 3; }
  // The integer index's slot for the identity, and whether it holds it.
  size_t probe(uint32_t variable, std::span<const KeyEntry> key, uint64_t hash, bool& found) const;
  uint64_t key_hash(uint32_t variable, std::span<const KeyEntry> key) const;
  // Places `p` in the integer index, replacing a position of the same
  // identity.
  void index_place(Position p);
  // append_decoded's halves: the key's numbers (into `key`, after what it
  // holds) and the variable's, then the row placed.
  uint32_t intern_decoded(const DecodedDistribution& d, std::vector<KeyEntry>& key);
  Position place_decoded(const DecodedDistribution& d, uint32_t variable, std::span<const KeyEntry> key);
  void rebuild_index_slots(size_t rows);
  void note_text(std::string_view text);
  uint64_t* take_cells(size_t n);
  // The rest of append_record and append_decoded: `r` has its own fields.
  Position place_stored(DistributionRow& r, std::span<const uint64_t> counts,
                        std::span<const KeyEntry> key, std::pair<uint64_t, uint64_t> raw_range);
  // A fresh chunk of counts for at least `need` (the rest of the current
  // one is left unused).
  void start_chunk(size_t need);
  uint32_t share_categories(uint32_t variable, std::span<const std::string> categories);
  uint32_t share_bounds(uint32_t variable, model::Range range);
  void note_id(uint64_t id, Position p);
  // Appends the zero-count row; the index is the caller's.
  Position push_empty(uint64_t id, uint32_t variable, std::span<const KeyEntry> key, const EmptyShape& shape,
                      uint64_t now);
  void add_to_text_index(Position p);

  util::PageArray<DistributionRow> rows_;
  util::PageArray<KeyEntry> key_entries_;
  // Counts: zeroed chunks that never move. A large chunk is pages of its
  // own, fresh from the system and so zero without being cleared (a
  // 10^7-distribution ingest has 1.6 GB of counts; an allocator's calloc
  // clears reused memory, which an open writes over at once anyway).
  uint64_t* zeroed_chunk(size_t words);
  std::vector<util::PageArray<uint64_t>> chunks_;
  uint64_t* chunk_next_ = nullptr;
  size_t chunk_left_ = 0;
  size_t cell_words_ = 0;
  std::vector<std::unique_ptr<const std::vector<std::string>>> category_lists_;
  std::vector<uint32_t> last_list_;  // per variable: its last list + 1
  // Histogram bounds, shared like the category lists (compared bit for bit).
  std::vector<model::Range> bounds_;
  std::vector<uint32_t> last_bounds_;  // per variable: its last bounds + 1
  std::unordered_map<Position, std::pair<uint64_t, uint64_t>> raw_ranges_;  // the non-zero ones

  // Names by number and numbers by name: a wide file has 10^5 variables,
  // so a name is found by one hash lookup, not a scan.
  std::vector<std::string> variables_;
  util::TextIdMap variable_ids_;
  std::vector<std::string> dimensions_;
  util::TextIdMap dimension_ids_;
  std::vector<std::unique_ptr<LabelDictionary>> labels_;

  // Integer index: (hash high half << 32) | (position + 1); 0 empty. The
  // high half (the tag) also picks the first slot tried.
  util::PageArray<uint64_t> slots_;
  size_t placed_ = 0;
  // Ids: most lists hold first_id_, first_id_ + 1, ... at positions 0, 1,
  // ...; an entry off that run is recorded in off_run_ (first wins).
  uint64_t first_id_ = 0;
  std::unordered_map<uint64_t, Position> off_run_;
  // The text index, once kept (see the top of this file): key -> id.
  std::unique_ptr<util::TextIdMap> text_index_;
  bool odd_text_ = false;  // a stored text holds ':', '/' or '|'
  // append_decoded's last variable and dimension numbers, by key entry.
  uint32_t load_variable_ = kNoId;
  std::vector<uint32_t> load_dimensions_;
};

}  // namespace quor::store
