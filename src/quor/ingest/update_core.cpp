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
#include "quor/ingest/internal/line_block.h"
#include "quor/ingest/internal/step_memos.h"
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
bool append_plain_line(LineBlock& out, const CompiledSchema& cs, const RowView& row,
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
  char* d = out.room(bound);
  d = put_text(d, kRawLineStart);
  *d++ = '{';
  bool first = true;
  for (size_t i = 0; i < cs.payload_vars.size(); ++i) {
    const size_t v = cs.payload_vars[i];
    if (!row.has_val[v]) continue;
    if (!first) *d++ = ',';
    first = false;
    d = put_text(d, cs.payload_names[i]);
    *d++ = '"';
    d = put_text(d, row.vals[v].str);
    *d++ = '"';
  }
  *d++ = '}';
  d = put_text(d, kRawLineIdMember);
  d = put_text(d, id);
  d = put_text(d, kRawLineEnd);
  out.advance_to(d);
  return true;
}

void append_u32(std::string& out, size_t n) {
  const uint32_t v = static_cast<uint32_t>(n);
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}

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
  std::vector<ShortTextMemo<int64_t>> bins_met;  // per variable: bins of short texts
  std::vector<std::string_view> label;
  LineBlock lines;    // the current share's raw-log lines
  std::string line;  // a raw-log line with values to escape, built here first
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
        bins_met(cs.vars.size()),
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
      if (const uint32_t* met_id = short_met[i].find(text, word)) return *met_id;
      const uint32_t id = keys->find_label(i, text, KeyTable::text_hash(text));
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

// The bin of a numeric variable's value; a short text's bin comes from
// the worker's memo when met before.
int64_t bin_of(const CompiledSchema::Variable& var, const ValueRef& x, ShortTextMemo<int64_t>& met) {
  if (x.kind != ValueRef::Kind::String || x.str.size() > ShortTextMemo<int64_t>::kMaxText)
    return var.bin_of(x);
  const uint64_t word = ShortTextMemo<int64_t>::word_of(x.str);
  if (const int64_t* bin = met.find(x.str, word)) return *bin;
  const int64_t bin = var.bin_of(x);
  met.put(x.str, word, bin);
  return bin;
}

// Each variable's slot: its category (or the unknown one) or its bin.
void record_slots(const CompiledSchema& cs, StepScratch& scratch, size_t k, BatchUpdates& out) {
  const RowView& row = scratch.row;
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
      slots[v] = bin_of(var, row.vals[v], scratch.bins_met[v]);
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

// The record's raw-log line, whole, once, at the end of `p` (a line with
// values to escape is built in `line` first).
void record_raw_line(const CompiledSchema& cs, const RowView& row, size_t k, BatchUpdates& out,
                     LineBlock& p, std::string& line, std::string_view id) {
  const size_t before = p.used();
  if (!append_plain_line(p, cs, row, id)) {
    line.clear();
    store::append_raw_line(line, id, [&](std::string& o) {
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
    p.append(line);
  }
  out.line_length[k] = static_cast<uint32_t>(p.used() - before);
}

// Computes the observation in `scratch.row` into position `k` of `out`;
// its raw-log line (when asked for) goes to the end of `line_out` with `id`.
void compute_one(const CompiledSchema& cs, StepScratch& scratch, size_t k, BatchUpdates& out,
                 const KeyTable* keys, LineBlock* line_out, std::string_view id) {
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
  record_slots(cs, scratch, k, out);
  record_joint_cells(cs, row, k, out);
  if (line_out != nullptr) record_raw_line(cs, row, k, out, *line_out, scratch.line, id);
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
    row.fit(ndims, nv);
    LineBlock* const line_out = want_lines ? &scratch.lines : nullptr;
    if (line_out != nullptr) line_out->start();
    DecimalCounter id(first_id + first_rank[c]);
    for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k) {
      src.load(begin + k, row);
      compute_one(cs, scratch, k, out, keys, line_out, id.text());
      if (out.present[k] && line_out != nullptr) id.increment();
    }
    if (line_out != nullptr) line_out->copy_to(out.blocks[c]);
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
