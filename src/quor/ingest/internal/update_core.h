// Internal to ingestion: the per-record step in the compact form that the
// batched apply runs. One call computes a slice of observations on the
// worker pool into flat arrays (key labels, slots, joint cells and, when
// asked for, the raw-log lines), every record at its own index, so the
// result is in input order whatever the scheduling.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/ingest/internal/compiled_schema.h"
#include "quor/ingest/internal/observation_view.h"
#include "quor/model/model.h"

namespace quor::ingest::internal {

class KeyTable;

// The compact updates of one slice. A record's key is given as label ids
// (kNoLabel where the label is not interned yet, with `pending` then holding
// every key dimension's label) and as the key's number when the whole key is
// known (-1 otherwise, and for a record that is not present).
struct BatchUpdates {
  size_t n = 0, nvars = 0, njoints = 0, nkeydims = 0;
  std::vector<uint8_t> present;
  std::vector<uint32_t> labels;    // n * nkeydims
  std::vector<int64_t> key_id;
  std::vector<uint8_t> has_pending;
  std::vector<std::string> pending;  // per key dimension: u32 length, label
  std::vector<int64_t> slots;      // n * nvars
  std::vector<uint64_t> cells;     // n * njoints * 2
  // Raw-log lines, when asked for: whole lines of consecutive records in
  // blocks of kLineBlock records, identifiers counted from first_id over the
  // present records; line_length per record (0 when absent).
  static constexpr size_t kLineBlock = 256;
  bool lines = false;
  uint64_t first_id = 0;
  std::vector<std::string> blocks;
  std::vector<uint32_t> line_length;
};

// What each worker thread keeps from slice to slice of one ingest: its row
// view and, per key dimension whose texts are bucketed, the memo of its last
// text and label (BucketMemo) and a small cache of texts it met with the ids
// of their labels, so that a date text met before needs neither a parse nor
// a probe of the key table. Only found ids are kept, and the key table never
// drops a label, so what the cache holds stays right while the table grows
// between slices. Tied to one key table.
//
// Buys, on the reference CSV (730 dates in no order, monthly buckets; the
// step's instructions per row under callgrind, 150 000 rows, one thread):
// 3 530 instead of 4 440 with the memo alone, which parses nearly every
// date. On sorted timestamps the memo does the work and the cache is left
// alone once full.
//
// With `cpu_ns`, each share of a slice adds the processor time its thread
// spent on it there.
class StepScratches {
 public:
  explicit StepScratches(const CompiledSchema& schema, std::atomic<uint64_t>* cpu_ns = nullptr);
  ~StepScratches();
  StepScratches(const StepScratches&) = delete;
  StepScratches& operator=(const StepScratches&) = delete;
  struct Impl;
  Impl& impl() { return *impl_; }
  std::atomic<uint64_t>* cpu_ns() const { return cpu_ns_; }

 private:
  std::unique_ptr<Impl> impl_;
  std::atomic<uint64_t>* cpu_ns_;
};

// Whether a step also writes each present record's raw-log line.
enum class RawLines { Skip, Write };

// Computes observations [begin, end) of `src` on the worker pool. Key
// labels are looked up in `keys` (read only; none: every key is pending),
// through `scratches` (made for `keys`) when given. With RawLines::Write,
// the raw-log lines are written with identifiers from `first_id`.
void compute_batch(const CompiledSchema& schema, const ObservationSource& src, size_t begin,
                   size_t end, RawLines lines, uint64_t first_id, BatchUpdates& out,
                   const KeyTable* keys = nullptr, StepScratches* scratches = nullptr);

// Reads the label of key dimension `d` from a pending key.
std::string_view pending_label(std::string_view pending, size_t d);

// The dimension map of record k of `u`, from its pending texts or from the
// key table.
model::DimensionMap dimension_map_of(const CompiledSchema& schema, const BatchUpdates& u, size_t k,
                                     const KeyTable* keys);
}  // namespace quor::ingest::internal
