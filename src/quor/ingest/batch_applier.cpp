#include "quor/ingest/internal/batch_applier.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/internal/worker_pool.h"
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
void for_each_index(size_t n, Fn&& fn) {
  if (n > 1024) {
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
      steps_(compiled_, keys_, tuning.step_cpu_ns),
      // A few shards per pool thread, so that an uneven one waits less.
      shards_(4 * static_cast<size_t>(worker_arena().max_concurrency())) {
  batch_time_.push_back(0);  // batch numbers count from 1
  db_.flush_state.note_change();  // the batches write counts, ids and the raw-log counter
  // The block variable of each variable's slots; none when a repeated
  // name's definitions differ in kind.
  tally_var_.resize(variable_count_);
  var_cells_.resize(variable_count_);
  for (size_t v = 0; v < variable_count_; ++v)
    var_cells_[v] = static_cast<uint32_t>(compiled_.num_slots_of(v));
  for (size_t v = 0; v < variable_count_; ++v) {
    const size_t av = compiled_.first_var_of_name[v];
    tally_var_[v] = compiled_.vars[v].categorical == compiled_.vars[av].categorical ? static_cast<uint32_t>(av)
                                                                         : UINT32_MAX;
  }
  blocks_.set_stores(shards_.size());
}

BatchApplier::~BatchApplier() {
  // A batch that failed may leave the next one's step running; its fault,
  // if any, no longer matters.
  try {
    steps_.drop();
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

Status BatchApplier::apply_joints() {
  if (joint_count_ == 0) return ok_status();
  const BatchUpdates& u = updates_;
  // fn(joint, key, x, y) for each joint cell of the tallied records, in
  // record order.
  auto for_each_cell = [&](auto&& fn) {
    for (size_t k = 0; k < tallied_; ++k) {
      if (!u.present[k]) continue;
      const uint64_t* cells = u.cells.data() + k * joint_count_ * 2;
      for (size_t j = 0; j < joint_count_; ++j)
        if (cells[2 * j] != kNoCell) fn(compiled_.joints[j].tally, record_key_[k], cells[2 * j], cells[2 * j + 1]);
    }
  };
  auto place = [&](size_t jt, uint32_t key) -> uint64_t& {
    return key_joint_[static_cast<size_t>(key) * joint_count_ + jt];
  };
  // Joints met for the first time are created in the order of (pair,
  // key), as a tally sorted that way would create them.
  std::vector<std::pair<size_t, uint32_t>> fresh;
  for_each_cell([&](size_t jt, uint32_t key, uint64_t, uint64_t) {
    if (place(jt, key) == 0) fresh.emplace_back(jt, key);
  });
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
    place(jt, key) = joint == nullptr ? UINT64_MAX : static_cast<uint64_t>(joint - db_.joints.data()) + 1;
  }
  for_each_cell([&](size_t jt, uint32_t key, uint64_t x, uint64_t y) {
    // After a failure only the tallies sorted before the failing one count.
    if (failed_at && !(std::make_pair(jt, key) < *failed_at)) return;
    const uint64_t pos = place(jt, key);
    if (pos != 0 && pos != UINT64_MAX) add_joint_cell(db_.joints[pos - 1], x, y);
  });
  return failure;
}

void BatchApplier::commit_batch() {
  batch_time_.push_back(tuning_.clock != nullptr ? tuning_.clock() : unix_now_seconds());
  for (uint32_t b : used_) {
    ++blocks_[b].batches;
    block_last_[b] = batch_;
  }
  used_.clear();
}

void BatchApplier::settle(AfterSettle after) {
  std::vector<uint32_t> pending;
  for (uint32_t b = 0; b < blocks_.size(); ++b)
    if (blocks_[b].batches != 0) pending.push_back(b);
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
  std::vector<uint8_t>().swap(mark);
  if (distinct) {
    // When the blocks go afterwards, the settling runs in rounds of
    // ascending blocks and each round gives back the pages of the blocks
    // it consumed, so that the blocks shrink while the distributions'
    // counts are first written (10^7 unique ids: peak 3 583 MB before).
    const size_t round = after == AfterSettle::DropBlocks ? std::max<size_t>(pending.size() / 16, 1 << 16)
                                                          : pending.size();
    for (size_t from = 0; from < pending.size(); from += round) {
      const size_t to = std::min(pending.size(), from + round);
      for_each_index(to - from, [&](size_t i) {
        const uint32_t b = pending[from + i];
        const store::Position d = target(b);
        db_.add_cell_counts(d, block_counts(b));
        db_.finalize_distribution(d, batch_time_[block_last_[b]], blocks_[b].batches);
      });
      if (after == AfterSettle::DropBlocks && to < pending.size()) {
        // Blocks below the next round's first are read no more.
        const uint32_t next = pending[to];
        blocks_.release_headers_before(next);
        block_var_.release_front(next);
        block_key_.release_front(next);
        block_dist_.release_front(next);
        block_last_.release_front(next);
      }
    }
  } else {
    std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>> per_dist;  // batches, last
    for (uint32_t b : pending) {
      db_.add_cell_counts(target(b), block_counts(b));
      auto& [batches, last] = per_dist[block_dist_[b]];
      batches += blocks_[b].batches;
      last = std::max<uint64_t>(last, block_last_[b]);
    }
    for (const auto& [pos, bl] : per_dist)
      db_.finalize_distribution(static_cast<store::Position>(pos - 1), batch_time_[bl.second], bl.first);
  }
  if (after == AfterSettle::DropBlocks) {
    drop_blocks();
    return;
  }
  for_each_index(pending.size(), [&](size_t i) {
    const uint32_t b = pending[i];
    blocks_.clear(b);
    blocks_[b].batches = 0;
  });
}

void BatchApplier::drop_blocks() {
  blocks_.drop();
  block_var_ = {};
  block_key_ = {};
  block_dist_ = {};
  block_last_ = {};
}

void BatchApplier::renumber_batches() {
  settle();
  // Nothing is pending now, so only the marks of "touched in batch n" hold
  // old numbers; they are cleared so that no new batch matches them.
  for (KeyCells& kc : key_cells_) kc.seen = 0;
  batch_time_.assign(1, 0);
  batch_ = 0;
}

void BatchApplier::settle_after_failure(size_t partial) {
  // The blocks hold this batch's counts too: out for the settling of the
  // batches before it, back for the first `partial` blocks it touched, which
  // get them without being finalised.
  steps_.drop();
  recount_batch(-1);
  after_failure_ = true;
  settle();
  recount_batch(+1);
  for (size_t i = 0; i < partial; ++i) db_.add_cell_counts(target(used_[i]), block_counts(used_[i]));
  for (uint32_t b : used_) blocks_.clear(b);
  used_.clear();
  tallied_ = 0;
}

BatchApplier::BatchMode BatchApplier::batch_mode() const {
  const model::MetaFile& meta = db_.meta;
  BatchMode mode;
  if (meta.raw_log_enabled && db_.writable && db_.raw_log.has_value()) mode.lines = RawLines::Write;
  if (meta.raw_log_enabled && !db_.writable) mode.writes = LoggedWrites::Refused;
  return mode;
}

void BatchApplier::begin_batch() {
  const uint32_t limit = tuning_.batch_number_limit != 0 ? tuning_.batch_number_limit : UINT32_MAX;
  if (batch_ >= limit) renumber_batches();
  ++batch_;
}

BatchApplier::StepSummary BatchApplier::summarise_step() const {
  StepSummary summary;
  for (size_t k = 0; k < updates_.n; ++k) {
    summary.present += updates_.present[k];
    summary.new_keys |= updates_.present[k] != 0 && updates_.key_id[k] < 0;
  }
  return summary;
}

Status BatchApplier::tally_and_write(BatchMode mode, uint64_t present, BatchCounters& counters) {
  // The lines go out while the batch is tallied: the tally reads nothing the
  // write changes and changes nothing it reads. A failed write undoes the
  // tally.
  const bool write = mode.lines == RawLines::Write && mode.writes == LoggedWrites::Allowed && present > 0;
  if (write) {
    worker_arena().execute(
        [&] { write_group_.run([this, present] { write_status_ = write_raw_lines(present); }); });
  }
  bool tallied = false;
  try {
    tallied = tally(mode.writes, counters);
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
  if (write) {
    worker_arena().execute([&] { write_group_.wait(); });
    if (Status st = std::exchange(write_status_, ok_status()); !st.ok()) {
      settle_after_failure(0);
      return st;
    }
  }
  return ok_status();
}

Result<BatchCounters> BatchApplier::apply(const ObservationSource& src, size_t begin, size_t end,
                                          size_t slice) {
  const BatchMode mode = batch_mode();
  const bool refused = mode.writes == LoggedWrites::Refused;
  begin_batch();
  const uint64_t first_id = db_.meta.next_raw_record_id;
  steps_.take(src, begin, end, mode.lines, first_id, updates_);
  // Unless refused, the tally processes exactly the present records.
  const StepSummary step = summarise_step();
  // The next batches' steps read the key table: a batch that adds keys
  // waits for the steps already running and adds them all first, and then
  // the steps may run while it is tallied. A batch that added keys is
  // likely followed by more that do: only the next step starts then, so
  // that no step reads the table before the next batch's keys are in it
  // (its unknown keys would be looked up twice).
  if (step.new_keys && !refused) {
    steps_.wait();
    try {
      intern_keys();
    } catch (...) {
      settle_after_failure(0);
      throw;
    }
  }
  if (slice != 0 && end < src.size() && !refused)
    steps_.start_ahead(src, end, slice, mode.lines, first_id + step.present,
                       step.new_keys ? 1 : StepPipeline::kAhead);
  BatchCounters counters;
  if (Status st = tally_and_write(mode, step.present, counters); !st.ok()) return std::move(st).error();
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
  steps_.drop();
  release_keys();
  settle(AfterSettle::DropBlocks);
}

}  // namespace quor::ingest::internal
