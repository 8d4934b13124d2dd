#include "ingest_methods.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "guard.h"
#include "py_ref.h"
#include "quor_db.h"
#include "results.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/readers.h"
#include "quor/store/directory.h"

namespace quor::python {

namespace {

constexpr uint64_t kBatchSize = 10000;

// ---- ingest arguments ----------------------------------------------------------

// None/absent keeps `out`; otherwise a non-negative integer of 64 bits. A
// non-integer is the argument TypeError; a negative or too large value keeps
// the host's OverflowError.
bool extract_max_categories(PyObject* value, uint64_t& out) {
  if (value == nullptr || value == Py_None) return true;
  PyRef index(PyNumber_Index(value));
  if (!index) return rewrap_type_error("max_categories");
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Reads every item of a sequence as a str.
bool extract_date_columns(PyObject* value, std::vector<std::string>& out) {
  if (value == nullptr || value == Py_None) return true;
  constexpr const char* kParam = "date_columns";
  if (PyUnicode_Check(value)) return raise_argument_error(kParam, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) {
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    PyRef sequence(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return false;
    int is_seq = PyObject_IsInstance(value, sequence.get());
    if (is_seq < 0) return false;
    if (is_seq == 0) return raise_argument_error(kParam, not_an_instance_text(value, "Sequence"));
  }
  PyRef iter(PyObject_GetIter(value));
  if (!iter) return rewrap_type_error(kParam);
  while (PyRef item{PyIter_Next(iter.get())}) {
    std::string text;
    if (!PyUnicode_Check(item.get()))
      return raise_argument_error(kParam, not_an_instance_text(item.get(), "str"));
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item.get(), &len);
    if (data == nullptr) return false;
    out.emplace_back(data, static_cast<size_t>(len));
  }
  if (PyErr_Occurred()) return rewrap_type_error(kParam);
  return true;
}

// The file system takes paths as NUL-terminated texts, so a path holding a NUL
// byte would silently name a shorter one. It fails where the reader would
// open the file: after the extension has chosen the reader.
PyObject* refuse_nul_path(const std::string& path) {
  Result<ingest::InputFormat> format = ingest::input_format_for(path);
  if (!format.ok()) return raise_quor_error(format.error());
  const char* opening = *format == ingest::InputFormat::Csv ? "open csv file " : "open json file ";
  Error error("file name contained an unexpected NUL byte");
  return raise_quor_error(error.add_context(opening + path));
}

const char* const kIngestNames[] = {"path", "max_categories", "date_columns", "date_granularity"};
const Signature kIngestSig = {"QuorDB.ingest()", kIngestNames, 4, 1};

// ---- record conversion ---------------------------------------------------------

// The UTF-8 text of a str. A str that cannot be encoded (a lone surrogate)
// has its surrogates encoded as three bytes each and then read back with one
// U+FFFD per maximal invalid subpart.
bool lossy_utf8(PyObject* str, std::string& out) {
  Py_ssize_t len = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &len)) {
    out.assign(data, static_cast<size_t>(len));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyRef bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  PyRef fixed(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                   PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!fixed) return false;
  const char* data = PyUnicode_AsUTF8AndSize(fixed.get(), &len);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(len));
  return true;
}

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// One dict value as a JSON value; the first matching rule wins. Returns false
// only when str() of the value raised (that exception stays set).
bool convert_value(PyObject* value, util::JsonValue& out) {
  if (value == Py_None) {
    out = util::JsonValue(nullptr);
    return true;
  }
  if (PyBool_Check(value) || is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = util::JsonValue(truth == 1);
    return true;
  }
  // A signed 64-bit integer (an int in range, or anything with __index__).
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    long long v = PyLong_AsLongLong(value);
    if (!(v == -1 && PyErr_Occurred())) {
      out = util::JsonValue(util::JsonNumber::from_int(v));
      return true;
    }
    PyErr_Clear();
  }
  // A 64-bit float (a float, a too large int, anything with __float__; a str
  // subclass may have one too, a plain str never).
  if (!PyUnicode_CheckExact(value)) {
    double d = PyFloat_AsDouble(value);
    if (!(d == -1.0 && PyErr_Occurred())) {
      out = std::isfinite(d) ? util::JsonValue(util::JsonNumber::from_double(d))
                             : util::JsonValue(nullptr);
      return true;
    }
    PyErr_Clear();
  }
  // A str that reads as UTF-8 is its own text; one that does not (a lone
  // surrogate) falls through to the text of its str(), read lossily.
  if (PyUnicode_Check(value)) {
    Py_ssize_t len = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(value, &len)) {
      out = util::JsonValue(std::string(data, static_cast<size_t>(len)));
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
  }
  std::string text;
  PyRef shown(PyObject_Str(value));
  if (!shown || !lossy_utf8(shown.get(), text)) return false;
  out = util::JsonValue(std::move(text));
  return true;
}

// One dict as an input record. The entries are read from a snapshot of the
// dict, so Python code run by a conversion cannot disturb the walk.
bool convert_record(PyObject* item, ingest::InputRecord& record) {
  if (!PyDict_Check(item)) return raise_not_an_instance(item, "dict");
  PyRef entries(PyDict_Items(item));
  if (!entries) return false;
  const Py_ssize_t n = PyList_GET_SIZE(entries.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(entries.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_Check(key)) return raise_not_an_instance(key, "str");
    Py_ssize_t len = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &len);
    if (key_text == nullptr) return false;
    util::JsonValue converted;
    if (!convert_value(value, converted)) return false;
    record.insert_or_assign(std::string(key_text, static_cast<size_t>(len)),
                            std::move(converted));
  }
  return true;
}

const char* const kIngestRecordsNames[] = {"records"};
const Signature kIngestRecordsSig = {"QuorDB.ingest_records()", kIngestRecordsNames, 1, 1};

}  // namespace

PyObject* db_ingest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[4];
    Borrow borrow;
    QuorDBObject* db =
        enter_method(kIngestSig, args, nargs, kwnames, argv, borrow, BorrowMode::Exclusive);
    if (db == nullptr) return nullptr;

    ingest::IngestOptions options;
    options.date_granularity = "yearly";
    std::string path;
    if (!extract_str_argument(argv[0], "path", path)) return nullptr;
    if (!extract_max_categories(argv[1], options.max_categories)) return nullptr;
    if (!extract_date_columns(argv[2], options.date_columns)) return nullptr;
    if (argv[3] != nullptr && argv[3] != Py_None &&
        !extract_str_argument(argv[3], "date_granularity", options.date_granularity))
      return nullptr;

    DbState* state = writer_state(db);
    if (state == nullptr) return nullptr;
    if (path.find('\0') != std::string::npos) return refuse_nul_path(path);
    Result<ingest::IngestReport> report =
        ingest::ingest_file(state->db, path, options, kBatchSize, /*progress=*/false);
    if (!report.ok()) return raise_quor_error(report.error());
    IngestReportValues values;
    values.total_rows = report->total_rows;
    values.processed_rows = report->processed_rows;
    values.skipped_rows = report->skipped_rows;
    values.distributions_updated = report->distributions_updated;
    values.elapsed_ms = report->elapsed_ms;
    return new_ingest_report_object(values);
  });
}

PyObject* db_ingest_records(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[1];
    Borrow borrow;
    QuorDBObject* db =
        enter_method(kIngestRecordsSig, args, nargs, kwnames, argv, borrow, BorrowMode::Exclusive);
    if (db == nullptr) return nullptr;
    PyObject* list = argv[0];
    if (!PyList_Check(list)) {
      raise_argument_error("records", not_an_instance_text(list, "list"));
      return nullptr;
    }
    DbState* state = writer_state(db);
    if (state == nullptr) return nullptr;

    // Items by position while below both the starting and the current length
    // (conversion may run Python code that shrinks the list).
    const Py_ssize_t start_len = PyList_GET_SIZE(list);
    std::vector<ingest::InputRecord> records;
    records.reserve(static_cast<size_t>(start_len));
    for (Py_ssize_t i = 0; i < start_len && i < PyList_GET_SIZE(list); ++i) {
      PyRef item(Py_NewRef(PyList_GET_ITEM(list, i)));
      ingest::InputRecord record;
      if (!convert_record(item.get(), record)) return nullptr;
      records.push_back(std::move(record));
    }

    Result<ingest::BatchCounters> counters = ingest::apply_input_records(state->db, records);
    if (!counters.ok()) return raise_quor_error(counters.error());
    Status flushed =
        store::flush_database(state->db, store::posix_file_ops(), &ingest::pool_runner());
    if (!flushed.ok()) return raise_quor_error(flushed.error());
    IngestReportValues values;
    values.total_rows = records.size();
    values.processed_rows = counters->processed;
    values.skipped_rows = counters->skipped;
    values.distributions_updated = counters->distributions_updated;
    values.elapsed_ms = 0;
    return new_ingest_report_object(values);
  });
}

}  // namespace quor::python
