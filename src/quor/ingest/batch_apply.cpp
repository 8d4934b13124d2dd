#include "quor/ingest/batch_apply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <climits>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>

#include "quor/ingest/csv_reader.h"
#include "quor/ingest/file_bytes.h"
#include "quor/ingest/json_lines.h"
#include "quor/ingest/readers.h"
#include "quor/ingest/update_core.h"
#include "quor/ingest/worker_pool.h"
#include "quor/store/directory.h"
#include "quor/util/clock.h"

namespace quor::ingest {

namespace {

using internal::BatchUpdates;
using internal::CompiledSchema;
using internal::ObservationSource;

Error read_only_error() { return Error(std::string(store::kReadOnlyMessage)); }

// Raw-log lines of one batch, built in parallel blocks and appended with
// one open of the segment. A failed write consumes the identifiers of the
// lines up to and including the one it cut.
struct PendingLines {
  std::vector<std::string> blocks;  // whole lines, back to back
  std::vector<size_t> ends;         // byte offset just past each line
  uint64_t first_id = 0;
  void clear() {
    for (auto& p : blocks) p.clear();
    ends.clear();
  }
};

// Appends the lines; on failure sets `failed_line` to the index of the line
// that failed.
Status append_pending_lines(const store::RawLog& log, const PendingLines& p, size_t& failed_line) {
  const std::string path = log.segment_path.string();
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    failed_line = 0;
    return Error(os_error_text(errno)).add_context("open raw segment " + path);
  }
  std::vector<iovec> iov;
  // A last line left without its line feed by an earlier failure is
  // completed first, as the store's own append does.
  static char kNewline = '\n';
  size_t lead = 0;
  struct stat st {};
  char last = '\n';
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
      last != '\n') {
    iov.push_back({&kNewline, 1});
    lead = 1;
  }
  for (const auto& block : p.blocks)
    if (!block.empty()) iov.push_back({const_cast<char*>(block.data()), block.size()});
  const size_t total = lead + (p.ends.empty() ? 0 : p.ends.back());
  size_t done = 0;   // bytes written, the completing line feed included
  size_t first = 0;  // first iovec not wholly written
  while (done < total) {
    const int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = ::writev(fd, iov.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : EIO;
      ::close(fd);
      const size_t line_bytes = done < lead ? 0 : done - lead;
      const size_t j = static_cast<size_t>(
          std::upper_bound(p.ends.begin(), p.ends.end(), line_bytes) - p.ends.begin());
      failed_line = j;
      const bool only_newline = done >= lead && line_bytes + 1 == p.ends[j];
      return Error(os_error_text(e)).add_context(only_newline ? "append newline" : "append raw line");
    }
    done += static_cast<size_t>(n);
    size_t left = static_cast<size_t>(n);
    while (left > 0 && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (left > 0) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  ::close(fd);
  return ok_status();
}

// Applies batches of one ingest; keeps the resolution of dimension keys to
// distributions from batch to batch.
class BatchApplier final : public internal::KeyIndex {
 public:
  BatchApplier(store::Database& db, const store::Schema& schema)
      : db_(db), cs_(schema), nv_(schema.variables.size()) {}
  ~BatchApplier() noexcept override {
    // A batch that failed may leave the next one's step running; its fault,
    // if any, no longer matters.
    try {
      finish_ahead();
    } catch (...) {
    }
  }

  // Applies observations [begin, end) of `src`. When `next_end` > `end`, the
  // per-record step and the tally of [end, next_end) start on the worker
  // pool as soon as this batch no longer adds keys, and the next call picks
  // them up.
  Result<BatchCounters> apply(const ObservationSource& src, size_t begin, size_t end,
                              size_t next_end = 0);
  int64_t find(std::string_view blob, uint64_t hash) const override;

 private:
  struct KeyEntry {
    std::string blob;
    uint64_t hash = 0;
    store::DimensionMap map;
    std::vector<uint64_t> dist_id;  // per variable position; 0 = not resolved yet
    uint64_t epoch = 0;
    uint32_t batch_slot = 0;
  };
  struct Acc {
    std::vector<uint64_t> cells;
    uint64_t unknown = 0;
    uint64_t beyond = 0;  // slots past `cells` (a repeated variable name): total only
    bool used = false;
  };
  using Cell = std::pair<uint64_t, uint64_t>;
  // The counts of one batch, by key, before they reach the database.
  struct Tally {
    uint64_t epoch = 0;
    std::vector<uint32_t> batch_keys;
    std::vector<Acc> pool;
    std::vector<std::pair<uint32_t, size_t>> used;  // (batch slot, variable), in first-use order
    std::map<std::pair<size_t, uint32_t>, std::map<Cell, uint64_t>> joint_tallies;
    BatchCounters counters;
    bool refused = false;  // stopped at the first processed record (read-only, logging on)
    bool complete = false;
  };

  uint32_t intern(const std::string& blob, uint64_t hash);
  // Tallies `u` in input order into `t` (its epoch already set). Keys not
  // known yet are added when `may_intern`; otherwise the tally stops
  // incomplete at the first of them. `refuse` stops it at the first
  // processed record.
  void tally(const BatchUpdates& u, Tally& t, bool may_intern, bool refuse);
  // Writes one line per processed record of the batch, identifiers drawn
  // from the meta file in record order.
  Status write_raw_lines(uint64_t processed);
  // Adds tally i (its distribution resolved in acc_objs_) to the distribution.
  void add_tally(size_t i);
  // Adds the first `count` tallies (their ids resolved), one after the other.
  void apply_partially(size_t count);
  // The per-record step of the next batch, run while this one is applied.
  // It reads the key table (find) but nothing that apply changes after its
  // tally loop.
  void start_ahead(const ObservationSource& src, size_t begin, size_t end, bool payloads,
                   bool refuse);
  // Waits for the step started ahead, if any.
  void finish_ahead();

  store::Database& db_;
  CompiledSchema cs_;
  size_t nv_;
  std::vector<KeyEntry> keys_;
  std::vector<uint32_t> table_;  // open addressing: key index + 1, 0 empty
  uint64_t epoch_ = 0;  // the last epoch handed out (by the calling thread)
  Tally cur_;
  BatchUpdates updates_;
  Tally ahead_tally_;
  BatchUpdates ahead_updates_;
  struct Ahead {
    bool running = false;
    const ObservationSource* src = nullptr;
    size_t begin = 0, end = 0;
    bool payloads = false;
    bool refuse = false;
  } ahead_;
  oneapi::tbb::task_group ahead_group_;
  PendingLines lines_;
  std::vector<size_t> line_len_;
  std::vector<uint64_t> acc_ids_;
  std::vector<store::DistributionObject*> acc_objs_;
  std::vector<uint64_t> stamp_;  // per distribution id: the last epoch it was applied in
};

// Adds n to one cell of a joint; cells outside its table are ignored.
void add_joint_cell(store::JointDistributionObject& joint, uint64_t x, uint64_t y, uint64_t count) {
  if (auto* grid = std::get_if<store::HistogramGridRepr>(&joint.repr)) {
    if (x < grid->counts.size() && y < grid->counts[x].size()) {
      grid->counts[x][y] = store::add_counts(grid->counts[x][y], count);
      grid->total_count = store::add_counts(grid->total_count, count);
      joint.sample_count = store::add_counts(joint.sample_count, count);
    }
  } else if (auto* table = std::get_if<store::ContingencyTableRepr>(&joint.repr)) {
    if (x < table->counts.size() && y < table->counts[x].size()) {
      table->counts[x][y] = store::add_counts(table->counts[x][y], count);
      table->total_count = store::add_counts(table->total_count, count);
      joint.sample_count = store::add_counts(joint.sample_count, count);
    }
  } else if (auto* cond = std::get_if<store::ConditionalHistogramsRepr>(&joint.repr)) {
    if (x < cond->histograms.size()) {
      if (auto* h = std::get_if<store::HistogramRepr>(&cond->histograms[x]);
          h != nullptr && y < h->bin_counts.size()) {
        h->bin_counts[y] = store::add_counts(h->bin_counts[y], count);
        h->total_count = store::add_counts(h->total_count, count);
        cond->total_count = store::add_counts(cond->total_count, count);
        joint.sample_count = store::add_counts(joint.sample_count, count);
      }
    }
  }
}

int64_t BatchApplier::find(std::string_view blob, uint64_t hash) const {
  if (table_.empty()) return -1;
  const size_t mask = table_.size() - 1;
  for (size_t p = hash & mask; table_[p] != 0; p = (p + 1) & mask) {
    const KeyEntry& k = keys_[table_[p] - 1];
    if (k.hash == hash && k.blob == blob) return table_[p] - 1;
  }
  return -1;
}

uint32_t BatchApplier::intern(const std::string& blob, uint64_t hash) {
  if (table_.empty() || (keys_.size() + 1) * 2 > table_.size()) {
    std::vector<uint32_t> grown(table_.empty() ? 1024 : table_.size() * 2, 0);
    const size_t mask = grown.size() - 1;
    for (size_t i = 0; i < keys_.size(); ++i) {
      size_t p = keys_[i].hash & mask;
      while (grown[p] != 0) p = (p + 1) & mask;
      grown[p] = static_cast<uint32_t>(i + 1);
    }
    table_ = std::move(grown);
  }
  const size_t mask = table_.size() - 1;
  size_t p = hash & mask;
  while (table_[p] != 0) {
    const KeyEntry& k = keys_[table_[p] - 1];
    if (k.hash == hash && k.blob == blob) return table_[p] - 1;
    p = (p + 1) & mask;
  }
  KeyEntry e;
  e.blob = blob;
  e.hash = hash;
  e.map = internal::decode_key(cs_, blob);
  e.dist_id.assign(nv_, 0);
  keys_.push_back(std::move(e));
  table_[p] = static_cast<uint32_t>(keys_.size());
  return static_cast<uint32_t>(keys_.size() - 1);
}

void BatchApplier::add_tally(size_t i) {
  const auto [slot, v] = cur_.used[i];
  const Acc& acc = cur_.pool[static_cast<size_t>(slot) * nv_ + v];
  store::DistributionObject* d = acc_objs_[i];
  if (auto* h = std::get_if<store::HistogramRepr>(&d->repr)) {
    if (!cs_.vars[v].categorical) {
      for (size_t b = 0; b < acc.cells.size(); ++b) {
        const uint64_t c = acc.cells[b];
        if (c == 0) continue;
        if (b < h->bin_counts.size()) h->bin_counts[b] = store::add_counts(h->bin_counts[b], c);
        h->total_count = store::add_counts(h->total_count, c);
      }
      h->total_count = store::add_counts(h->total_count, acc.beyond);
    }
  } else if (auto* cat = std::get_if<store::CategoricalRepr>(&d->repr)) {
    if (cs_.vars[v].categorical) {
      for (size_t c_i = 0; c_i < acc.cells.size(); ++c_i) {
        const uint64_t c = acc.cells[c_i];
        if (c == 0) continue;
        if (c_i < cat->counts.size()) cat->counts[c_i] = store::add_counts(cat->counts[c_i], c);
        cat->total_count = store::add_counts(cat->total_count, c);
      }
      cat->unknown_count = store::add_counts(cat->unknown_count, acc.unknown);
      cat->total_count = store::add_counts(cat->total_count, acc.unknown);
      cat->total_count = store::add_counts(cat->total_count, acc.beyond);
    }
  }
}

void BatchApplier::apply_partially(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    store::DistributionObject* d = db_.distribution_by_id_mut(acc_ids_[i]);
    if (d == nullptr) return;
    acc_objs_.resize(std::max(acc_objs_.size(), i + 1));
    acc_objs_[i] = d;
    add_tally(i);
  }
}

void BatchApplier::start_ahead(const ObservationSource& src, size_t begin, size_t end,
                               bool payloads, bool refuse) {
  finish_ahead();
  ahead_ = Ahead{true, &src, begin, end, payloads, refuse};
  ahead_tally_.epoch = ++epoch_;
  worker_arena().execute([&] {
    ahead_group_.run([this] {
      internal::compute_batch(cs_, *ahead_.src, ahead_.begin, ahead_.end, ahead_.payloads,
                              ahead_updates_, this);
      tally(ahead_updates_, ahead_tally_, false, ahead_.refuse);
    });
  });
}

void BatchApplier::tally(const BatchUpdates& u, Tally& t, bool may_intern, bool refuse) {
  t.batch_keys.clear();
  for (const auto& [slot, v] : t.used) t.pool[static_cast<size_t>(slot) * nv_ + v].used = false;
  t.used.clear();
  t.joint_tallies.clear();
  t.counters = BatchCounters{};
  t.refused = false;
  t.complete = false;
  const size_t n = u.n;
  const size_t nj = cs_.joints.size();
  for (size_t k = 0; k < n; ++k) {
    if (!u.present[k]) {
      ++t.counters.skipped;
      continue;
    }
    if (u.key_id[k] < 0 && !may_intern) return;
    const uint32_t key = u.key_id[k] >= 0 ? static_cast<uint32_t>(u.key_id[k])
                                          : intern(u.keys[k], u.key_hash[k]);
    KeyEntry& entry = keys_[key];
    if (entry.epoch != t.epoch) {
      entry.epoch = t.epoch;
      entry.batch_slot = static_cast<uint32_t>(t.batch_keys.size());
      t.batch_keys.push_back(key);
      if (t.pool.size() < t.batch_keys.size() * nv_) t.pool.resize(t.batch_keys.size() * nv_);
    }
    const int64_t* slots = u.slots.data() + k * nv_;
    Acc* accs = t.pool.data() + static_cast<size_t>(entry.batch_slot) * nv_;
    for (size_t v = 0; v < nv_; ++v) {
      const int64_t s = slots[v];
      if (s == internal::kNoSlot) continue;
      const size_t av = cs_.acc_var[v];
      if (cs_.vars[v].categorical != cs_.vars[av].categorical) continue;
      Acc& acc = accs[av];
      if (!acc.used) {
        acc.used = true;
        acc.cells.assign(cs_.num_slots_of(av), 0);
        acc.unknown = 0;
        acc.beyond = 0;
        t.used.emplace_back(entry.batch_slot, av);
      }
      if (s == internal::kUnknownSlot) ++acc.unknown;
      else if (static_cast<size_t>(s) < acc.cells.size()) ++acc.cells[static_cast<size_t>(s)];
      else ++acc.beyond;
    }
    const uint64_t* cells = u.cells.data() + k * nj * 2;
    for (size_t j = 0; j < nj; ++j) {
      if (cells[2 * j] == internal::kNoCell) continue;
      ++t.joint_tallies[{cs_.joints[j].tally, key}][{cells[2 * j], cells[2 * j + 1]}];
    }
    ++t.counters.processed;
    if (refuse) {
      t.refused = true;
      break;
    }
  }
  t.complete = true;
}

void BatchApplier::finish_ahead() {
  if (!ahead_.running) return;
  ahead_.running = false;
  worker_arena().execute([&] { ahead_group_.wait(); });
}

Status BatchApplier::write_raw_lines(uint64_t processed) {
  store::MetaFile& meta = db_.meta;
  const size_t n = updates_.n;
  constexpr size_t kBlock = 512;
  const size_t nblocks = (n + kBlock - 1) / kBlock;
  if (lines_.blocks.size() < nblocks) lines_.blocks.resize(nblocks);
  // Identifier of each block's first line: the count of processed records before it.
  std::vector<uint64_t> first_rank(nblocks + 1, 0);
  for (size_t c = 0; c < nblocks; ++c) {
    uint64_t m = 0;
    for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k) m += updates_.present[k];
    first_rank[c + 1] = first_rank[c] + m;
  }
  lines_.first_id = meta.next_raw_record_id;
  line_len_.resize(processed);
  auto build = [&](size_t c) {
    std::string& out = lines_.blocks[c];
    out.clear();
    uint64_t rank = first_rank[c];
    char buf[24];
    for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k) {
      if (!updates_.present[k]) continue;
      const size_t before = out.size();
      out += updates_.payloads[k];
      auto r = std::to_chars(buf, buf + sizeof buf, lines_.first_id + rank);
      out.append(buf, r.ptr);
      out += "}\n";
      line_len_[rank++] = out.size() - before;
    }
  };
  if (nblocks > 1) {
    worker_arena().execute(
        [&] { oneapi::tbb::parallel_for(size_t(0), nblocks, [&](size_t c) { build(c); }); });
  } else if (nblocks == 1) {
    build(0);
  }
  lines_.ends.resize(processed);
  size_t total = 0;
  for (size_t j = 0; j < processed; ++j) lines_.ends[j] = total += line_len_[j];
  meta.next_raw_record_id = lines_.first_id + processed;
  size_t failed = 0;
  Status st = append_pending_lines(*db_.raw_log, lines_, failed);
  if (!st.ok()) meta.next_raw_record_id = lines_.first_id + failed + 1;
  return st;
}

Result<BatchCounters> BatchApplier::apply(const ObservationSource& src, size_t begin, size_t end,
                                          size_t next_end) {
  store::MetaFile& meta = db_.meta;
  const bool log_lines = meta.raw_log_enabled && db_.writable && db_.raw_log.has_value();
  const bool refuse = meta.raw_log_enabled && !db_.writable;
  const bool ready = ahead_.running && ahead_.src == &src && ahead_.begin == begin &&
                     ahead_.end == end && ahead_.payloads == log_lines && ahead_.refuse == refuse;
  finish_ahead();
  if (ready) {
    std::swap(updates_, ahead_updates_);
    if (ahead_tally_.complete) std::swap(cur_, ahead_tally_);
  } else {
    internal::compute_batch(cs_, src, begin, end, log_lines, updates_, this);
  }
  if (!ready || !cur_.complete) {
    // Tally in input order, adding the keys met for the first time.
    cur_.epoch = ++epoch_;
    tally(updates_, cur_, true, refuse);
  }
  cur_.complete = false;
  if (cur_.refused) return read_only_error();
  lines_.clear();
  BatchCounters counters = cur_.counters;

  // No key is added past this point: the next batch's step may run.
  if (next_end > end) start_ahead(src, end, next_end, log_lines, refuse);
  if (log_lines && counters.processed > 0) {
    QUOR_RETURN_IF_ERROR(write_raw_lines(counters.processed));
  }

  // Resolve every tally's distribution, creating those that are missing.
  const size_t na = cur_.used.size();
  acc_ids_.resize(na);
  for (size_t i = 0; i < na; ++i) {
    if (!db_.writable) return read_only_error();
    const auto [slot, v] = cur_.used[i];
    KeyEntry& entry = keys_[cur_.batch_keys[slot]];
    uint64_t& id = entry.dist_id[v];
    if (id == 0) {
      auto ensured = db_.ensure_distribution(cs_.schema.variables[v].name, entry.map);
      if (!ensured.ok()) {
        // The tallies before the failing one stay applied.
        apply_partially(i);
        return std::move(ensured).error();
      }
      id = *ensured;
    }
    if (db_.distribution_by_id_mut(id) == nullptr) {
      // An index naming an id the distributions lack.
      apply_partially(i);
      return store::distribution_id_not_found_error(id);
    }
    acc_ids_[i] = id;
  }
  acc_objs_.resize(na);
  bool distinct = true;
  // Ids are dense from 1 when this store assigns them; a stored counter far
  // beyond the distributions held gets no table (the ids past it simply take
  // the sequential path below).
  const uint64_t wanted = meta.next_distribution_id + 1;
  const uint64_t bound = 2 * static_cast<uint64_t>(db_.data.distributions.size()) + 1024;
  if (stamp_.size() < wanted && wanted <= bound) stamp_.resize(wanted, 0);
  for (size_t i = 0; i < na; ++i) {
    store::DistributionObject* d = db_.distribution_by_id_mut(acc_ids_[i]);
    if (d == nullptr) return store::distribution_id_not_found_error(acc_ids_[i]);
    acc_objs_[i] = d;
    const uint64_t id = acc_ids_[i];
    if (id < stamp_.size()) {
      if (stamp_[id] == cur_.epoch) distinct = false;
      stamp_[id] = cur_.epoch;
    } else {
      distinct = false;
    }
  }

  // Add the tallies. Distinct distributions are independent, so they are
  // added (and later finalised) in parallel; two tallies that share one
  // distribution (colliding key strings) go one after the other.
  auto add_one = [&](size_t i) { add_tally(i); };
  const uint64_t now = unix_now_seconds();
  auto finalize_one = [&](size_t i) {
    store::DistributionObject* d = acc_objs_[i];
    d->sample_count = d->repr.total_count();
    d->entropy = store::repr_entropy(d->repr);
    d->version += 1;
    d->last_updated = now;
  };
  auto for_each = [&](auto&& fn) {
    if (distinct && na > 256) {
      worker_arena().execute(
          [&] {
            oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, na, 32),
                                      [&](const oneapi::tbb::blocked_range<size_t>& r) {
                                        for (size_t i = r.begin(); i != r.end(); ++i) fn(i);
                                      });
          });
    } else {
      for (size_t i = 0; i < na; ++i) fn(i);
    }
  };
  if (cur_.joint_tallies.empty()) {
    for_each([&](size_t i) {
      add_one(i);
      if (distinct) finalize_one(i);
    });
    if (!distinct)
      for (size_t i = 0; i < na; ++i) finalize_one(i);
  } else {
    for_each(add_one);
  }
  if (!cur_.joint_tallies.empty()) {
    for (const auto& [where, cells] : cur_.joint_tallies) {
      const auto& [a, b] = cs_.schema.joints[where.first];
      const store::DimensionMap& map = keys_[where.second].map;
      QUOR_RETURN_IF_ERROR(db_.ensure_joint(a, b, map));
      store::JointDistributionObject* joint = db_.find_joint_mut(a, b, map);
      if (joint == nullptr) continue;
      for (const auto& [cell, count] : cells) add_joint_cell(*joint, cell.first, cell.second, count);
    }
    // Joints never move marginals, so the pointers above still hold.
    for_each(finalize_one);
  }
  counters.distributions_updated = na;
  return counters;
}

// The rows of a parsed CSV file, read in place.
class CsvRowSource final : public ObservationSource {
 public:
  CsvRowSource(const CsvTable& table, std::vector<int64_t> dim_field, std::vector<int64_t> var_field)
      : table_(table), dim_field_(std::move(dim_field)), var_field_(std::move(var_field)) {}
  size_t size() const override { return table_.num_rows(); }
  void load(size_t i, internal::RowView& row) const override {
    thread_local std::vector<CsvTable::FieldRef> fields;
    table_.split_row(i, fields);
    const size_t nd = dim_field_.size();
    for (size_t d = 0; d < nd; ++d) {
      if (dim_field_[d] < 0) continue;
      row.has_dim[d] = 1;
      row.dims[d] = table_.text(fields[static_cast<size_t>(dim_field_[d])], row.scratch[d]);
    }
    for (size_t v = 0; v < var_field_.size(); ++v) {
      if (var_field_[v] < 0) continue;
      row.has_val[v] = 1;
      internal::ValueRef& val = row.vals[v];
      val.kind = internal::ValueRef::Kind::String;
      val.str = table_.text(fields[static_cast<size_t>(var_field_[v])], row.scratch[nd + v]);
    }
  }

 private:
  const CsvTable& table_;
  std::vector<int64_t> dim_field_;
  std::vector<int64_t> var_field_;
};

void print_progress(uint64_t processed, uint64_t total, uint64_t updated) {
  char pct[32];
  auto r = std::to_chars(pct, pct + sizeof pct, 100.0 * static_cast<double>(processed) /
                                                    static_cast<double>(total),
                         std::chars_format::fixed, 1);
  std::string line = "Ingesting: " + std::to_string(processed) + " / " + std::to_string(total) +
                     " rows (" + std::string(pct, r.ptr) + "%) \xE2\x80\x94 " +
                     std::to_string(updated) + " distributions updated\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

using Clock = std::chrono::steady_clock;

// Applies every observation of `src` in slices, then flushes.
Result<IngestReport> run_batches(store::Database& db, const store::Schema& schema,
                                 const ObservationSource& src, uint64_t batch_size, bool progress,
                                 Clock::time_point started) {
  IngestReport report;
  report.total_rows = src.size();
  const size_t slice = batch_size == 0 ? 1 : static_cast<size_t>(batch_size);
  BatchApplier applier(db, schema);
  for (size_t pos = 0; pos < src.size();) {
    const size_t end = pos + std::min(slice, src.size() - pos);
    const size_t next_end = end + std::min(slice, src.size() - end);
    QUOR_ASSIGN_OR_RETURN(BatchCounters c, applier.apply(src, pos, end, next_end));
    report.processed_rows += c.processed;
    report.skipped_rows += c.skipped;
    report.distributions_updated += c.distributions_updated;
    if (progress && report.total_rows != 0)
      print_progress(report.processed_rows, report.total_rows, report.distributions_updated);
    pos = end;
  }
  QUOR_RETURN_IF_ERROR(store::flush_database(db));
  const auto elapsed = Clock::now() - started;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
  report.elapsed_ms = static_cast<uint64_t>(secs.count()) * 1000 +
                      static_cast<uint64_t>(nanos.count()) / 1000000;
  return report;
}

std::vector<Observation> prepare_all(const std::vector<InputRecord>& records,
                                     const ColumnLookup& lookup) {
  std::vector<Observation> out;
  out.reserve(records.size());
  for (const auto& r : records)
    if (auto obs = record_to_observation(r, lookup)) out.push_back(std::move(*obs));
  return out;
}

// Adds the inferred definitions whose names the schema lacks.
Status add_missing_definitions(store::Database& db, const store::Schema& inferred) {
  for (const auto& v : inferred.variables) {
    if (db.find_variable(v.name) != nullptr) continue;
    QUOR_RETURN_IF_ERROR(db.add_variable(v));
  }
  for (const auto& d : inferred.dimensions) {
    bool known = false;
    for (const auto& have : db.meta.schema.dimensions)
      if (have.name == d.name) known = true;
    if (known) continue;
    QUOR_RETURN_IF_ERROR(db.add_dimension(d));
  }
  return ok_status();
}

Result<IngestReport> ingest_csv_table(store::Database& db, const CsvTable& table,
                                      const IngestOptions& options, uint64_t batch_size,
                                      bool progress) {
  std::vector<InputRecord> sample;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(table.num_rows(), options.sample_size));
  sample.reserve(count);
  for (size_t i = 0; i < count; ++i) sample.push_back(table.record(i));
  QUOR_RETURN_IF_ERROR(add_missing_definitions(db, infer_schema(sample, count, options)));
  sample.clear();

  const store::Schema schema = db.meta.schema;
  const ColumnLookup lookup = build_column_lookup(schema);
  // Column of each header name (a later equal header wins).
  std::unordered_map<std::string_view, int64_t> field_of;
  for (size_t f = 0; f < table.headers().size(); ++f)
    field_of.insert_or_assign(table.headers()[f], static_cast<int64_t>(f));
  auto field = [&](const std::string& name) -> int64_t {
    auto it = field_of.find(name);
    return it == field_of.end() ? -1 : it->second;
  };
  // Every CSV field is a text, so a record yields an observation exactly when
  // the file has every dimension source column.
  bool all_sources = true;
  for (const auto& [column, dim] : lookup.dimensions_by_column)
    if (field(column) < 0) all_sources = false;
  std::vector<int64_t> dim_field(schema.dimensions.size(), -1);
  for (size_t d = 0; d < schema.dimensions.size(); ++d) {
    const auto& def = schema.dimensions[d];
    auto it = lookup.dimensions_by_column.find(def.source_column);
    if (it != lookup.dimensions_by_column.end() && it->second == def.name)
      dim_field[d] = field(def.source_column);
  }
  std::vector<int64_t> var_field(schema.variables.size(), -1);
  for (size_t v = 0; v < schema.variables.size(); ++v) var_field[v] = field(schema.variables[v].name);

  const auto started = Clock::now();
  if (!all_sources) {
    internal::ObservationListSource none(schema, nullptr, 0);
    return run_batches(db, schema, none, batch_size, progress, started);
  }
  CsvRowSource src(table, std::move(dim_field), std::move(var_field));
  return run_batches(db, schema, src, batch_size, progress, started);
}

}  // namespace

Result<BatchCounters> apply_observation_batch(store::Database& db, const store::Schema& schema,
                                              std::span<const Observation> observations) {
  BatchApplier applier(db, schema);
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  return applier.apply(src, 0, observations.size());
}

Result<IngestReport> ingest_rows_in_batches(store::Database& db,
                                            const std::vector<InputRecord>& records,
                                            const ColumnLookup& lookup, uint64_t batch_size,
                                            bool progress) {
  const store::Schema schema = db.meta.schema;
  const std::vector<Observation> observations = prepare_all(records, lookup);
  const auto started = Clock::now();
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  return run_batches(db, schema, src, batch_size, progress, started);
}

Result<IngestReport> ingest_file(store::Database& db, const std::string& path,
                                 const IngestOptions& options, uint64_t batch_size, bool progress) {
  QUOR_ASSIGN_OR_RETURN(InputFormat format, input_format_for(path));
  if (format == InputFormat::Csv) {
    QUOR_ASSIGN_OR_RETURN(CsvTable table, read_csv_table(path));
    return ingest_csv_table(db, table, options, batch_size, progress);
  }
  QUOR_ASSIGN_OR_RETURN(std::vector<InputRecord> records, read_json_lines(path));
  const size_t count = static_cast<size_t>(std::min<uint64_t>(records.size(), options.sample_size));
  QUOR_RETURN_IF_ERROR(add_missing_definitions(db, infer_schema(records, count, options)));
  const ColumnLookup lookup = build_column_lookup(db.meta.schema);
  return ingest_rows_in_batches(db, records, lookup, batch_size, progress);
}

Result<BatchCounters> apply_input_records(store::Database& db,
                                          const std::vector<InputRecord>& records) {
  const store::Schema schema = db.meta.schema;
  const ColumnLookup lookup = build_column_lookup(schema);
  const std::vector<Observation> observations = prepare_all(records, lookup);
  return apply_observation_batch(db, schema, observations);
}

}  // namespace quor::ingest
