#include "results.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "class_builder.h"
#include "guard.h"
#include "py_ref.h"

namespace quor::python {

namespace {

struct QueryResultObject {
  PyObject_HEAD
  sql::QueryResult value;
};

struct IngestReportObject {
  PyObject_HEAD
  IngestReportValues value;
};

struct DatabaseStatsObject {
  PyObject_HEAD
  store::DatabaseStats value;
};

PyTypeObject* g_query_result = nullptr;
PyTypeObject* g_ingest_report = nullptr;
PyTypeObject* g_database_stats = nullptr;

PyObject* str_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The str of a cell's UTF-8 text. Most cells are ASCII (numbers, labels):
// those are copied straight into a one-byte string, without decoding.
PyObject* cell_str(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  unsigned char high = 0;
  for (size_t i = 0; i < n; ++i) high |= p[i];
  if (high >= 0x80)
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(n), nullptr);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s == nullptr || n == 0) return s;
  std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
  return s;
}

// The str objects of one conversion of a table. A column whose texts
// repeat (the value columns of COMPARE ... ACROSS, PAIRWISE's labels,
// "N/A") hands out one object per distinct text; a column that shows no
// repeats among its first cells stops looking them up.
class CellStrs {
 public:
  explicit CellStrs(size_t columns) : columns_(columns), table_(kInitial) {}
  CellStrs(const CellStrs&) = delete;
  CellStrs& operator=(const CellStrs&) = delete;
  ~CellStrs() {
    for (const Entry& e : table_) Py_XDECREF(e.obj);
  }

  // A new reference to the str of `text` in column `column`, or nullptr
  // with the error set. `text` must outlive this object.
  PyObject* get(size_t column, std::string_view text) {
    Column* c = column < columns_.size() ? &columns_[column] : nullptr;
    if (c == nullptr || !c->sharing) return cell_str(text);
    ++c->seen;
    const uint64_t h = hash_of(text);
    size_t i = h & (table_.size() - 1);
    for (; table_[i].obj != nullptr; i = (i + 1) & (table_.size() - 1)) {
      if (table_[i].hash == h && table_[i].text == text) {
        ++c->repeats;
        Py_INCREF(table_[i].obj);
        return table_[i].obj;
      }
    }
    if (c->seen == kTrial && c->repeats * 4 < kTrial) c->sharing = false;
    PyObject* s = cell_str(text);
    if (s == nullptr || !c->sharing) return s;
    Py_INCREF(s);
    table_[i] = Entry{h, text, s};
    if (++used_ * 2 > table_.size()) grow();
    return s;
  }

 private:
  static constexpr size_t kTrial = 64;
  static constexpr size_t kInitial = 256;  // a power of two
  struct Column {
    bool sharing = true;
    size_t seen = 0;
    size_t repeats = 0;
  };
  struct Entry {
    uint64_t hash = 0;
    std::string_view text;
    PyObject* obj = nullptr;  // one reference, or nullptr when free
  };

  // Cells are short: their bytes are folded 8 at a time and mixed once.
  static uint64_t hash_of(std::string_view text) {
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ text.size();
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, text.data() + i, 8);
      h = (h ^ w) * 0xbf58476d1ce4e5b9ULL;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    h = (h ^ tail) * 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
  }

  void grow() {
    std::vector<Entry> old(table_.size() * 2);
    old.swap(table_);
    for (const Entry& e : old) {
      if (e.obj == nullptr) continue;
      size_t i = e.hash & (table_.size() - 1);
      while (table_[i].obj != nullptr) i = (i + 1) & (table_.size() - 1);
      table_[i] = e;
    }
  }

  std::vector<Column> columns_;
  std::vector<Entry> table_;  // open addressing, at most half full
  size_t used_ = 0;
};

// `items`: the header (strings) or a row of a table (cells).
template <class Items>
PyObject* str_list(const Items& items, CellStrs* strs = nullptr) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = strs != nullptr ? strs->get(i, items[i]) : cell_str(items[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

template <class Obj>
void destroy_value(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  guarded_dealloc(self, [&] {
    using V = decltype(Obj::value);
    reinterpret_cast<Obj*>(self)->value.~V();
  });
  tp->tp_free(self);
  Py_DECREF(tp);
}

template <class Obj, class V>
PyObject* new_object(PyTypeObject* type, V&& value) {
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Obj*>(obj)->value) decltype(Obj::value)(std::forward<V>(value));
  return obj;
}

// The receiver of a result method, or nullptr with the receiver TypeError.
template <class Obj>
Obj* receiver_as(PyObject* obj, PyTypeObject* type, const char* class_name) {
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    raise_not_an_instance(obj, class_name);
    return nullptr;
  }
  return reinterpret_cast<Obj*>(obj);
}

// ---- QueryResult ------------------------------------------------------------

QueryResultObject* as_query_result(PyObject* obj) {
  return receiver_as<QueryResultObject>(obj, query_result_type(), "QueryResult");
}

PyObject* qr_header(PyObject* self, void*) {
  return guarded_call([&]() -> PyObject* {
    QueryResultObject* r = as_query_result(self);
    return r ? str_list(r->value.header) : nullptr;
  });
}

PyObject* qr_rows(PyObject* self, void*) {
  return guarded_call([&]() -> PyObject* {
    QueryResultObject* r = as_query_result(self);
    if (r == nullptr) return nullptr;
    const auto& rows = r->value.rows;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    CellStrs strs(r->value.header.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      PyObject* row = str_list(rows[i], &strs);
      if (row == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
  });
}

template <std::string (*Render)(const sql::QueryResult&)>
PyObject* qr_render_method(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* receiver = nullptr;
    if (!bind_no_arguments(full_name, args, nargs, kwnames, &receiver)) return nullptr;
    QueryResultObject* r = as_query_result(receiver);
    if (r == nullptr) return nullptr;
    return str_of(Render(r->value));
  });
}

PyObject* qr_to_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return qr_render_method<sql::query_result_to_csv>("QueryResult.to_csv()", args, nargs,
                                                    kwnames);
}

PyObject* qr_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return qr_render_method<sql::query_result_to_json>("QueryResult.to_json()", args, nargs,
                                                     kwnames);
}

PyObject* qr_to_dicts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* receiver = nullptr;
    if (!bind_no_arguments("QueryResult.to_dicts()", args, nargs, kwnames, &receiver)) {
      return nullptr;
    }
    QueryResultObject* r = as_query_result(receiver);
    if (r == nullptr) return nullptr;
    const auto& header = r->value.header;
    PyRef titles(str_list(header));
    if (!titles) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    CellStrs strs(header.size());
    for (const auto& row : r->value.rows) {
      PyRef dict(PyDict_New());
      if (!dict) return nullptr;
      for (size_t i = 0; i < row.size() && i < header.size(); ++i) {
        PyRef cell(strs.get(i, row[i]));
        if (!cell) return nullptr;
        if (PyDict_SetItem(dict.get(), PyList_GET_ITEM(titles.get(), static_cast<Py_ssize_t>(i)),
                           cell.get()) < 0) {
          return nullptr;
        }
      }
      if (PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* qr_repr(PyObject* self) {
  return guarded_call([&]() -> PyObject* {
    QueryResultObject* r = as_query_result(self);
    return r ? str_of(sql::format_query_result(r->value)) : nullptr;
  });
}

Py_ssize_t qr_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    QueryResultObject* r = as_query_result(self);
    return r ? static_cast<Py_ssize_t>(r->value.rows.size()) : -1;
  });
}

PyGetSetDef qr_getset[] = {
    {"header", qr_header, nullptr, nullptr, nullptr},
    {"rows", qr_rows, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef qr_methods[] = {
    {"to_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qr_to_csv)),
     METH_FASTCALL | METH_KEYWORDS, "to_csv($self)\n--\n\n"},
    {"to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qr_to_json)),
     METH_FASTCALL | METH_KEYWORDS, "to_json($self)\n--\n\n"},
    {"to_dicts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qr_to_dicts)),
     METH_FASTCALL | METH_KEYWORDS, "to_dicts($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot qr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_value<QueryResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(qr_repr)},
    {Py_tp_getset, qr_getset},
    {Py_sq_length, reinterpret_cast<void*>(qr_len)},
    {Py_mp_length, reinterpret_cast<void*>(qr_len)},
    {0, nullptr},
};

PyType_Spec qr_spec = {"builtins.QueryResult", sizeof(QueryResultObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, qr_slots};

// ---- IngestReport -------------------------------------------------------------

IngestReportObject* as_ingest_report(PyObject* obj) {
  return receiver_as<IngestReportObject>(obj, ingest_report_type(), "IngestReport");
}

template <uint64_t IngestReportValues::*Field>
PyObject* ir_u64(PyObject* self, void*) {
  return guarded_call([&]() -> PyObject* {
    IngestReportObject* r = as_ingest_report(self);
    return r ? PyLong_FromUnsignedLongLong((r->value).*Field) : nullptr;
  });
}

PyObject* ir_elapsed(PyObject* self, void*) {
  return guarded_call([&]() -> PyObject* {
    IngestReportObject* r = as_ingest_report(self);
    return r ? long_from_u128(r->value.elapsed_ms) : nullptr;
  });
}

PyObject* ir_repr(PyObject* self) {
  return guarded_call([&]() -> PyObject* {
    IngestReportObject* r = as_ingest_report(self);
    if (r == nullptr) return nullptr;
    const IngestReportValues& v = r->value;
    return str_of("IngestReport(processed=" + std::to_string(v.processed_rows) +
                  ", skipped=" + std::to_string(v.skipped_rows) +
                  ", distributions_updated=" + std::to_string(v.distributions_updated) +
                  ", elapsed_ms=" + u128_text(v.elapsed_ms) + ")");
  });
}

PyGetSetDef ir_getset[] = {
    {"total_rows", ir_u64<&IngestReportValues::total_rows>, nullptr, nullptr, nullptr},
    {"processed_rows", ir_u64<&IngestReportValues::processed_rows>, nullptr, nullptr, nullptr},
    {"skipped_rows", ir_u64<&IngestReportValues::skipped_rows>, nullptr, nullptr, nullptr},
    {"distributions_updated", ir_u64<&IngestReportValues::distributions_updated>, nullptr,
     nullptr, nullptr},
    {"elapsed_ms", ir_elapsed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ir_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_value<IngestReportObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(ir_repr)},
    {Py_tp_getset, ir_getset},
    {0, nullptr},
};

PyType_Spec ir_spec = {"builtins.IngestReport", sizeof(IngestReportObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ir_slots};

// ---- DatabaseStats ------------------------------------------------------------

DatabaseStatsObject* as_database_stats(PyObject* obj) {
  return receiver_as<DatabaseStatsObject>(obj, database_stats_type(), "DatabaseStats");
}

template <uint64_t store::DatabaseStats::*Field>
PyObject* ds_u64(PyObject* self, void*) {
  return guarded_call([&]() -> PyObject* {
    DatabaseStatsObject* s = as_database_stats(self);
    return s ? PyLong_FromUnsignedLongLong((s->value).*Field) : nullptr;
  });
}

PyObject* ds_repr(PyObject* self) {
  return guarded_call([&]() -> PyObject* {
    DatabaseStatsObject* s = as_database_stats(self);
    if (s == nullptr) return nullptr;
    const store::DatabaseStats& v = s->value;
    return str_of("DatabaseStats(distributions=" + std::to_string(v.distributions) +
                  ", total_samples=" + std::to_string(v.total_samples) +
                  ", variables=" + std::to_string(v.variables) +
                  ", dimensions=" + std::to_string(v.dimensions) + ")");
  });
}

PyGetSetDef ds_getset[] = {
    {"distributions", ds_u64<&store::DatabaseStats::distributions>, nullptr, nullptr, nullptr},
    {"total_samples", ds_u64<&store::DatabaseStats::total_samples>, nullptr, nullptr, nullptr},
    {"variables", ds_u64<&store::DatabaseStats::variables>, nullptr, nullptr, nullptr},
    {"dimensions", ds_u64<&store::DatabaseStats::dimensions>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ds_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_value<DatabaseStatsObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(ds_repr)},
    {Py_tp_getset, ds_getset},
    {0, nullptr},
};

PyType_Spec ds_spec = {"builtins.DatabaseStats", sizeof(DatabaseStatsObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ds_slots};

PyTypeObject* cached_class(PyTypeObject*& cell, PyType_Spec* spec, const char* name,
                           PyMethodDef* methods) {
  if (cell == nullptr) cell = build_class(spec, name, methods);
  return cell;
}

}  // namespace

PyTypeObject* query_result_type() {
  return cached_class(g_query_result, &qr_spec, "QueryResult", qr_methods);
}
PyTypeObject* ingest_report_type() {
  return cached_class(g_ingest_report, &ir_spec, "IngestReport", nullptr);
}
PyTypeObject* database_stats_type() {
  return cached_class(g_database_stats, &ds_spec, "DatabaseStats", nullptr);
}

PyObject* new_query_result_object(sql::QueryResult result) {
  return new_object<QueryResultObject>(query_result_type(), std::move(result));
}
PyObject* new_ingest_report_object(const IngestReportValues& values) {
  return new_object<IngestReportObject>(ingest_report_type(), values);
}
PyObject* new_database_stats_object(const store::DatabaseStats& stats) {
  return new_object<DatabaseStatsObject>(database_stats_type(), stats);
}

PyObject* long_from_u128(unsigned __int128 value) {
  const auto low = static_cast<uint64_t>(value);
  const auto high = static_cast<uint64_t>(value >> 64);
  if (high == 0) return PyLong_FromUnsignedLongLong(low);
  PyRef hi(PyLong_FromUnsignedLongLong(high));
  PyRef lo(PyLong_FromUnsignedLongLong(low));
  PyRef shift(PyLong_FromLong(64));
  if (!hi || !lo || !shift) return nullptr;
  PyRef shifted(PyNumber_Lshift(hi.get(), shift.get()));
  if (!shifted) return nullptr;
  return PyNumber_Or(shifted.get(), lo.get());
}

std::string u128_text(unsigned __int128 value) {
  if (value == 0) return "0";
  std::string digits;
  while (value != 0) {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return std::string(digits.rbegin(), digits.rend());
}

}  // namespace quor::python
