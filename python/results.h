// The result classes QueryResult, IngestReport and DatabaseStats.
//
// Result objects are immutable copies of engine values: they share nothing
// with the QuorDB that made them and may be used from any thread.
#pragma once

#include <Python.h>

#include <cstdint>

#include "quor/sql/query_result.h"
#include "quor/store/database.h"

namespace quor::python {

// The counts of one ingest, as the IngestReport object carries them.
struct IngestReportValues {
  uint64_t total_rows = 0;
  uint64_t processed_rows = 0;
  uint64_t skipped_rows = 0;
  uint64_t distributions_updated = 0;
  unsigned __int128 elapsed_ms = 0;
};

// The class objects, built once per process on first use. Borrowed
// references, or nullptr with the error set.
PyTypeObject* query_result_type();
PyTypeObject* ingest_report_type();
PyTypeObject* database_stats_type();

// New result objects holding the given values (moved in). nullptr with
// MemoryError (or the class's build error) on failure.
PyObject* new_query_result_object(sql::QueryResult result);
PyObject* new_ingest_report_object(const IngestReportValues& values);
PyObject* new_database_stats_object(const store::DatabaseStats& stats);

// An exact Python int of an unsigned 128-bit value.
PyObject* long_from_u128(unsigned __int128 value);
// Its decimal text.
std::string u128_text(unsigned __int128 value);

}  // namespace quor::python
