// Internal to ingestion: the batched apply of one ingest.
//
// The applier keeps, for the whole ingest, one count block per (key,
// variable) that a batch touched (CountBlocks). A batch only tallies into
// those blocks and notes which blocks it touched; the stored distributions get
// their counts, sample count, entropy, version (+1 per batch that touched
// them) and last_updated (the time of the last such batch) in one pass at
// finish(), or when a batch fails. The stored state is then exactly what
// applying and finalising batch by batch gives.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <oneapi/tbb/task_group.h>

#include "quor/ingest/batch_apply.h"
#include "quor/ingest/internal/count_blocks.h"
#include "quor/ingest/internal/count_shards.h"
#include "quor/ingest/internal/key_table.h"
#include "quor/ingest/internal/step_pipeline.h"
#include "quor/ingest/internal/update_core.h"
#include "quor/store/database.h"
#include "quor/store/raw_log_appender.h"
#include "quor/util/page_array.h"

namespace quor::ingest::internal {

// How many batches so far were tallied by keys over the pool (see
// tally_known_keys), so that tests can tell that path ran.
uint64_t known_key_tallies_for_testing();

class BatchApplier {
 public:
  // Batch numbers are 32-bit: past tuning.batch_number_limit batches an
  // ingest settles what it holds and numbers its batches from 1 again
  // (tests lower the limit so that the renumbering runs).
  BatchApplier(store::Database& db, const model::Schema& schema, const IngestTuning& tuning = {});
  ~BatchApplier();
  BatchApplier(const BatchApplier&) = delete;
  BatchApplier& operator=(const BatchApplier&) = delete;

  // Applies observations [begin, end) of `src` as one batch. When `slice`
  // is not 0, the batches after it are the next stretches of `slice`
  // observations (the last one shorter): the per-record steps of the next
  // one or two start on the worker pool while this batch is applied (once
  // it has added its keys, when it adds any), and the next calls pick them
  // up. A failure writes the stored state as batch-by-batch apply would
  // leave it (this batch partly applied) before it returns.
  Result<BatchCounters> apply(const ObservationSource& src, size_t begin, size_t end,
                              size_t slice = 0);
  // Writes every pending count into the stored distributions and lets the
  // count blocks go. Call once, after the last batch.
  void finish();

 private:
  // One batch's steps, in order (apply() runs them).
  //
  // What the database lets a batch do: write raw-log lines (logging on, a
  // writable database with a log), and count at all (with logging on, a
  // read-only database refuses a batch at its first processed record,
  // before anything is counted).
  enum class LoggedWrites { Allowed, Refused };
  struct BatchMode {
    RawLines lines = RawLines::Skip;
    LoggedWrites writes = LoggedWrites::Allowed;
  };
  BatchMode batch_mode() const;
  // Numbers the batch (settling everything first when the numbers run out).
  void begin_batch();
  // What the batch's step found: its present records, and whether any of
  // them has a key the table lacks (a new label, or known labels met
  // together for the first time).
  struct StepSummary {
    uint64_t present = 0;
    bool new_keys = false;
  };
  StepSummary summarise_step() const;
  // The tally, with the batch's raw-log lines written on the pool beside it;
  // a failure of either settles the batch before it is returned.
  Status tally_and_write(BatchMode mode, uint64_t present, BatchCounters& counters);
  bool tally(LoggedWrites writes, BatchCounters& counters);
  // The tally's steps for record k: what it will touch a few records ahead
  // fetched, its key (interned when the step left it unknown), its counts.
  // Few blocks stay in this thread's cache: their counts are raised here, and
  // a record's cells are fetched a few ahead. Many blocks are counted by
  // shards on the pool (CountShards): this thread finds their numbers,
  // fetched a few records ahead.
  enum class TallyFetch { BlockNumbers, Cells };
  enum class TallyCount { InPlace, ByShards };
  void prefetch_for_tally(size_t k, TallyFetch fetch) const;
  uint32_t intern_record_key(size_t k, std::vector<uint32_t>& labels);
  // Interns the key of every present record whose step left it unknown, in
  // record order (the order the tally would intern them in), so that the
  // tally adds no key and the next batch's step may run beside it. On the
  // 3 M-row flights CSV (monthly buckets, 8 threads, where nearly every
  // batch adds keys) the calling thread's wait for the steps went from
  // 124-211 ms to 5-44 ms, the ingest's median from 0.715 to 0.576 s.
  void intern_keys();
  void count_record(size_t k, uint32_t key, TallyCount how);
  // The tally of a batch in which every processed record has a key known
  // before the batch and every block it counts in holds flat counts: each
  // count found from its key's cell pointers alone, without the block
  // headers, so that the counts of records a few ahead can be fetched. False,
  // with nothing changed, for any other batch (the counts it added on the
  // way are taken out again).
  bool tally_known_keys(BatchCounters& counters);
  Status write_raw_lines(uint64_t processed);
  Status resolve_distributions(size_t& resolved);
  // The first of resolve_distributions' two paths: the batch's created
  // blocks by the table's numbers, labels first, then distributions, each
  // fetching a few blocks ahead. Stops (setting `done`, the blocks of
  // created_ resolved) at the first block the one-by-one path would treat
  // otherwise.
  Status create_by_numbers(uint64_t now, size_t& done);
  // After the last batch no key is looked up again: the per-key tables
  // (the key table, the key-to-block maps, the label maps; 60 bytes a key)
  // go before the settling first touches every distribution's counts, so
  // that the two are not held at once (10^7 unique ids: peak 3 508 MB,
  // against 4 104 MB with both held).
  void release_keys();
  Status apply_joints();
  void commit_batch();
  // Failure: the completed batches settled, then the first `partial` blocks
  // this batch touched get its counts, unfinalised.
  void settle_after_failure(size_t partial);

  uint32_t block_of(uint32_t key, size_t var);
  // The number of the count that slot `s` raises in a block of `ncells`
  // cells: the cell, then the unknown count, then the count for no cell.
  static uint32_t count_index(uint32_t ncells, int64_t s) {
    if (s == kUnknownSlot) return ncells;
    if (static_cast<uint64_t>(s) < ncells) return static_cast<uint32_t>(s);
    return ncells + 1;  // past the cells: the total only
  }
  // Gives block `b` its flat counts, holding what its short list held, and
  // notes them for its key.
  void make_flat(uint32_t b);
  // Adds `delta` (+1 or -1) to count `c` of block `b`, flat or listed.
  void add_to_block(uint32_t b, uint32_t c, int delta);
  // Counts what count_record handed to the shards, and notes the flat
  // counts of the blocks that got them.
  void count_shards();
  // Adds `delta` to every cell this batch counted (after a failure).
  void recount_batch(int delta);
  void fill_map(uint32_t key);
  store::CellCounts block_counts(uint32_t block) const {
    return blocks_.counts(block, compiled_.vars[block_var_[block]].categorical);
  }
  // Writes the completed batches' counts into their distributions and
  // finalises them. Then either every settled block is cleared for the
  // batches to come, or (after the last batch, when no block is read again)
  // the blocks are dropped without being cleared: on the 10^7-id CSV the
  // clearing alone wrote 1.6 GB of count blocks.
  enum class AfterSettle { ClearBlocks, DropBlocks };
  void settle(AfterSettle after = AfterSettle::ClearBlocks);
  void drop_blocks();
  // Settles everything and numbers the batches from 1 again.
  void renumber_batches();
  store::Position target(uint32_t block) const { return block_dist_[block] - 1; }
  // The key of key number `key` in the table's numbers, into key_scratch_
  // (in key order). With FindOnly, false when the table lacks a name or
  // label (no stored key then equals it); with Intern, what is missing is
  // added.
  enum class MissingEntries { FindOnly, Intern };
  bool key_entries(uint32_t key, MissingEntries missing);

  store::Database& db_;
  const IngestTuning tuning_;
  CompiledSchema compiled_;
  const size_t variable_count_, joint_count_;
  KeyTable keys_;
  StepPipeline steps_;  // reads keys_
  // Per variable: the variable whose blocks count its slots (the first of
  // its name), UINT32_MAX when that one's kind differs (then nothing does).
  std::vector<uint32_t> tally_var_;
  // The per-key and per-block arrays below grow to one entry for every
  // distribution a high-cardinality ingest creates; they grow without
  // holding two copies (util::PageArray).
  util::PageArray<uint32_t> key_block_;  // per (key, variable): block + 1, 0 none
  util::PageArray<uint64_t> key_joint_;  // per (key, joint): position in joints + 1, 0 unresolved
  // Per (key, variable): its block's flat counts (nullptr while it has
  // none) and the last batch that counted in the block (either tally).
  struct KeyCells {
    uint64_t* counts = nullptr;
    uint32_t seen = 0;
  };
  util::PageArray<KeyCells> key_cells_;
  std::vector<uint32_t> var_cells_;  // per variable: the cells of its blocks

  CountBlocks blocks_;
  // How many records (or created blocks) ahead the tally and the resolve
  // fetch what they will touch.
  static constexpr size_t kPrefetchDistance = 8;
  util::PageArray<uint32_t> block_var_;
  util::PageArray<uint32_t> block_key_;
  util::PageArray<uint32_t> block_dist_;  // position in distributions + 1, 0 unresolved
  util::PageArray<uint32_t> block_last_;  // the last completed batch that touched it
  std::vector<uint64_t> batch_time_;      // per batch number
  uint32_t batch_ = 0;                    // the current batch's number (from 1)

  // The current batch.
  BatchUpdates updates_;
  std::vector<uint32_t> record_key_;
  size_t tallied_ = 0;             // records tallied (all, unless refused)
  std::vector<uint32_t> used_;     // blocks touched, in first-use order
  // Blocks this batch created, with their places in used_.
  std::vector<std::pair<uint32_t, uint32_t>> created_;
  // Key dimension i (in name order) in the table's numbers, and per key
  // dimension the table's label of each of the key table's labels.
  std::vector<uint32_t> table_dims_;
  std::vector<std::string> table_dim_names_;
  std::vector<std::vector<uint32_t>> table_labels_;
  std::vector<store::KeyEntry> key_scratch_;
  // create_by_numbers: per created block, its key and variable in the
  // table's numbers.
  std::vector<store::KeyEntry> created_keys_;
  std::vector<uint32_t> created_vars_;
  // create_by_numbers, per variable of the schema (for the current batch):
  // whether it was looked up, its number in the table and its empty shape.
  struct CreatedVariable {
    bool looked_up = false;
    bool shaped = false;
    uint32_t table_variable = store::kNoId;
    const model::VariableDefinition* def = nullptr;
    store::DistributionTable::EmptyShape shape;
  };
  std::vector<CreatedVariable> created_var_info_;
  bool after_failure_ = false;  // a batch failed: blocks may lack distributions
  // The counts of a tally by shards, handed on to the pool.
  CountShards shards_;
  std::vector<uint32_t> made_flat_;

  // The current batch's raw-log write, run while it is tallied.
  oneapi::tbb::task_group write_group_;
  Status write_status_ = ok_status();

  std::unique_ptr<store::RawLogAppender> log_;
  model::DimensionMap scratch_map_;
};

}  // namespace quor::ingest::internal
