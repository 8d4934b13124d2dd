#include "quor/ingest/internal/update_core.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/internal/date_bucket.h"
#include "quor/ingest/internal/decimal_counter.h"
#include "quor/ingest/internal/key_table.h"
#include "quor/ingest/internal/worker_pool.h"
#include "quor/store/raw_log.h"
#include "quor/util/json.h"

namespace quor::ingest::internal {

namespace {

// The text a categorical variable looks up for a value.
std::string_view category_text(const ValueRef& v, char* buf) {
  if (v.kind == ValueRef::Kind::String) return v.str;
  if (v.kind == ValueRef::Kind::Number) {
    if (v.num.kind == util::JsonNumber::Kind::NegInt) {
      auto r = std::to_chars(buf, buf + 32, v.num.i);
      return {buf, static_cast<size_t>(r.ptr - buf)};
    }
    if (v.num.kind == util::JsonNumber::Kind::PosInt &&
        v.num.u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      auto r = std::to_chars(buf, buf + 32, v.num.u);
      return {buf, static_cast<size_t>(r.ptr - buf)};
    }
  }
  return "unknown";
}

// The raw-log line of a record whose values are all texts that need no
// escaping, written in one go (the line append_value_json would build).
// False, with `out` unchanged, for any other record.
bool append_plain_line(std::string& out, const CompiledSchema& cs, const RowView& row,
                       std::string_view id) {
  using store::kRawLineEnd, store::kRawLineIdMember, store::kRawLineStart;
  size_t bound = kRawLineStart.size() + 2 + kRawLineIdMember.size() + 20 + kRawLineEnd.size();
  for (size_t i = 0; i < cs.payload_vars.size(); ++i) {
    const size_t v = cs.payload_vars[i];
    if (!row.has_val[v]) continue;
    const ValueRef& x = row.vals[v];
    if (x.kind != ValueRef::Kind::String || !util::json_text_is_plain(x.str)) return false;
    bound += 1 + cs.payload_names[i].size() + x.str.size() + 2;
  }
  const size_t at = out.size();
  out.resize(at + bound);
  char* d = out.data() + at;
  auto put = [&d](std::string_view t) {
    std::memcpy(d, t.data(), t.size());
    d += t.size();
  };
  put(kRawLineStart);
  *d++ = '{';
  bool first = true;
  for (size_t i = 0; i < cs.payload_vars.size(); ++i) {
    const size_t v = cs.payload_vars[i];
    if (!row.has_val[v]) continue;
    if (!first) *d++ = ',';
    first = false;
    put(cs.payload_names[i]);
    *d++ = '"';
    put(row.vals[v].str);
    *d++ = '"';
  }
  *d++ = '}';
  put(kRawLineIdMember);
  put(id);
  put(kRawLineEnd);
  out.resize(static_cast<size_t>(d - out.data()));
  return true;
}

void append_u32(std::string& out, size_t n) {
  const uint32_t v = static_cast<uint32_t>(n);
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}

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
// callgrind, together with RowView::reset's inline clear.
class ShortTextIds {
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
  // `t` no longer than kMaxText.
  uint32_t find(std::string_view t, uint64_t word) const {
    if (places_.empty()) return kNoLabel;
    const Place& at = places_[place_of(word, t.size())];
    return at.length == t.size() + 1 && at.word == word ? at.id : kNoLabel;
  }
  void put(std::string_view t, uint64_t word, uint32_t id) {
    if (places_.empty()) places_.resize(kPlaces);
    places_[place_of(word, t.size())] = {word, static_cast<uint32_t>(t.size() + 1), id};
  }

 private:
  static constexpr size_t kPlaces = 1024;
  struct Place {
    uint64_t word = 0;
    uint32_t length = 0;  // the text's length + 1, 0 while empty
    uint32_t id = kNoLabel;
  };
  static size_t place_of(uint64_t word, size_t n) {
    return static_cast<size_t>(((word ^ n) * 0x9E3779B97F4A7C15ull) >> 54);
  }
  std::vector<Place> places_;  // kPlaces once used
};

// What one worker keeps from record to record.
struct StepScratch {
  RowView row;
  // Per key dimension: whether its texts are bucketed (else each text is
  // its own label, looked up as it stands), their memo, the id of the
  // memo's last label, the texts met, and the current record's label (set
  // when its id is not known).
  std::vector<uint8_t> buckets;
  std::vector<BucketMemo> memos;
  std::vector<uint32_t> last_label;
  std::vector<TextIdCache> met;
  std::vector<ShortTextIds> short_met;  // for the texts that are their own labels
  std::vector<std::string_view> label;
  // The share's records whose labels are all known, with their key hashes.
  struct KeyToFind {
    size_t k;
    uint64_t hash;
  };
  std::vector<KeyToFind> to_find;
  explicit StepScratch(const CompiledSchema& cs)
      : last_label(cs.key_dims.size(), kNoLabel),
        met(cs.key_dims.size()),
        short_met(cs.key_dims.size()),
        label(cs.key_dims.size()) {
    memos.reserve(cs.key_dims.size());
    for (size_t d : cs.key_dims) {
      const auto& g = cs.schema.dimensions[d].granularity;
      buckets.push_back(g.has_value() && buckets_dates(*g) ? 1 : 0);
      memos.emplace_back(g);
    }
  }
  // The label id of key dimension i's text (kNoLabel when `keys` lacks it,
  // with label[i] set to the label).
  uint32_t label_id(const KeyTable* keys, size_t i, std::string_view text) {
    BucketMemo& memo = memos[i];
    if (!buckets[i]) {
      label[i] = text;
      if (keys == nullptr) return kNoLabel;
      if (text.size() > ShortTextIds::kMaxText) return keys->find_label(i, text, KeyTable::text_hash(text));
      const uint64_t word = ShortTextIds::word_of(text);
      uint32_t id = short_met[i].find(text, word);
      if (id != kNoLabel) return id;
      id = keys->find_label(i, text, KeyTable::text_hash(text));
      if (id != kNoLabel) short_met[i].put(text, word, id);
      return id;
    }
    if (keys == nullptr) {
      bool same = false;
      label[i] = memo.label(text, same);
      return kNoLabel;
    }
    if (last_label[i] != kNoLabel && memo.repeats(text)) return last_label[i];
    const uint64_t hash = KeyTable::text_hash(text);
    if (const uint32_t id = met[i].find(text, hash); id != kNoLabel) return id;
    bool same = false;
    label[i] = memo.label(text, same);
    if (!same || last_label[i] == kNoLabel)
      last_label[i] = keys->find_label(i, label[i], KeyTable::text_hash(label[i]));
    if (last_label[i] != kNoLabel) met[i].put(text, hash, last_label[i]);
    return last_label[i];
  }
};

}  // namespace

struct StepScratches::Impl {
  oneapi::tbb::enumerable_thread_specific<StepScratch> per_thread;
  explicit Impl(const CompiledSchema& cs) : per_thread([&cs] { return StepScratch(cs); }) {}
};

StepScratches::StepScratches(const CompiledSchema& cs, std::atomic<uint64_t>* cpu_ns)
    : impl_(std::make_unique<Impl>(cs)), cpu_ns_(cpu_ns) {}
StepScratches::~StepScratches() = default;

namespace {

uint64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// compute_one's steps for record k, each into its own part of `out`.
// The key: each key dimension looked up by its label (a text whose label is
// the last one's takes the last id). A key whose labels are all known is
// found with the share's other keys, after its rows (see find_keys); one
// with a label met for the first time is left pending for the calling
// thread to intern.
void record_key(const CompiledSchema& cs, StepScratch& scratch, size_t k, BatchUpdates& out,
                const KeyTable* keys) {
  const RowView& row = scratch.row;
  const size_t nkd = cs.key_dims.size();
  uint32_t* labels = out.labels.data() + k * nkd;
  bool known = keys != nullptr;
  for (size_t i = 0; i < nkd; ++i) {
    labels[i] = scratch.label_id(keys, i, row.dims[cs.key_dims[i]]);
    known = known && labels[i] != kNoLabel;
  }
  out.has_pending[k] = known ? 0 : 1;
  out.key_id[k] = -1;
  if (known) {
    scratch.to_find.push_back({k, KeyTable::key_hash(labels, nkd)});
    return;
  }
  std::string& p = out.pending[k];
  p.clear();
  for (size_t i = 0; i < nkd; ++i) {
    const std::string_view label = labels[i] != kNoLabel ? keys->label_text(i, labels[i]) : scratch.label[i];
    append_u32(p, label.size());
    p.append(label);
  }
}

// Each variable's slot: its category (or the unknown one) or its bin.
void record_slots(const CompiledSchema& cs, const RowView& row, size_t k, BatchUpdates& out) {
  const size_t nv = cs.vars.size();
  int64_t* slots = out.slots.data() + k * nv;
  char buf[32];
  for (size_t v = 0; v < nv; ++v) {
    slots[v] = kNoSlot;
    if (!row.has_val[v]) continue;
    const auto& var = cs.vars[v];
    if (var.categorical) {
      auto pos = var.find_category(category_text(row.vals[v], buf));
      if (pos) slots[v] = static_cast<int64_t>(*pos);
      else if (var.allow_unknown) slots[v] = kUnknownSlot;
    } else {
      slots[v] = var.bin_of(row.vals[v]);
    }
  }
}

// The cell of joint `jt`'s table that the row's two values fall in, if any.
std::optional<std::pair<uint64_t, uint64_t>> joint_cell(const CompiledSchema& cs,
                                                        const CompiledSchema::Joint& jt,
                                                        const RowView& row) {
  if (jt.a < 0 || jt.b < 0) return std::nullopt;
  const size_t a = static_cast<size_t>(jt.a), b = static_cast<size_t>(jt.b);
  if (!row.has_val[a] || !row.has_val[b]) return std::nullopt;
  const auto& va = cs.vars[a];
  const auto& vb = cs.vars[b];
  const ValueRef& xa = row.vals[a];
  const ValueRef& xb = row.vals[b];
  auto text_pos = [&](const CompiledSchema::Variable& var, const ValueRef& x) -> std::optional<uint64_t> {
    if (x.kind != ValueRef::Kind::String) return std::nullopt;
    return var.find_category(x.str);
  };
  std::optional<uint64_t> cx, cy;
  if (va.categorical && vb.categorical) {
    cx = jt.a_first ? text_pos(va, xa) : text_pos(vb, xb);
    cy = jt.a_first ? text_pos(vb, xb) : text_pos(va, xa);
  } else if (va.categorical != vb.categorical) {
    const bool a_cat = va.categorical;
    cx = a_cat ? text_pos(va, xa) : text_pos(vb, xb);
    int64_t bin = a_cat ? vb.bin_of(xb) : va.bin_of(xa);
    if (bin != kNoSlot) cy = static_cast<uint64_t>(bin);
  } else {
    int64_t bx = jt.a_first ? va.bin_of(xa) : vb.bin_of(xb);
    int64_t by = jt.a_first ? vb.bin_of(xb) : va.bin_of(xa);
    if (bx != kNoSlot) cx = static_cast<uint64_t>(bx);
    if (by != kNoSlot) cy = static_cast<uint64_t>(by);
  }
  if (!cx || !cy) return std::nullopt;
  return std::make_pair(*cx, *cy);
}

// Each joint's cell, kNoCell twice for none.
void record_joint_cells(const CompiledSchema& cs, const RowView& row, size_t k, BatchUpdates& out) {
  uint64_t* cells = out.cells.data() + k * cs.joints.size() * 2;
  for (size_t j = 0; j < cs.joints.size(); ++j) {
    const auto cell = joint_cell(cs, cs.joints[j], row);
    cells[2 * j] = cell ? cell->first : kNoCell;
    cells[2 * j + 1] = cell ? cell->second : kNoCell;
  }
}

// The record's raw-log line, whole, once, at the end of `p`.
void record_raw_line(const CompiledSchema& cs, const RowView& row, size_t k, BatchUpdates& out,
                     std::string& p, std::string_view id) {
  const size_t before = p.size();
  if (!append_plain_line(p, cs, row, id)) {
    store::append_raw_line(p, id, [&](std::string& o) {
      o += '{';
      bool first = true;
      for (size_t i = 0; i < cs.payload_vars.size(); ++i) {
        const size_t v = cs.payload_vars[i];
        if (!row.has_val[v]) continue;
        if (!first) o += ',';
        first = false;
        o += cs.payload_names[i];
        append_value_json(o, row.vals[v]);
      }
      o += '}';
    });
  }
  out.line_length[k] = static_cast<uint32_t>(p.size() - before);
}

// Computes the observation in `scratch.row` into position `k` of `out`;
// its raw-log line (when asked for) goes to the end of `line_out` with `id`.
void compute_one(const CompiledSchema& cs, StepScratch& scratch, size_t k, BatchUpdates& out,
                 const KeyTable* keys, std::string* line_out, std::string_view id) {
  const RowView& row = scratch.row;
  for (size_t d = 0; d < cs.schema.dimensions.size(); ++d) {
    if (!row.has_dim[d]) {
      out.present[k] = 0;
      out.key_id[k] = -1;
      return;
    }
  }
  out.present[k] = 1;
  record_key(cs, scratch, k, out, keys);
  record_slots(cs, row, k, out);
  record_joint_cells(cs, row, k, out);
  if (line_out != nullptr) record_raw_line(cs, row, k, out, *line_out, id);
}

// The keys of a share's records, looked up together once its rows are
// done: a large key table is out of cache, so each slot is fetched a few
// records ahead and the labels of the key in it a few records after that.
// Buys, on the flights CSV (3 M rows, monthly buckets, one thread; bench_ingest
// --case=step), 133-142 -> 118-123 ns of processor time a row for the step.
void find_keys(const KeyTable& keys, StepScratch& scratch, size_t nkd, BatchUpdates& out) {
  constexpr size_t kSlotAhead = 8, kLabelsAhead = 4;
  const auto& todo = scratch.to_find;
  const size_t n = todo.size();
  for (size_t i = 0; i < std::min(n, kSlotAhead); ++i) keys.prefetch_key_slot(todo[i].hash);
  for (size_t i = 0; i < std::min(n, kLabelsAhead); ++i) keys.prefetch_key_labels(todo[i].hash);
  for (size_t i = 0; i < n; ++i) {
    if (i + kSlotAhead < n) keys.prefetch_key_slot(todo[i + kSlotAhead].hash);
    if (i + kLabelsAhead < n) keys.prefetch_key_labels(todo[i + kLabelsAhead].hash);
    const size_t k = todo[i].k;
    out.key_id[k] = keys.find_key(out.labels.data() + k * nkd, todo[i].hash);
  }
  scratch.to_find.clear();
}

}  // namespace

void compute_batch(const CompiledSchema& cs, const ObservationSource& src, size_t begin,
                   size_t end, RawLines lines, uint64_t first_id, BatchUpdates& out,
                   const KeyTable* keys, StepScratches* scratches) {
  const size_t n = end - begin;
  const size_t nv = cs.vars.size(), nj = cs.joints.size(), nkd = cs.key_dims.size();
  out.n = n;
  out.nvars = nv;
  out.njoints = nj;
  out.nkeydims = nkd;
  out.present.assign(n, 0);
  out.labels.resize(n * nkd);
  out.key_id.resize(n);
  out.has_pending.assign(n, 0);
  if (out.pending.size() < n) out.pending.resize(n);
  out.slots.resize(n * nv);
  out.cells.resize(n * nj * 2);
  const bool want_lines = lines == RawLines::Write;
  out.lines = want_lines;
  out.first_id = first_id;
  const size_t kBlock = BatchUpdates::kLineBlock;
  const size_t nblocks = (n + kBlock - 1) / kBlock;
  // Identifier of each block's first line: the present records before it.
  std::vector<uint64_t> first_rank(nblocks + 1, 0);
  if (want_lines) {
    out.line_length.assign(n, 0);
    if (out.blocks.size() < nblocks) out.blocks.resize(nblocks);
    const int uniform = src.uniform_presence();
    if (uniform >= 0) {
      for (size_t c = 0; c < nblocks; ++c)
        first_rank[c + 1] = first_rank[c] + (uniform ? std::min(n, (c + 1) * kBlock) - c * kBlock : 0);
    } else {
      auto count = [&](size_t c) {
        uint64_t m = 0;
        for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k)
          m += src.has_all_dims(begin + k) ? 1 : 0;
        first_rank[c + 1] = m;
      };
      if (nblocks > 1)
        worker_arena().execute([&] { oneapi::tbb::parallel_for(size_t(0), nblocks, count); });
      else if (nblocks == 1)
        count(0);
      for (size_t c = 0; c < nblocks; ++c) first_rank[c + 1] += first_rank[c];
    }
  }
  const size_t ndims = cs.schema.dimensions.size();
  std::atomic<uint64_t>* const cpu_ns = scratches != nullptr ? scratches->cpu_ns() : nullptr;
  auto work = [&](size_t c) {
    const uint64_t started = cpu_ns != nullptr ? thread_cpu_ns() : 0;
    // A worker runs one share at a time (nothing inside waits for other
    // tasks), so its scratch is its own for the whole share.
    std::optional<StepScratch> own;
    StepScratch& scratch = scratches != nullptr ? scratches->impl().per_thread.local() : own.emplace(cs);
    RowView& row = scratch.row;
    std::string* line_out = nullptr;
    if (want_lines) {
      line_out = &out.blocks[c];
      line_out->clear();
    }
    DecimalCounter id(first_id + first_rank[c]);
    for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k) {
      row.reset(ndims, nv);
      src.load(begin + k, row);
      compute_one(cs, scratch, k, out, keys, line_out, id.text());
      if (out.present[k] && line_out != nullptr) id.increment();
    }
    if (keys != nullptr) find_keys(*keys, scratch, nkd, out);
    if (cpu_ns != nullptr) cpu_ns->fetch_add(thread_cpu_ns() - started, std::memory_order_relaxed);
  };
  if (nblocks <= 1) {
    if (nblocks == 1) work(0);
    return;
  }
  worker_arena().execute([&] { oneapi::tbb::parallel_for(size_t(0), nblocks, work); });
}

std::string_view pending_label(std::string_view p, size_t d) {
  size_t pos = 0;
  for (size_t i = 0;; ++i) {
    uint32_t len;
    std::memcpy(&len, p.data() + pos, 4);
    pos += 4;
    if (i == d) return p.substr(pos, len);
    pos += len;
  }
}

model::DimensionMap dimension_map_of(const CompiledSchema& cs, const BatchUpdates& u, size_t k,
                                     const KeyTable* keys) {
  model::DimensionMap map;
  const uint32_t* labels = u.labels.data() + k * u.nkeydims;
  for (size_t i = 0; i < cs.key_dims.size(); ++i) {
    std::string label(u.has_pending[k] ? pending_label(u.pending[k], i) : keys->label_text(i, labels[i]));
    map.emplace_hint(map.end(), cs.schema.dimensions[cs.key_dims[i]].name, std::move(label));
  }
  return map;
}

}  // namespace quor::ingest::internal
