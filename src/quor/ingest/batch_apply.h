// The batched apply and the ingest driver: the steps that change a database
// with new data.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quor/ingest/input_record.h"
#include "quor/ingest/preparation.h"
#include "quor/ingest/schema_inference.h"
#include "quor/store/container.h"
#include "quor/store/database.h"
#include "quor/util/error.h"

namespace quor::ingest {

// The worker pool as the store's open and flush take it (they encode,
// compress, decompress and decode in parts on it): the ingest's own flush,
// and the binding's open, flush and close.
const store::ParallelRunner& pool_runner();

// The counts of one applied batch.
struct BatchCounters {
  uint64_t processed = 0;              // observations that yielded an update
  uint64_t skipped = 0;                // observations that did not
  uint64_t distributions_updated = 0;  // distinct marginals the batch touched
  bool operator==(const BatchCounters&) const = default;
};

// The result of an ingest. For a file ingest total_rows counts the prepared
// observations and processed_rows + skipped_rows == total_rows;
// distributions_updated is summed over batches. elapsed_ms runs from the end
// of preparation to the end of the flush.
struct IngestReport {
  uint64_t total_rows = 0;
  uint64_t processed_rows = 0;
  uint64_t skipped_rows = 0;
  uint64_t distributions_updated = 0;
  uint64_t elapsed_ms = 0;
};

// Applies `observations` in their order as one batch: the per-record
// updates, and with them each processed record's raw-log line (when the meta
// file enables logging), are computed on the worker pool; the lines are
// appended to the raw log by a pool thread while the calling thread counts
// the updates into the count blocks of their marginals; then, on the calling
// thread, the marginals the batch meets for the first time are created, the
// joints get their cells, and every touched marginal gets its counts and is
// finalised once. On failure the batch may be partly applied: the raw-log
// lines appended before the failing one, and the counts of the marginals
// resolved before the failing one.
Result<BatchCounters> apply_observation_batch(store::Database& db, const model::Schema& schema,
                                              std::span<const Observation> observations);

// What a test or a benchmark may set for one ingest: the clock its batches
// read for last_updated (nullptr: the system clock), the number of batches
// after which the batch numbers start over (0: 2^32 - 1; see BatchApplier),
// the smallest CSV input read in parallel chunks (0: the reader's default;
// see parse_csv_bytes), and where the processor time of the per-record step
// (the row's fields read and its update computed, on whichever threads ran
// it) adds up, in nanoseconds (nullptr: not measured).
//
// `sharded_tally` picks when a batch's counts are counted by shards of blocks
// on the pool rather than in place on the calling thread: once the ingest
// has many blocks (past the cache), or for every batch (so that small inputs
// take that road too).
enum class ShardedTally { WhenManyBlocks, Always };
struct IngestTuning {
  uint64_t (*clock)() = nullptr;
  uint32_t batch_number_limit = 0;
  size_t csv_chunk_bytes = 0;
  std::atomic<uint64_t>* step_cpu_ns = nullptr;
  ShardedTally sharded_tally = ShardedTally::WhenManyBlocks;
};

// The file ingest: reads the file (reader chosen by extension), infers a
// schema from its first options.sample_size records, adds the variables and
// dimensions the database lacks (stored definitions win), and runs the
// batches and the flush.
Result<IngestReport> ingest_file(store::Database& db, const std::string& path,
                                 const IngestOptions& options, uint64_t batch_size, bool progress,
                                 const IngestTuning& tuning = {});

// The road of records that come without a file: copies the schema, prepares
// every record (no inference) and applies all observations as one batch. The
// caller flushes and reports.
Result<BatchCounters> apply_input_records(store::Database& db,
                                          const std::vector<InputRecord>& records);

}  // namespace quor::ingest
