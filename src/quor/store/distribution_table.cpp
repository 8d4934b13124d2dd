// The row half of DistributionTable: the name and label dictionaries, the
// rows with their keys and counts, the records they stand for, and
// creation. The index is in distribution_table_index.cpp.
#include "quor/store/distribution_table.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>

namespace quor::store {

namespace {

constexpr size_t kFirstChunkWords = size_t(1) << 12;
constexpr size_t kLargestChunkWords = size_t(1) << 20;  // 8 MB
// Shared category lists and bounds are searched while there are this few.
constexpr size_t kSearchedShares = 64;

}  // namespace

DistributionTable::DistributionTable() = default;
DistributionTable::~DistributionTable() = default;
DistributionTable::DistributionTable(DistributionTable&&) noexcept = default;
DistributionTable& DistributionTable::operator=(DistributionTable&&) noexcept = default;

bool DistributionTable::plain(std::string_view text) {
  for (char c : text)
    if (c == ':' || c == '/' || c == '|') return false;
  return true;
}

void DistributionTable::note_text(std::string_view text) {
  if (odd_text_ || plain(text)) return;
  odd_text_ = true;
  use_text_index();
}

uint32_t DistributionTable::find_variable(std::string_view name) const {
  const uint64_t* v = variable_ids_.find_id(name);
  return v == nullptr ? kNoId : static_cast<uint32_t>(*v);
}

uint32_t DistributionTable::intern_variable(std::string_view name) {
  const uint32_t v = find_variable(name);
  if (v != kNoId) return v;
  note_text(name);
  const auto id = static_cast<uint32_t>(variables_.size());
  variables_.emplace_back(name);
  variable_ids_.try_emplace(name, id);
  last_list_.push_back(0);
  last_bounds_.push_back(0);
  return id;
}

uint32_t DistributionTable::find_dimension(std::string_view name) const {
  const uint64_t* d = dimension_ids_.find_id(name);
  return d == nullptr ? kNoId : static_cast<uint32_t>(*d);
}

uint32_t DistributionTable::intern_dimension(std::string_view name) {
  const uint32_t d = find_dimension(name);
  if (d != kNoId) return d;
  note_text(name);
  const auto id = static_cast<uint32_t>(dimensions_.size());
  dimensions_.emplace_back(name);
  dimension_ids_.try_emplace(name, id);
  labels_.push_back(std::make_unique<LabelDictionary>());
  return id;
}

uint32_t DistributionTable::find_label(uint32_t dimension, std::string_view text) const {
  const uint32_t id = labels_[dimension]->find(text);
  return id == LabelDictionary::kAbsent ? kNoId : id;
}

uint32_t DistributionTable::intern_label(uint32_t dimension, std::string_view text) {
  const auto [id, added] = labels_[dimension]->intern(text);
  if (added) note_text(text);
  return id;
}

void DistributionTable::sort_key(std::vector<KeyEntry>& entries) const {
  // Keys have a handful of entries: insertion sort on the names.
  for (size_t i = 1; i < entries.size(); ++i) {
    const KeyEntry e = entries[i];
    size_t j = i;
    while (j > 0 && dimensions_[e.dimension] < dimensions_[entries[j - 1].dimension]) {
      entries[j] = entries[j - 1];
      --j;
    }
    entries[j] = e;
  }
}

void DistributionTable::intern_key(const model::DimensionMap& map, std::vector<KeyEntry>& out) {
  out.clear();
  for (const auto& [name, value] : map) {
    const uint32_t d = intern_dimension(name);
    out.push_back({d, intern_label(d, value)});
  }
  // A DimensionMap is in name order already.
}

std::pair<uint64_t, uint64_t> DistributionTable::raw_record_range(Position p) const {
  if (raw_ranges_.empty()) return {0, 0};
  auto it = raw_ranges_.find(p);
  return it == raw_ranges_.end() ? std::pair<uint64_t, uint64_t>{0, 0} : it->second;
}

bool DistributionTable::key_holds(Position p, std::span<const KeyEntry> entries) const {
  const std::span<const KeyEntry> k = key(p);
  for (const KeyEntry& want : entries) {
    bool found = false;
    for (const KeyEntry& e : k) {
      if (e.dimension == want.dimension) {
        found = e.label == want.label;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

model::DimensionMap DistributionTable::dimension_map(Position p) const { return dimension_map(key(p)); }

model::DimensionMap DistributionTable::dimension_map(std::span<const KeyEntry> key) const {
  model::DimensionMap map;
  for (const KeyEntry& e : key)
    map.emplace_hint(map.end(), dimensions_[e.dimension], std::string(label(e.dimension, e.label)));
  return map;
}

model::DistributionRepr DistributionTable::repr(Position p) const {
  const DistributionRow& r = rows_[p];
  std::vector<uint64_t> counts(r.cells, r.cells + r.ncells);
  if (r.is_histogram()) {
    const model::Range b = bounds_[r.bounds];
    return model::HistogramRepr{b.first, b.second, std::move(counts), r.total_count};
  }
  return model::CategoricalRepr{category_list(r.categories), std::move(counts), r.unknown_count,
                                r.total_count};
}

model::DistributionObject DistributionTable::record(Position p) const {
  const DistributionRow& r = rows_[p];
  model::DistributionObject d;
  d.id = r.id;
  d.variable = variables_[r.variable];
  d.dimension_key = dimension_map(p);
  d.repr = repr(p);
  d.sample_count = r.sample_count;
  d.entropy = r.entropy;
  d.last_updated = r.last_updated;
  d.version = r.version;
  d.raw_record_range = raw_record_range(p);
  return d;
}

void DistributionTable::view(Position p, DistributionView& out) const {
  const DistributionRow& r = rows_[p];
  out.id = r.id;
  out.variable = variables_[r.variable];
  out.key.clear();
  for (const KeyEntry& e : key(p)) out.key.emplace_back(dimensions_[e.dimension], label(e.dimension, e.label));
  out.histogram = r.is_histogram();
  if (out.histogram) {
    std::tie(out.min, out.max) = bounds_[r.bounds];
    out.categories = nullptr;
  } else {
    out.categories = &category_list(r.categories);
  }
  out.counts = cells(p);
  out.unknown_count = r.unknown_count;
  out.total_count = r.total_count;
  out.sample_count = r.sample_count;
  out.entropy = r.entropy;
  out.last_updated = r.last_updated;
  out.version = r.version;
  out.raw_record_range = raw_record_range(p);
}

void DistributionTable::append_index_key(std::string& out, Position p) const {
  out += variables_[rows_[p].variable];
  out += '|';
  bool first = true;
  for (const KeyEntry& e : key(p)) {
    if (!first) out += '/';
    first = false;
    out += dimensions_[e.dimension];
    out += ':';
    out += label(e.dimension, e.label);
  }
}

uint64_t* DistributionTable::take_cells(size_t n) {
  if (n == 0) return nullptr;
  if (n > chunk_left_) start_chunk(n);
  uint64_t* out = chunk_next_;
  chunk_next_ += n;
  chunk_left_ -= n;
  cell_words_ += n;
  return out;
}

uint64_t* DistributionTable::zeroed_chunk(size_t words) {
  chunks_.emplace_back().assign_zeroed(words);
  return chunks_.back().data();
}

void DistributionTable::reserve(size_t n, size_t cells) {
  // At least doubling: a reserve per batch must not move the rows each time.
  if (rows_.size() + n > rows_.capacity())
    rows_.reserve(std::max(rows_.size() + n, rows_.capacity() * 2));
  if (!text_index_ && too_full(placed_ + n, slots_.size())) rebuild_index_slots(placed_ + n);
  const size_t words = n * cells;
  if (words > chunk_left_ && words > kLargestChunkWords) {
    chunk_next_ = zeroed_chunk(words);
    chunk_left_ = words;
  }
}

void DistributionTable::reserve_empties(size_t n, size_t cells, size_t entries) {
  // At least doubling, as reserve does: a batch after batch must not move
  // the arrays each time.
  if (rows_.size() + n > rows_.capacity()) rows_.reserve(std::max(rows_.size() + n, rows_.capacity() * 2));
  if (key_entries_.size() + entries > key_entries_.capacity())
    key_entries_.reserve(std::max(key_entries_.size() + entries, key_entries_.capacity() * 2));
  if (!text_index_ && too_full(placed_ + n, slots_.size())) rebuild_index_slots(placed_ + n);
  if (cells > chunk_left_) start_chunk(cells);
}

void DistributionTable::start_chunk(size_t need) {
  const size_t last = chunks_.empty() ? 0 : kFirstChunkWords << std::min<size_t>(chunks_.size() - 1, 8);
  const size_t words = std::max(need, std::min(kLargestChunkWords, std::max(kFirstChunkWords, last * 2)));
  chunk_next_ = zeroed_chunk(words);
  chunk_left_ = words;
}

uint32_t DistributionTable::share_categories(uint32_t variable, std::span<const std::string> categories) {
  uint32_t& last = last_list_[variable];
  auto same = [&](const std::vector<std::string>& list) { return std::ranges::equal(list, categories); };
  if (last != 0 && same(*category_lists_[last - 1])) return last;
  // Almost always one list per variable: past a few lists a new one is
  // kept as it comes rather than searched for.
  for (size_t i = category_lists_.size(); i-- > 0 && category_lists_.size() <= kSearchedShares;) {
    if (same(*category_lists_[i])) {
      last = static_cast<uint32_t>(i + 1);
      return last;
    }
  }
  category_lists_.push_back(
      std::make_unique<const std::vector<std::string>>(categories.begin(), categories.end()));
  last = static_cast<uint32_t>(category_lists_.size());
  return last;
}

uint32_t DistributionTable::share_bounds(uint32_t variable, model::Range range) {
  auto same = [&](const model::Range& b) {
    return std::bit_cast<uint64_t>(b.first) == std::bit_cast<uint64_t>(range.first) &&
           std::bit_cast<uint64_t>(b.second) == std::bit_cast<uint64_t>(range.second);
  };
  uint32_t& last = last_bounds_[variable];
  if (last != 0 && same(bounds_[last - 1])) return last - 1;
  for (size_t i = bounds_.size(); i-- > 0 && bounds_.size() <= kSearchedShares;) {
    if (same(bounds_[i])) {
      last = static_cast<uint32_t>(i + 1);
      return static_cast<uint32_t>(i);
    }
  }
  bounds_.push_back(range);
  last = static_cast<uint32_t>(bounds_.size());
  return last - 1;
}

void DistributionTable::note_id(uint64_t id, Position p) {
  if (p == 0) first_id_ = id;
  if (id < first_id_ || id - first_id_ != p) off_run_.try_emplace(id, p);
}

std::optional<Position> DistributionTable::position_of_id(uint64_t id) const {
  std::optional<Position> best;
  if (id >= first_id_) {
    const uint64_t p = id - first_id_;
    if (p < rows_.size() && rows_[p].id == id) best = static_cast<Position>(p);
  }
  if (!off_run_.empty()) {
    auto it = off_run_.find(id);
    if (it != off_run_.end() && (!best || it->second < *best)) best = it->second;
  }
  return best;
}

namespace {

// The row fields every stored distribution has, from a record or a decoded
// one (their field names are the same).
template <class Stored>
DistributionRow row_head(const Stored& d, uint32_t variable) {
  DistributionRow r{};
  r.id = d.id;
  r.sample_count = d.sample_count;
  r.entropy = d.entropy;
  r.last_updated = d.last_updated;
  r.version = d.version;
  r.variable = variable;
  return r;
}

}  // namespace

Position DistributionTable::append_record(const model::DistributionObject& d) {
  const uint32_t v = intern_variable(d.variable);
  thread_local std::vector<KeyEntry> key;
  intern_key(d.dimension_key, key);
  DistributionRow r = row_head(d, v);
  const std::vector<uint64_t>* counts = nullptr;
  if (const auto* h = std::get_if<model::HistogramRepr>(&d.repr)) {
    r.bounds = share_bounds(v, {h->min, h->max});
    r.total_count = h->total_count;
    counts = &h->bin_counts;
  } else {
    const auto& c = std::get<model::CategoricalRepr>(d.repr);
    r.categories = share_categories(v, c.categories);
    r.unknown_count = c.unknown_count;
    r.total_count = c.total_count;
    counts = &c.counts;
  }
  return place_stored(r, *counts, key, d.raw_record_range);
}

uint32_t DistributionTable::intern_decoded(const DecodedDistribution& d, std::vector<KeyEntry>& key) {
  // Consecutive distributions mostly share their variable and dimension
  // names: those are compared with the last ones before they are looked up.
  if (load_variable_ == kNoId || variables_[load_variable_] != d.variable)
    load_variable_ = intern_variable(d.variable);
  if (load_dimensions_.size() < d.key.size()) load_dimensions_.resize(d.key.size(), kNoId);
  for (size_t i = 0; i < d.key.size(); ++i) {
    uint32_t& dim = load_dimensions_[i];
    if (dim == kNoId || dimensions_[dim] != d.key[i].first) dim = intern_dimension(d.key[i].first);
    key.push_back({dim, intern_label(dim, d.key[i].second)});
  }
  return load_variable_;
}

Position DistributionTable::place_decoded(const DecodedDistribution& d, uint32_t v,
                                          std::span<const KeyEntry> key) {
  DistributionRow r = row_head(d, v);
  r.total_count = d.total_count;
  if (d.histogram) {
    r.bounds = share_bounds(v, {d.min, d.max});
  } else {
    r.categories = share_categories(v, d.categories);
    r.unknown_count = d.unknown_count;
  }
  return place_stored(r, d.counts, key, d.raw_record_range);
}

Position DistributionTable::append_decoded(const DecodedDistribution& d) {
  thread_local std::vector<KeyEntry> key;
  key.clear();
  const uint32_t v = intern_decoded(d, key);
  return place_decoded(d, v, key);
}

void DistributionTable::append_decoded(std::span<const DecodedDistribution> run) {
  thread_local std::vector<KeyEntry> keys;
  thread_local std::vector<std::pair<uint32_t, size_t>> ends;  // variable, end of its key
  keys.clear();
  ends.clear();
  for (const DecodedDistribution& d : run) {
    const size_t start = keys.size();
    const uint32_t v = intern_decoded(d, keys);
    ends.emplace_back(v, keys.size());
    prefetch_index(v, std::span<const KeyEntry>(keys.data() + start, keys.size() - start));
  }
  size_t start = 0;
  for (size_t i = 0; i < run.size(); ++i) {
    const auto [v, end] = ends[i];
    place_decoded(run[i], v, std::span<const KeyEntry>(keys.data() + start, end - start));
    start = end;
  }
}

Position DistributionTable::place_stored(DistributionRow& r, std::span<const uint64_t> counts,
                                         std::span<const KeyEntry> key,
                                         std::pair<uint64_t, uint64_t> raw_range) {
  const uint32_t v = r.variable;
  r.ncells = static_cast<uint32_t>(counts.size());
  r.cells = take_cells(counts.size());
  if (!counts.empty()) std::memcpy(r.cells, counts.data(), counts.size() * 8);
  r.key_size = static_cast<uint32_t>(key.size());
  r.key_offset = key_entries_.size();
  key_entries_.append(key.data(), key.size());
  // Room in the index first, placing the rows before this one.
  if (text_index_ == nullptr && too_full(placed_ + 1, slots_.size()))
    rebuild_index_slots(std::max<size_t>(placed_ + 1, slots_.size()));
  const auto p = static_cast<Position>(rows_.size());
  rows_.push_back(r);
  if (raw_range != std::pair<uint64_t, uint64_t>{0, 0}) raw_ranges_[p] = raw_range;
  note_id(r.id, p);
  if (text_index_ != nullptr) {
    add_to_text_index(p);
  } else {
    // One probe finds both whether the identity is taken and the free slot.
    bool found = false;
    const uint64_t h = key_hash(v, key);
    const size_t i = probe(v, key, h, found);
    if (found) {
      // Two distributions of one identity (a damaged file): the text index
      // keeps the stored form's order of keys and ids.
      use_text_index();
    } else {
      slots_[i] = (h >> 32) << 32 | (static_cast<uint64_t>(p) + 1);
      ++placed_;
    }
  }
  return p;
}

void DistributionTable::set_repr(Position p, const model::DistributionRepr& repr) {
  DistributionRow& r = rows_[p];
  const std::vector<uint64_t>* counts = nullptr;
  if (const auto* h = std::get_if<model::HistogramRepr>(&repr)) {
    r.categories = 0;
    r.bounds = share_bounds(r.variable, {h->min, h->max});
    r.unknown_count = 0;
    r.total_count = h->total_count;
    counts = &h->bin_counts;
  } else {
    const auto& c = std::get<model::CategoricalRepr>(repr);
    r.categories = share_categories(r.variable, c.categories);
    r.bounds = 0;
    r.unknown_count = c.unknown_count;
    r.total_count = c.total_count;
    counts = &c.counts;
  }
  if (counts->size() > r.ncells) r.cells = take_cells(counts->size());
  r.ncells = static_cast<uint32_t>(counts->size());
  if (!counts->empty()) std::memcpy(r.cells, counts->data(), counts->size() * 8);
}

DistributionTable::EmptyShape DistributionTable::empty_shape(uint32_t variable,
                                                            const model::VariableDefinition& def) {
  EmptyShape shape;
  if (const auto* c = std::get_if<model::ContinuousType>(&def.var_type)) {
    const model::Range range = c->range ? *c->range : model::Range{0.0, 1.0};
    shape.bounds = share_bounds(variable, range);
    shape.ncells = c->bins;
  } else {
    const auto& cat = std::get<model::CategoricalType>(def.var_type);
    shape.categories = share_categories(variable, cat.categories);
    shape.ncells = static_cast<uint32_t>(cat.categories.size());
  }
  return shape;
}

Position DistributionTable::push_empty(uint64_t id, uint32_t variable, std::span<const KeyEntry> key,
                                       const EmptyShape& shape, uint64_t now) {
  // Everything that can fail comes first, so that a failure adds nothing:
  // room for the row and its key, then the cells, then the id.
  if (rows_.size() == rows_.capacity()) rows_.reserve(std::max<size_t>(rows_.capacity() * 2, 16));
  if (key_entries_.size() + key.size() > key_entries_.capacity())
    key_entries_.reserve(std::max(key_entries_.size() + key.size(), key_entries_.capacity() * 2));
  DistributionRow r{};
  r.id = id;
  r.last_updated = now;
  r.version = 1;
  r.variable = variable;
  r.bounds = shape.bounds;
  r.categories = shape.categories;
  r.ncells = shape.ncells;
  r.cells = take_cells(r.ncells);
  r.key_size = static_cast<uint32_t>(key.size());
  r.key_offset = key_entries_.size();
  const auto p = static_cast<Position>(rows_.size());
  note_id(id, p);
  key_entries_.append(key.data(), key.size());
  rows_.push_back(r);
  return p;
}

Position DistributionTable::append_empty(uint64_t id, uint32_t variable, std::span<const KeyEntry> key,
                                         const model::VariableDefinition& def, uint64_t now) {
  // The index slot's room first: a row the index cannot find must not be
  // left behind.
  if (text_index_ == nullptr && too_full(placed_ + 1, slots_.size()))
    rebuild_index_slots(std::max<size_t>(placed_ + 1, slots_.size()));
  const Position p = push_empty(id, variable, key, empty_shape(variable, def), now);
  if (text_index_ != nullptr) {
    add_to_text_index(p);
  } else {
    index_place(p);
  }
  return p;
}

Position DistributionTable::find_or_append_empty(uint32_t variable, std::span<const KeyEntry> key,
                                                 const EmptyShape& shape, uint64_t id, uint64_t now,
                                                 bool& appended) {
  if (too_full(placed_ + 1, slots_.size())) rebuild_index_slots(std::max<size_t>(placed_ + 1, slots_.size()));
  const uint64_t h = key_hash(variable, key);
  bool found = false;
  const size_t i = probe(variable, key, h, found);
  appended = !found;
  if (found) return static_cast<Position>((slots_[i] & 0xFFFFFFFFull) - 1);
  const Position p = push_empty(id, variable, key, shape, now);
  slots_[i] = (h >> 32) << 32 | (static_cast<uint64_t>(p) + 1);
  ++placed_;
  return p;
}

DistIndexSource DistributionTable::index_source() const {
  DistIndexSource out;
  out.entries = index_size();
  out.visit = [this](const std::function<void(std::string_view, uint64_t)>& fn) {
    if (text_index_ != nullptr) {
      for (const auto& [key, id] : *text_index_) fn(key, id);
      return;
    }
    std::string text;
    for (Position p = 0; p < rows_.size(); ++p) {
      text.clear();
      append_index_key(text, p);
      fn(text, rows_[p].id);
    }
  };
  // The integer index visits the rows in order: any range of them can be
  // visited alone (the text index's order is its map's).
  if (text_index_ == nullptr) {
    out.visit_range = [this](size_t first, size_t last, const DistIndexSource::EntryFn& fn) {
      std::string text;
      for (size_t p = first; p < last; ++p) {
        text.clear();
        append_index_key(text, static_cast<Position>(p));
        fn(text, rows_[p].id);
      }
    };
  }
  return out;
}

model::DistIndex DistributionTable::index_record() const {
  model::DistIndex out;
  if (text_index_ != nullptr) {
    out.by_key = *text_index_;
    return out;
  }
  out.by_key.reserve(rows_.size());
  std::string text;
  for (Position p = 0; p < rows_.size(); ++p) {
    text.clear();
    append_index_key(text, p);
    out.by_key.try_emplace(text, rows_[p].id);
  }
  return out;
}

}  // namespace quor::store
