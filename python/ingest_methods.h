// QuorDB.ingest and QuorDB.ingest_records: the two methods that add data.
#pragma once

#include <Python.h>

namespace quor::python {

// ingest($self, path, max_categories=None, date_columns=None,
// date_granularity=None): a CSV or JSON-lines file through the engine's file
// ingest (inference, batches of 10000, flush), answered by an IngestReport.
PyObject* db_ingest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ingest_records($self, records): a list of dicts as input records, without
// inference, applied as one batch and flushed.
PyObject* db_ingest_records(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace quor::python
