#include "quor/ingest/batch_apply.h"

#include <algorithm>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "quor/ingest/internal/batch_applier.h"
#include "quor/ingest/csv_reader.h"
#include "quor/ingest/internal/json_lines.h"
#include "quor/ingest/readers.h"
#include "quor/ingest/internal/update_core.h"
#include "quor/ingest/internal/worker_pool.h"
#include "quor/store/directory.h"

namespace quor::ingest {

namespace {

using internal::ObservationSource;

// The rows of a parsed CSV file, read in place.
class CsvRowSource final : public ObservationSource {
 public:
  CsvRowSource(const CsvTable& table, std::vector<int64_t> dim_field, std::vector<int64_t> var_field)
      : table_(table), dim_field_(std::move(dim_field)), var_field_(std::move(var_field)) {}
  size_t size() const override { return table_.num_rows(); }
  // Every field is a text, so presence depends on the columns alone.
  int uniform_presence() const override {
    for (int64_t f : dim_field_)
      if (f < 0) return 0;
    return 1;
  }
  bool has_all_dims(size_t) const override { return uniform_presence() == 1; }
  // Every mark is set from the columns, so the view needs no clearing
  // between rows.
  void load(size_t i, internal::RowView& row) const override {
    std::vector<CsvTable::FieldRef>& fields = row.fields;
    table_.split_row(i, fields, row.segment);
    const CsvTable::FieldRef* const field = fields.data();
    const int64_t* const dim_field = dim_field_.data();
    const int64_t* const var_field = var_field_.data();
    const size_t nd = dim_field_.size(), nv = var_field_.size();
    uint8_t* const has_dim = row.has_dim.data();
    uint8_t* const has_val = row.has_val.data();
    std::string_view* const dims = row.dims.data();
    internal::ValueRef* const vals = row.vals.data();
    std::string* const scratch = row.scratch.data();
    for (size_t d = 0; d < nd; ++d) {
      const int64_t f = dim_field[d];
      has_dim[d] = f >= 0 ? 1 : 0;
      if (f >= 0) dims[d] = table_.text(field[f], scratch[d]);
    }
    for (size_t v = 0; v < nv; ++v) {
      const int64_t f = var_field[v];
      has_val[v] = f >= 0 ? 1 : 0;
      if (f < 0) continue;
      vals[v].kind = internal::ValueRef::Kind::String;
      vals[v].str = table_.text(field[f], scratch[nd + v]);
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

// Applies every observation of `src` in slices; the caller flushes. The
// counts are all in the stored distributions when it returns, failure
// included. After each batch `read_before` learns the first observation
// that later batches may still read: the batch's own, since the next
// batches' steps may already be running.
Result<IngestReport> run_batches(store::Database& db, const model::Schema& schema,
                                 const ObservationSource& src, uint64_t batch_size, bool progress,
                                 const IngestTuning& tuning,
                                 const std::function<void(size_t)>& read_before = {}) {
  IngestReport report;
  report.total_rows = src.size();
  const size_t slice = batch_size == 0 ? 1 : static_cast<size_t>(batch_size);
  internal::BatchApplier applier(db, schema, tuning);
  for (size_t pos = 0; pos < src.size();) {
    const size_t end = pos + std::min(slice, src.size() - pos);
    QUOR_ASSIGN_OR_RETURN(BatchCounters c, applier.apply(src, pos, end, slice));
    report.processed_rows += c.processed;
    report.skipped_rows += c.skipped;
    report.distributions_updated += c.distributions_updated;
    if (progress && report.total_rows != 0)
      print_progress(report.processed_rows, report.total_rows, report.distributions_updated);
    if (read_before) read_before(pos);
    pos = end;
  }
  applier.finish();
  return report;
}

}  // namespace

// Call 0 on the calling thread (so that what it allocates is the calling
// thread's to give back), the others as tasks; a thread that waits inside a
// call takes only that call's tasks, so the flush's long tasks never nest
// inside one another.
const store::ParallelRunner& pool_runner() {
  static const store::ParallelRunner run = [](size_t n, const std::function<void(size_t)>& fn) {
    if (n == 0) return;
    worker_arena().execute([&] {
      oneapi::tbb::this_task_arena::isolate([&] {
        oneapi::tbb::task_group others;
        if (n > 1) {
          others.run([&] {
            oneapi::tbb::parallel_for(
                oneapi::tbb::blocked_range<size_t>(1, n, 1),
                [&](const oneapi::tbb::blocked_range<size_t>& r) {
                  for (size_t i = r.begin(); i != r.end(); ++i) fn(i);
                },
                oneapi::tbb::simple_partitioner());
          });
        }
        // A failure of call 0 still waits for the others, which use the
        // caller's data.
        try {
          fn(0);
        } catch (...) {
          others.wait();
          throw;
        }
        others.wait();
      });
    });
  };
  return run;
}

namespace {

// The flush that ends a file ingest, and the report's elapsed time.
Result<IngestReport> flush_and_report(store::Database& db, IngestReport report,
                                      Clock::time_point started) {
  QUOR_RETURN_IF_ERROR(store::flush_database(db, store::file_ops(), &pool_runner()));
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
Status add_missing_definitions(store::Database& db, const model::Schema& inferred) {
  for (const auto& v : inferred.variables) {
    if (db.find_variable(v.name) != nullptr) continue;
    QUOR_RETURN_IF_ERROR(db.add_variable(v));
  }
  for (const auto& d : inferred.dimensions) {
    if (db.find_dimension(d.name) != nullptr) continue;
    QUOR_RETURN_IF_ERROR(db.add_dimension(d));
  }
  return ok_status();
}

// The batches of a parsed CSV file (without the flush); the table is
// released by the caller before the flush. The rows that the batches are
// done with are forgotten as they go, so that the file's memory and the
// store's growth do not add up.
Result<IngestReport> ingest_csv_table(store::Database& db, CsvTable& table,
                                      const IngestOptions& options, uint64_t batch_size,
                                      bool progress, const IngestTuning& tuning,
                                      Clock::time_point& started) {
  std::vector<InputRecord> sample;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(table.num_rows(), options.sample_size));
  sample.reserve(count);
  for (size_t i = 0; i < count; ++i) sample.push_back(table.record(i));
  QUOR_RETURN_IF_ERROR(add_missing_definitions(db, infer_schema(sample, count, options)));
  sample.clear();

  const model::Schema schema = db.meta.schema;
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

  started = Clock::now();
  if (!all_sources) {
    internal::ObservationListSource none(schema, nullptr, 0);
    return run_batches(db, schema, none, batch_size, progress, tuning);
  }
  CsvRowSource src(table, std::move(dim_field), std::move(var_field));
  return run_batches(db, schema, src, batch_size, progress, tuning,
                     [&table](size_t row) { table.forget_rows_before(row); });
}

// Prepares every record and runs the batches (without the flush).
Result<IngestReport> prepare_and_run(store::Database& db, const std::vector<InputRecord>& records,
                                     const ColumnLookup& lookup, uint64_t batch_size,
                                     bool progress, const IngestTuning& tuning,
                                     Clock::time_point& started) {
  const model::Schema schema = db.meta.schema;
  const std::vector<Observation> observations = prepare_all(records, lookup);
  started = Clock::now();
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  return run_batches(db, schema, src, batch_size, progress, tuning);
}

}  // namespace

Result<BatchCounters> apply_observation_batch(store::Database& db, const model::Schema& schema,
                                              std::span<const Observation> observations) {
  internal::BatchApplier applier(db, schema);
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  auto counters = applier.apply(src, 0, observations.size());
  applier.finish();
  return counters;
}

Result<IngestReport> ingest_file(store::Database& db, const std::string& path,
                                 const IngestOptions& options, uint64_t batch_size, bool progress,
                                 const IngestTuning& tuning) {
  QUOR_ASSIGN_OR_RETURN(InputFormat format, input_format_for(path));
  Clock::time_point started;
  std::optional<Result<IngestReport>> ran;
  // The input is released before the flush, which then has its memory.
  if (format == InputFormat::Csv) {
    auto table = std::make_unique<CsvTable>();
    {
      QUOR_ASSIGN_OR_RETURN(CsvTable read, read_csv_table(path, tuning.csv_chunk_bytes));
      *table = std::move(read);
    }
    ran.emplace(ingest_csv_table(db, *table, options, batch_size, progress, tuning, started));
  } else {
    QUOR_ASSIGN_OR_RETURN(std::vector<InputRecord> records, read_json_lines(path));
    const size_t count = static_cast<size_t>(std::min<uint64_t>(records.size(), options.sample_size));
    QUOR_RETURN_IF_ERROR(add_missing_definitions(db, infer_schema(records, count, options)));
    const ColumnLookup lookup = build_column_lookup(db.meta.schema);
    ran.emplace(prepare_and_run(db, records, lookup, batch_size, progress, tuning, started));
  }
  if (!ran->ok()) return std::move(*ran).error();
  auto flushed = flush_and_report(db, **ran, started);
#if defined(__GLIBC__)
  // What the allocator kept of the input, the batches' tables and the
  // flush's buffers (made on the pool's threads) goes back to the system:
  // after a flights ingest with daily buckets (2 M distributions) the process
  // holds 1 010 MB instead of 1 070 MB, for 10-70 ms. A second trim before
  // the flush lowered neither the peak (1 658 MB either way) nor that.
  malloc_trim(0);
#endif
  return flushed;
}

Result<BatchCounters> apply_input_records(store::Database& db,
                                          const std::vector<InputRecord>& records) {
  const model::Schema schema = db.meta.schema;
  const ColumnLookup lookup = build_column_lookup(schema);
  const std::vector<Observation> observations = prepare_all(records, lookup);
  return apply_observation_batch(db, schema, observations);
}

}  // namespace quor::ingest
