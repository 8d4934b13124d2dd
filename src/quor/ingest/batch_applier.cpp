#include "quor/ingest/batch_applier.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/worker_pool.h"
#include "quor/store/dim_key.h"
#include "quor/util/clock.h"

namespace quor::ingest::internal {

namespace {

Error read_only_error() { return Error(std::string(store::kReadOnlyMessage)); }

// Adds one to a joint's cell; cells outside its table are ignored.
void add_joint_cell(model::JointDistributionObject& joint, uint64_t x, uint64_t y) {
  constexpr uint64_t one = 1;
  if (auto* grid = std::get_if<model::HistogramGridRepr>(&joint.repr)) {
    if (x < grid->counts.size() && y < grid->counts[x].size()) {
      grid->counts[x][y] = util::add_saturating(grid->counts[x][y], one);
      grid->total_count = util::add_saturating(grid->total_count, one);
      joint.sample_count = util::add_saturating(joint.sample_count, one);
    }
  } else if (auto* table = std::get_if<model::ContingencyTableRepr>(&joint.repr)) {
    if (x < table->counts.size() && y < table->counts[x].size()) {
      table->counts[x][y] = util::add_saturating(table->counts[x][y], one);
      table->total_count = util::add_saturating(table->total_count, one);
      joint.sample_count = util::add_saturating(joint.sample_count, one);
    }
  } else if (auto* cond = std::get_if<model::ConditionalHistogramsRepr>(&joint.repr)) {
    if (x < cond->histograms.size()) {
      if (auto* h = std::get_if<model::HistogramRepr>(&cond->histograms[x]);
          h != nullptr && y < h->bin_counts.size()) {
        h->bin_counts[y] = util::add_saturating(h->bin_counts[y], one);
        h->total_count = util::add_saturating(h->total_count, one);
        cond->total_count = util::add_saturating(cond->total_count, one);
        joint.sample_count = util::add_saturating(joint.sample_count, one);
      }
    }
  }
}

// Runs fn(i) for i in [0, n), on the pool when n is large.
template <class Fn>
void for_each_index(size_t n, bool parallel, Fn&& fn) {
  if (parallel && n > 1024) {
    worker_arena().execute([&] {
      oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, n, 256),
                                [&](const oneapi::tbb::blocked_range<size_t>& r) {
                                  for (size_t i = r.begin(); i != r.end(); ++i) fn(i);
                                });
    });
  } else {
    for (size_t i = 0; i < n; ++i) fn(i);
  }
}

}  // namespace

BatchApplier::BatchApplier(store::Database& db, const model::Schema& schema,
                           const IngestTuning& tuning)
    : db_(db),
      tuning_(tuning),
      compiled_(schema),
      variable_count_(schema.variables.size()),
      joint_count_(schema.joints.size()),
      keys_(compiled_.key_dims.size()),
      scratches_(compiled_, tuning.step_cpu_ns) {
  batch_time_.push_back(0);  // batch numbers count from 1
  db_.flush_state.note_change();  // the batches write counts, ids and the raw-log counter
  // The block variable of each variable's slots; none when a repeated
  // name's definitions differ in kind.
  tally_var_.resize(variable_count_);
  var_cells_.resize(variable_count_);
  for (size_t v = 0; v < variable_count_; ++v)
    var_cells_[v] = static_cast<uint32_t>(compiled_.num_slots_of(v));
  for (size_t v = 0; v < variable_count_; ++v) {
    const size_t av = compiled_.acc_var[v];
    tally_var_[v] = compiled_.vars[v].categorical == compiled_.vars[av].categorical ? static_cast<uint32_t>(av)
                                                                         : UINT32_MAX;
  }
  size_t parts = 1;
  while (parts * 2 <= static_cast<size_t>(worker_arena().max_concurrency())) parts *= 2;
  hits_.resize(parts);
  hit_mask_ = parts - 1;
}

BatchApplier::~BatchApplier() {
  // A batch that failed may leave the next one's step running; its fault,
  // if any, no longer matters.
  try {
    drop_ahead();
  } catch (...) {
  }
  settle();
}


Status BatchApplier::write_raw_lines(uint64_t processed) {
  model::MetaFile& meta = db_.meta;
  const uint64_t first = meta.next_raw_record_id;
  if (processed > UINT64_MAX - first)
    return Error("raw record id counter would pass " + std::to_string(UINT64_MAX) + " (next id " +
                 std::to_string(first) + ", records to number " + std::to_string(processed) + ")");
  if (!log_) log_ = std::make_unique<store::RawLogAppender>(db_.raw_log->segment_path);
  meta.next_raw_record_id = first + processed;
  const size_t nblocks = (updates_.n + BatchUpdates::kLineBlock - 1) / BatchUpdates::kLineBlock;
  size_t failed = 0;
  Status st = log_->append(updates_.blocks, nblocks, updates_.line_length, failed);
  if (!st.ok()) meta.next_raw_record_id = first + failed + 1;  // the cut line's id is consumed
  return st;
}

bool BatchApplier::key_entries(uint32_t key, bool intern) {
  store::DistributionTable& table = db_.distributions;
  const size_t ndims = compiled_.key_dims.size();
  if (table_dims_.size() != ndims) {
    // Key dimension i is the i-th name in byte-wise order.
    std::vector<std::string_view> names;
    for (size_t d : compiled_.key_dims) names.push_back(compiled_.schema.dimensions[d].name);
    std::sort(names.begin(), names.end());
    table_dims_.assign(ndims, store::kNoId);
    for (size_t i = 0; i < ndims; ++i) table_dims_[i] = table.find_dimension(names[i]);
    table_dim_names_.assign(names.begin(), names.end());
    table_labels_.assign(ndims, {});
  }
  const uint32_t* labels = keys_.labels_of(key);
  key_scratch_.resize(ndims);
  for (size_t i = 0; i < ndims; ++i) {
    uint32_t& d = table_dims_[i];
    if (d == store::kNoId) {
      d = table.find_dimension(table_dim_names_[i]);
      if (d == store::kNoId) {
        if (!intern) return false;
        d = table.intern_dimension(table_dim_names_[i]);
      }
    }
    std::vector<uint32_t>& map = table_labels_[i];
    if (map.size() <= labels[i]) map.resize(static_cast<size_t>(labels[i]) + 1, store::kNoId);
    uint32_t& l = map[labels[i]];
    if (l == store::kNoId) {
      const std::string_view text = keys_.label_text(i, labels[i]);
      l = intern ? table.intern_label(d, text) : table.find_label(d, text);
      if (l == store::kNoId) return false;
    }
    key_scratch_[i] = {d, l};
  }
  table.sort_key(key_scratch_);
  return true;
}

Status BatchApplier::resolve_distributions(size_t& resolved) {
  resolved = 0;
  const size_t na = used_.size();
  // Unless a batch failed before, the blocks without a distribution are
  // exactly those this batch's tally created: the others need no visit.
  size_t fresh = created_.size();
  if (after_failure_) {
    fresh = 0;
    for (uint32_t b : used_) fresh += block_dist_[b] == 0 ? 1 : 0;
  }
  if (na > 0 && !db_.writable) return read_only_error();
  if (fresh >= 1024) {
    // Room for the batch's new distributions at once (some of them may
    // exist already).
    size_t cells = 0;
    for (size_t v = 0; v < variable_count_; ++v) cells = std::max<size_t>(cells, var_cells_[v]);
    db_.distributions.reserve(fresh, cells);
  }
  // New distributions of one batch share its creation time.
  const uint64_t now = unix_now_seconds();
  store::DistributionTable& table = db_.distributions;
  auto resolve = [&](uint32_t b) -> Status {
    const model::VariableDefinition& def = compiled_.schema.variables[block_var_[b]];
    std::optional<store::Position> pos;
    uint64_t id = 0;
    // The key in the table's numbers, unless the index is kept as text
    // (then the texts decide, as the stored index would) or the creation
    // would fail before the key is stored.
    const bool by_numbers = !table.text_indexed() && db_.find_variable(def.name) != nullptr &&
                            db_.meta.next_distribution_id != UINT64_MAX &&
                            table.size() < store::kMaxPositions;
    if (by_numbers && key_entries(block_key_[b], true) && !table.text_indexed()) {
      QUOR_ASSIGN_OR_RETURN(id, db_.ensure_distribution(def.name, key_scratch_, now, pos));
    } else {
      fill_map(block_key_[b]);
      QUOR_ASSIGN_OR_RETURN(id, db_.ensure_distribution(def.name, scratch_map_));
      pos = db_.position_of_id(id);
    }
    // An index naming an id the distributions lack.
    if (!pos) return store::distribution_id_not_found_error(id);
    // Positions stay below store::kMaxPositions, so the +1 fits.
    block_dist_[b] = *pos + 1;
    return ok_status();
  };
  if (after_failure_) {
    for (size_t i = 0; i < na; ++i) {
      resolved = i;
      if (block_dist_[used_[i]] == 0) QUOR_RETURN_IF_ERROR(resolve(used_[i]));
    }
  } else {
    size_t done = 0;
    Status st = create_by_numbers(now, done);
    if (!st.ok()) {
      resolved = created_[done].second;
      return st;
    }
    for (size_t i = done; i < created_.size(); ++i) {
      resolved = created_[i].second;
      QUOR_RETURN_IF_ERROR(resolve(created_[i].first));
    }
  }
  resolved = na;
  return ok_status();
}

void BatchApplier::release_keys() {
  keys_ = KeyTable(compiled_.key_dims.size());
  key_block_ = {};
  key_cells_ = {};
  key_joint_ = {};
  table_dims_.clear();
  std::vector<std::vector<uint32_t>>().swap(table_labels_);
}

Status BatchApplier::create_by_numbers(uint64_t now, size_t& done) {
  done = 0;
  store::DistributionTable& table = db_.distributions;
  const size_t n = created_.size();
  const size_t ndims = compiled_.key_dims.size();
  // Worth it for a batch that creates many; the checks below are those of
  // the one-by-one path, made once: no creation can then fail or turn to
  // the texts.
  if (n < 4 * kPrefetchDistance || table.text_indexed()) return ok_status();
  if (db_.meta.next_distribution_id > UINT64_MAX - n || table.size() + n >= store::kMaxPositions)
    return ok_status();
  if (table_dims_.size() != ndims) return ok_status();
  for (uint32_t d : table_dims_)
    if (d == store::kNoId) return ok_status();
  auto unmapped = [&](size_t i, uint32_t label) {
    return table_labels_[i].size() <= label || table_labels_[i][label] == store::kNoId;
  };
  // Labels, in the order the one-by-one path interns them.
  created_keys_.resize(n * ndims);
  created_vars_.resize(n);
  size_t labelled = 0;
  for (; labelled < n; ++labelled) {
    if (labelled + kPrefetchDistance < n) {
      const uint32_t ahead = block_key_[created_[labelled + kPrefetchDistance].first];
      const uint32_t* labels = keys_.labels_of(ahead);
      for (size_t i = 0; i < ndims; ++i)
        if (unmapped(i, labels[i])) table.prefetch_label(table_dims_[i], keys_.label_text(i, labels[i]));
    }
    const uint32_t b = created_[labelled].first;
    const std::string& name = compiled_.schema.variables[block_var_[b]].name;
    const uint32_t v = table.find_variable(name);
    if (v == store::kNoId || db_.find_variable(name) == nullptr) break;
    const uint32_t* labels = keys_.labels_of(block_key_[b]);
    bool plain = true;
    for (size_t i = 0; i < ndims && plain; ++i)
      plain = !unmapped(i, labels[i]) || store::DistributionTable::plain(keys_.label_text(i, labels[i]));
    if (!plain) break;
    key_entries(block_key_[b], true);
    std::copy(key_scratch_.begin(), key_scratch_.end(), created_keys_.begin() + labelled * ndims);
    created_vars_[labelled] = v;
  }
  // Their distributions, in order.
  for (; done < labelled; ++done) {
    if (done + kPrefetchDistance < labelled) {
      const size_t a = done + kPrefetchDistance;
      table.prefetch_index(created_vars_[a], {created_keys_.data() + a * ndims, ndims});
    }
    const uint32_t b = created_[done].first;
    std::optional<store::Position> pos;
    QUOR_ASSIGN_OR_RETURN(const uint64_t id,
                          db_.ensure_distribution(compiled_.schema.variables[block_var_[b]].name,
                                                  {created_keys_.data() + done * ndims, ndims}, now, pos));
    if (!pos) return store::distribution_id_not_found_error(id);
    block_dist_[b] = *pos + 1;
  }
  return ok_status();
}

Status BatchApplier::apply_joints() {
  if (joint_count_ == 0) return ok_status();
  const BatchUpdates& u = updates_;
  // Joints met for the first time are created in the order of (pair,
  // key), as a tally sorted that way would create them.
  std::vector<std::pair<size_t, uint32_t>> fresh;
  for (size_t k = 0; k < tallied_; ++k) {
    if (!u.present[k]) continue;
    const uint64_t* cells = u.cells.data() + k * joint_count_ * 2;
    for (size_t j = 0; j < joint_count_; ++j) {
      if (cells[2 * j] == kNoCell) continue;
      const size_t jt = compiled_.joints[j].tally;
      if (key_joint_[static_cast<size_t>(record_key_[k]) * joint_count_ + jt] == 0)
        fresh.emplace_back(jt, record_key_[k]);
    }
  }
  std::sort(fresh.begin(), fresh.end());
  fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
  std::optional<std::pair<size_t, uint32_t>> failed_at;
  Status failure = ok_status();
  for (const auto& [jt, key] : fresh) {
    const auto& [a, b] = compiled_.schema.joints[jt];
    fill_map(key);
    Status st = db_.ensure_joint(a, b, scratch_map_);
    if (!st.ok()) {
      failed_at = std::make_pair(jt, key);
      failure = std::move(st);
      break;
    }
    model::JointDistributionObject* joint = db_.find_joint_mut(a, b, scratch_map_);
    key_joint_[static_cast<size_t>(key) * joint_count_ + jt] =
        joint == nullptr ? UINT64_MAX : static_cast<uint64_t>(joint - db_.joints.data()) + 1;
  }
  for (size_t k = 0; k < tallied_; ++k) {
    if (!u.present[k]) continue;
    const uint64_t* cells = u.cells.data() + k * joint_count_ * 2;
    for (size_t j = 0; j < joint_count_; ++j) {
      if (cells[2 * j] == kNoCell) continue;
      const size_t jt = compiled_.joints[j].tally;
      // After a failure only the tallies sorted before the failing one count.
      if (failed_at && !(std::make_pair(jt, record_key_[k]) < *failed_at)) continue;
      const uint64_t pos = key_joint_[static_cast<size_t>(record_key_[k]) * joint_count_ + jt];
      if (pos == 0 || pos == UINT64_MAX) continue;
      add_joint_cell(db_.joints[pos - 1], cells[2 * j], cells[2 * j + 1]);
    }
  }
  return failure;
}

void BatchApplier::commit_batch() {
  batch_time_.push_back(tuning_.clock != nullptr ? tuning_.clock() : unix_now_seconds());
  for (uint32_t b : used_) {
    ++hot_[b].batches;
    block_last_[b] = batch_;
  }
  used_.clear();
}

void BatchApplier::settle() {
  std::vector<uint32_t> pending;
  for (uint32_t b = 0; b < hot_.size(); ++b)
    if (hot_[b].batches != 0) pending.push_back(b);
  if (pending.empty()) return;
  const size_t list_size = db_.distributions.size();
  // Two keys whose texts join to one index key share a distribution; it is
  // finalised once, with the batches of both.
  std::vector<uint8_t> mark(list_size, 0);
  bool distinct = true;
  for (uint32_t b : pending) {
    uint8_t& m = mark[block_dist_[b] - 1];
    if (m) distinct = false;
    m = 1;
  }
  if (distinct) {
    for_each_index(pending.size(), true, [&](size_t i) {
      const uint32_t b = pending[i];
      const store::Position d = target(b);
      db_.add_cell_counts(d, block_counts(b));
      db_.finalize_distribution(d, batch_time_[block_last_[b]], hot_[b].batches);
    });
  } else {
    std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>> per_dist;  // batches, last
    for (uint32_t b : pending) {
      db_.add_cell_counts(target(b), block_counts(b));
      auto& [batches, last] = per_dist[block_dist_[b]];
      batches += hot_[b].batches;
      last = std::max<uint64_t>(last, block_last_[b]);
    }
    for (const auto& [pos, bl] : per_dist)
      db_.finalize_distribution(static_cast<store::Position>(pos - 1), batch_time_[bl.second], bl.first);
  }
  for_each_index(pending.size(), true, [&](size_t i) {
    const uint32_t b = pending[i];
    clear_block(b);
    hot_[b].batches = 0;
  });
}

void BatchApplier::renumber_batches() {
  settle();
  // Nothing is pending now, so only the marks of "touched in batch n" hold
  // old numbers; they are cleared so that no new batch matches them.
  for (HotBlock& hot : hot_) hot.seen = 0;
  for (KeyCells& kc : key_cells_) kc.seen = 0;
  batch_time_.assign(1, 0);
  batch_ = 0;
}

void BatchApplier::settle_after_failure(size_t partial) {
  // The blocks hold this batch's counts too: out for the settling of the
  // batches before it, back for the first `partial` blocks it touched, which
  // get them without being finalised.
  drop_ahead();
  recount_batch(-1);
  after_failure_ = true;
  settle();
  recount_batch(+1);
  for (size_t i = 0; i < partial; ++i) db_.add_cell_counts(target(used_[i]), block_counts(used_[i]));
  for (uint32_t b : used_) clear_block(b);
  used_.clear();
  tallied_ = 0;
}

Result<BatchCounters> BatchApplier::apply(const ObservationSource& src, size_t begin, size_t end,
                                          size_t slice) {
  const model::MetaFile& meta = db_.meta;
  const bool lines = meta.raw_log_enabled && db_.writable && db_.raw_log.has_value();
  const bool refuse = meta.raw_log_enabled && !db_.writable;
  const uint32_t limit = tuning_.batch_number_limit != 0 ? tuning_.batch_number_limit : UINT32_MAX;
  if (batch_ >= limit) renumber_batches();
  ++batch_;
  ++batches_begun_;
  compute_updates(src, begin, end, lines);
  // Unless refused, the tally processes exactly the present records.
  const uint64_t first_id = meta.next_raw_record_id;
  uint64_t present = 0;
  bool new_keys = false;
  for (size_t k = 0; k < updates_.n; ++k) {
    present += updates_.present[k];
    // A key is new when a label is, or when known labels meet for the
    // first time.
    new_keys |= updates_.present[k] != 0 && updates_.key_id[k] < 0;
  }
  // A batch whose keys are all in the table adds none, so the next
  // batches' steps, which read the table, may run while this one is
  // tallied; one that adds keys waits for the steps already running.
  const bool more = slice != 0 && end < src.size();
  const bool ahead = more && !refuse && !new_keys;
  if (ahead) start_ahead(src, end, slice, lines, first_id + present, kAhead);
  else if (new_keys) wait_ahead();
  // The lines go out while the batch is tallied: the tally reads nothing the
  // write changes and changes nothing it reads. A failed write then undoes
  // the tally as it did before.
  const bool write = lines && !refuse && present > 0;
  if (write) {
    worker_arena().execute(
        [&] { write_group_.run([this, present] { write_status_ = write_raw_lines(present); }); });
  }
  BatchCounters counters;
  bool tallied = false;
  try {
    tallied = tally(refuse, counters);
  } catch (...) {
    // The lines being written read this batch's state: nothing of it may
    // outlive the batch, so the write ends before the failure goes on.
    if (write) {
      worker_arena().execute([&] { write_group_.wait(); });
      write_status_ = ok_status();
    }
    settle_after_failure(0);
    throw;
  }
  if (!tallied) {
    settle_after_failure(0);
    return read_only_error();
  }
  // No key is added past this point: the next batch's step may run.
  // A batch that added keys is likely followed by more that do: only the
  // next step starts, so that no step reads the table before the next
  // batch's keys are in it (its unknown keys would be looked up twice).
  if (more && !ahead) start_ahead(src, end, slice, lines, first_id + present, 1);
  if (write) {
    worker_arena().execute([&] { write_group_.wait(); });
    if (Status st = std::exchange(write_status_, ok_status()); !st.ok()) {
      settle_after_failure(0);
      return std::move(st).error();
    }
  }
  size_t resolved = 0;
  if (Status st = resolve_distributions(resolved); !st.ok()) {
    // The tallies before the failing one stay applied.
    settle_after_failure(resolved);
    return std::move(st).error();
  }
  if (Status st = apply_joints(); !st.ok()) {
    settle_after_failure(used_.size());
    return std::move(st).error();
  }
  commit_batch();
  return counters;
}

void BatchApplier::finish() {
  drop_ahead();
  release_keys();
  settle();
}

void BatchApplier::start_ahead(const ObservationSource& src, size_t from, size_t slice, bool lines,
                               uint64_t first_id, size_t most) {
  // More than one batch ahead only when the second one's first raw-log
  // identifier is known before the first is computed (every observation
  // has its dimensions, or none).
  const int uniform = src.uniform_presence();
  const size_t depth = std::min(most, !lines || uniform >= 0 ? kAhead : size_t{1});
  struct Want {
    size_t begin, end;
    uint64_t first_id;
    Ahead* slot;
  };
  std::array<Want, kAhead> want{};
  size_t nwant = 0;
  for (size_t b = from, id = first_id; nwant < depth && b < src.size();) {
    const size_t e = b + std::min(slice, src.size() - b);
    want[nwant++] = {b, e, id, nullptr};
    id += uniform == 1 ? e - b : 0;
    b = e;
  }
  std::array<bool, kAhead> kept{};
  for (size_t w = 0; w < nwant; ++w) {
    for (size_t i = 0; i < kAhead; ++i) {
      Ahead& a = ahead_[i];
      if (a.holds_step(&src, want[w].begin, want[w].end, lines, want[w].first_id)) {
        want[w].slot = &a;
        kept[i] = true;
      }
    }
  }
  for (size_t w = 0; w < nwant; ++w) {
    if (want[w].slot != nullptr) continue;
    size_t i = 0;
    while (kept[i]) ++i;
    kept[i] = true;
    Ahead& a = ahead_[i];
    drop_ahead(a);
    a.running = a.holds = true;
    a.src = &src;
    a.begin = want[w].begin;
    a.end = want[w].end;
    a.lines = lines;
    a.first_id = want[w].first_id;
    a.interned = interned_;
    worker_arena().execute([&] {
      a.group.run([this, &a] {
        compute_batch(compiled_, *a.src, a.begin, a.end, a.lines, a.first_id, a.updates, &keys_,
                      &scratches_);
      });
    });
  }
}

void BatchApplier::wait_ahead(Ahead& a) {
  if (!a.running) return;
  a.running = false;
  worker_arena().execute([&] { a.group.wait(); });
}

void BatchApplier::wait_ahead() {
  for (Ahead& a : ahead_) wait_ahead(a);
}

void BatchApplier::drop_ahead(Ahead& a) {
  wait_ahead(a);
  a.holds = false;
}

void BatchApplier::drop_ahead() {
  for (Ahead& a : ahead_) drop_ahead(a);
}

}  // namespace quor::ingest::internal
