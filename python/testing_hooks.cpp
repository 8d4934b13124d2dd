// Functions of the test build of the module (never part of the installed
// module): they make objects from hand-built engine values and reach states
// that the public surface cannot produce on demand.
#include <Python.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "args.h"
#include "guard.h"
#include "owner_thread.h"
#include "py_ref.h"
#include "quor_db.h"
#include "reference/database_counts.h"
#include "results.h"

namespace quor::python {

namespace {

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_cfunction(FastFn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

bool to_u64(PyObject* o, uint64_t& out) {
  out = PyLong_AsUnsignedLongLong(o);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool str_vector(PyObject* seq, std::vector<std::string>& out) {
  PyRef fast(PySequence_Fast(seq, "expected a sequence"));
  if (!fast) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
    std::string s;
    if (!extract_str_argument(PySequence_Fast_GET_ITEM(fast.get(), i), "item", s)) return false;
    out.push_back(std::move(s));
  }
  return true;
}

// memory_db(path, writable=True, populated=False): a QuorDB over an in-memory
// Database whose directory is `path`. Populated: variables "x" (continuous,
// 4 bins over 0..1) and "c" (categorical a, b), dimension "region", and three
// distributions holding 3 + 2 + 5 samples.
const char* const kMemoryNames[] = {"path", "writable", "populated"};
const Signature kMemorySig = {"memory_db()", kMemoryNames, 3, 1};

PyObject* memory_db(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[3];
    if (!bind_arguments(kMemorySig, args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    if (!extract_str_argument(argv[0], "path", path)) return nullptr;
    const bool writable = argv[1] == nullptr || PyObject_IsTrue(argv[1]) == 1;
    const bool populated = argv[2] != nullptr && PyObject_IsTrue(argv[2]) == 1;
    auto state = std::make_unique<DbState>();
    state->db.dir = path;
    state->db.writable = true;
    if (populated) {
      store::Database& db = state->db;
      QUOR_ASSERT(db.add_variable({"x", model::ContinuousType{4, model::Range{0.0, 1.0}}}).ok(),
                  "add x");
      QUOR_ASSERT(db.add_variable({"c", model::CategoricalType{{"a", "b"}, false}}).ok(), "add c");
      QUOR_ASSERT(db.add_dimension({"region", "region", std::nullopt}).ok(), "add region");
      reference::TouchedSet touched;
      auto add = [&](const char* var, const char* region, reference::CountAccumulator counts) {
        model::DimensionMap map{{"region", region}};
        QUOR_ASSERT(reference::apply_counts(db, var, map, counts).ok(), "apply");
        touched.emplace_back(var, map);
      };
      add("x", "north", reference::HistogramCounts{{{0, 1}, {3, 2}}});
      add("x", "south", reference::HistogramCounts{{{1, 2}}});
      add("c", "north", reference::CategoricalCounts{{{0, 4}, {1, 1}}, 0});
      reference::finalize_updates(db, touched);
    }
    state->db.writable = writable;
    state->cache = std::make_shared<analytics::CompareCache>();
    return new_quor_db_object(std::move(state));
  });
}

// query_result(header, rows)
PyObject* query_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    if (nargs != 2) return raise_text(PyExc_TypeError, "query_result(header, rows)");
    sql::QueryResult r;
    if (!str_vector(args[0], r.header)) return nullptr;
    PyRef rows(PySequence_Fast(args[1], "rows must be a sequence"));
    if (!rows) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
      std::vector<std::string> row;
      if (!str_vector(PySequence_Fast_GET_ITEM(rows.get(), i), row)) return nullptr;
      r.rows.push_back(std::move(row));
    }
    return new_query_result_object(std::move(r));
  });
}

// ingest_report(total, processed, skipped, updated, elapsed) with elapsed
// below 2**128.
PyObject* ingest_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    if (nargs != 5) return raise_text(PyExc_TypeError, "ingest_report() takes 5 arguments");
    IngestReportValues v;
    if (!to_u64(args[0], v.total_rows) || !to_u64(args[1], v.processed_rows) ||
        !to_u64(args[2], v.skipped_rows) || !to_u64(args[3], v.distributions_updated)) {
      return nullptr;
    }
    PyRef mask(PyLong_FromUnsignedLongLong(UINT64_MAX));
    PyRef shift(PyLong_FromLong(64));
    PyRef low(PyNumber_And(args[4], mask.get()));
    PyRef high(PyNumber_Rshift(args[4], shift.get()));
    if (!low || !high) return nullptr;
    uint64_t lo = 0, hi = 0;
    if (!to_u64(low.get(), lo) || !to_u64(high.get(), hi)) return nullptr;
    v.elapsed_ms = (static_cast<unsigned __int128>(hi) << 64) | lo;
    return new_ingest_report_object(v);
  });
}

// database_stats(distributions, total_samples, variables, dimensions)
PyObject* database_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    if (nargs != 4) return raise_text(PyExc_TypeError, "database_stats() takes 4 arguments");
    store::DatabaseStats s;
    if (!to_u64(args[0], s.distributions) || !to_u64(args[1], s.total_samples) ||
        !to_u64(args[2], s.variables) || !to_u64(args[3], s.dimensions)) {
      return nullptr;
    }
    return new_database_stats_object(s);
  });
}

// hold_borrow(db, exclusive, fn): calls fn() while db is borrowed.
PyObject* hold_borrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    if (nargs != 3) return raise_text(PyExc_TypeError, "hold_borrow(db, exclusive, fn)");
    PyTypeObject* type = quor_db_type();
    if (type == nullptr || !PyObject_TypeCheck(args[0], type)) {
      return raise_text(PyExc_TypeError, "hold_borrow needs a QuorDB");
    }
    auto* db = reinterpret_cast<QuorDBObject*>(args[0]);
    Borrow borrow;
    const BorrowMode mode =
        PyObject_IsTrue(args[1]) == 1 ? BorrowMode::Exclusive : BorrowMode::Shared;
    if (!borrow.acquire(db, mode)) return nullptr;
    return PyObject_CallNoArgs(args[2]);
  });
}

// engine_error(root, contexts): raises the QuorError of a message error whose
// context phrases are given innermost first.
PyObject* engine_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    if (nargs != 2) return raise_text(PyExc_TypeError, "engine_error(root, contexts)");
    std::string root;
    std::vector<std::string> contexts;
    if (!extract_str_argument(args[0], "root", root) || !str_vector(args[1], contexts)) {
      return nullptr;
    }
    Error e(root);
    for (auto& c : contexts) e.add_context(c);
    return raise_quor_error(e);
  });
}

// panic(message): an engine assertion failing inside a call.
PyObject* do_panic(PyObject*, PyObject* arg) {
  return guarded_call([&]() -> PyObject* {
    std::string text;
    if (!extract_str_argument(arg, "message", text)) return nullptr;
    QUOR_ASSERT(false, text);
    return nullptr;
  });
}

// throw_std(message): a stray C++ exception inside a call.
PyObject* throw_std(PyObject*, PyObject* arg) {
  return guarded_call([&]() -> PyObject* {
    std::string text;
    if (!extract_str_argument(arg, "message", text)) return nullptr;
    throw std::runtime_error(text);
  });
}

// throw_bad_alloc(): an allocation failing inside a call.
PyObject* throw_bad_alloc(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* { throw std::bad_alloc(); });
}

// throw_unknown(): a C++ exception of no standard type inside a call.
PyObject* throw_unknown(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* { throw 7; });
}

PyObject* handed_back(PyObject*, PyObject*) {
  return PyLong_FromSize_t(handed_back_count());
}

PyObject* panic_exception(PyObject*, PyObject*) {
  PyObject* t = panic_exception_type();
  return t ? Py_NewRef(t) : nullptr;
}

PyMethodDef functions[] = {
    {"memory_db", as_cfunction(memory_db), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"query_result", as_cfunction(query_result), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"ingest_report", as_cfunction(ingest_report), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"database_stats", as_cfunction(database_stats), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"hold_borrow", as_cfunction(hold_borrow), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"engine_error", as_cfunction(engine_error), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"panic", do_panic, METH_O, nullptr},
    {"throw_std", throw_std, METH_O, nullptr},
    {"throw_bad_alloc", throw_bad_alloc, METH_NOARGS, nullptr},
    {"throw_unknown", throw_unknown, METH_NOARGS, nullptr},
    {"handed_back", handed_back, METH_NOARGS, nullptr},
    {"panic_exception", panic_exception, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* testing_functions() { return functions; }

}  // namespace quor::python
