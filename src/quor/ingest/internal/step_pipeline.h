// Internal to ingestion: the per-record steps of an ingest's batches, run on
// the worker pool ahead of the batch being applied.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include <oneapi/tbb/task_group.h>

#include "quor/ingest/internal/compiled_schema.h"
#include "quor/ingest/internal/key_table.h"
#include "quor/ingest/internal/observation_view.h"
#include "quor/ingest/internal/update_core.h"

namespace quor::ingest::internal {

// How many records' keys were found on a second look, after a batch before
// them interned them while their step ran (see StepPipeline::take).
uint64_t pending_keys_found_for_testing();

// The steps of the next one or two batches start on the pool while the
// calling thread applies the current one, and the next take() picks up the
// step it needs instead of computing it. A step reads the key table, so a
// batch that is about to add keys waits for the running steps first
// (wait()); a step that started before keys were added finds the keys it
// left unknown again when it is taken. Borrows the schema and the key
// table, which must outlive it.
class StepPipeline {
 public:
  static constexpr size_t kAhead = 2;

  // With `cpu_ns`, each step adds the processor time its threads spent.
  StepPipeline(const CompiledSchema& schema, const KeyTable& keys, std::atomic<uint64_t>* cpu_ns);
  // Waits for the running steps; their faults, if any, no longer matter.
  ~StepPipeline();
  StepPipeline(const StepPipeline&) = delete;
  StepPipeline& operator=(const StepPipeline&) = delete;

  // The step of observations [begin, end) of `src` into `out`, its raw-log
  // lines (with RawLines::Write) numbered from `first_id`: the one a slot
  // holds, else computed now (the slots' other steps then forgotten). One
  // call per batch.
  void take(const ObservationSource& src, size_t begin, size_t end, RawLines lines,
            uint64_t first_id, BatchUpdates& out);
  // The current batch added keys or labels to the key table.
  void note_interned() { interned_ = batches_begun_; }
  // Starts the steps of the next `most` (at most kAhead) batches from
  // `from` on, `slice` observations each, that are not running yet;
  // `first_id` is the raw-log identifier of the first.
  void start_ahead(const ObservationSource& src, size_t from, size_t slice, RawLines lines,
                   uint64_t first_id, size_t most);
  // Waits for the running steps; their results stay.
  void wait();
  // Waits for the steps and forgets their results.
  void drop();

 private:
  struct Ahead {
    bool running = false;  // started and not waited for
    bool holds = false;    // its updates are for the batch below
    const ObservationSource* src = nullptr;
    size_t begin = 0, end = 0;
    RawLines lines = RawLines::Skip;
    uint64_t first_id = 0;
    uint64_t interned = 0;  // interned_ when it started
    BatchUpdates updates;
    oneapi::tbb::task_group group;
    // Whether it holds (or is computing) the step of these observations.
    bool holds_step(const ObservationSource* s, size_t b, size_t e, RawLines l, uint64_t id) const {
      return holds && src == s && begin == b && end == e && lines == l &&
             (l == RawLines::Skip || first_id == id);
    }
  };
  static void wait(Ahead& slot);
  static void drop(Ahead& slot);
  // Looks the keys that a step left unknown up again.
  void find_pending_keys(BatchUpdates& u) const;

  const CompiledSchema& compiled_;
  const KeyTable& keys_;
  StepScratches scratches_;  // the steps' own, for keys_
  std::array<Ahead, kAhead> ahead_;
  // The last batch that interned a key text or a key, counted in
  // batches_begun_ (one per take(), never starting over): a step that
  // started before it may have left keys unknown that the table now holds.
  uint64_t interned_ = 0;
  uint64_t batches_begun_ = 0;
};

}  // namespace quor::ingest::internal
