#include "quor_db.h"

#include <new>
#include <string>
#include <utility>

#include "args.h"
#include "class_builder.h"
#include "guard.h"
#include "ingest_methods.h"
#include "owner_thread.h"
#include "py_ref.h"
#include "results.h"
#include "quor/ingest/batch_apply.h"
#include "quor/sql/executor.h"
#include "quor/store/directory.h"
#include "quor/store/json_form.h"

namespace quor::python {

namespace {

constexpr const char* kClassName = "QuorDB";
constexpr const char* kTypeText = "quor_engine::QuorDB";

PyTypeObject* g_quor_db = nullptr;

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastFn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The prologue of a method without parameters.
QuorDBObject* enter_no_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, Borrow& borrow, BorrowMode mode) {
  PyObject* receiver = nullptr;
  if (!bind_no_arguments(full_name, args, nargs, kwnames, &receiver)) return nullptr;
  return enter_method(receiver, borrow, mode);
}

// True for a read-write database inherited through fork(): its lock and its
// files belong to the process that opened it.
bool is_forked_copy(const store::Database& db) {
  return db.lock_file && db.lock_file->is_forked_copy();
}

// A flush encodes the distributions in parts on the ingest's worker pool,
// as the ingest's own flush does.
Status flush_on_pool(store::Database& db) {
  return store::flush_database(db, store::posix_file_ops(), &ingest::pool_runner());
}

// Takes the state out (the object is closed from here on), flushes it and
// releases it in every case; returns the flush's failure. A forked copy is
// released without a flush and without error: closing it (or leaving a
// `with` block in the child) must not write the parent's files, and its
// release leaves the parent's lock in place.
Status close_state(QuorDBObject* db) {
  std::unique_ptr<DbState> state = std::move(db->state);
  if (!state) return ok_status();
  Status flushed = is_forked_copy(state->db) ? ok_status() : flush_on_pool(state->db);
  state.reset();
  return flushed;
}

// ---- static constructors ---------------------------------------------------------

bool parse_mode(PyObject* mode, bool& writable) {
  writable = true;
  if (mode == nullptr || mode == Py_None) return true;
  std::string text;
  if (!extract_str_argument(mode, "mode", text)) return false;
  if (text == "read_write" || text == "rw") {
    writable = true;
  } else if (text == "read_only" || text == "ro") {
    writable = false;
  } else {
    raise_text(PyExc_ValueError,
               "unknown mode '" + text + "'; use 'read_only' or 'read_write'");
    return false;
  }
  return true;
}

PyObject* finish_open(Result<store::Database> opened) {
  if (!opened.ok()) return raise_quor_error(opened.error());
  auto state = std::make_unique<DbState>();
  state->db = std::move(opened).value();
  state->cache = std::make_shared<analytics::CompareCache>();
  return new_quor_db_object(std::move(state));
}

// The file system takes paths as NUL-terminated texts: a path holding a NUL
// byte would silently name a shorter one, so it never reaches the store.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

const char* const kOpenNames[] = {"path", "mode"};
const Signature kOpenSig = {"QuorDB.open()", kOpenNames, 2, 1};

PyObject* db_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[2];
    if (!bind_arguments(kOpenSig, args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    if (!extract_str_argument(argv[0], "path", path)) return nullptr;
    bool writable = true;
    if (!parse_mode(argv[1], writable)) return nullptr;
    if (has_nul(path)) return raise_quor_error(Error("database path does not exist: " + path));
    release_handed_back();
    return finish_open(store::open_database(path, writable, &ingest::pool_runner()));
  });
}

const char* const kCreateNames[] = {"path"};
const Signature kCreateSig = {"QuorDB.create()", kCreateNames, 1, 1};

PyObject* db_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_arguments(kCreateSig, args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    if (!extract_str_argument(argv[0], "path", path)) return nullptr;
    if (has_nul(path)) {
      Error error("file name contained an unexpected NUL byte");
      return raise_quor_error(error.add_context("create db dir " + path));
    }
    release_handed_back();
    return finish_open(store::create_database(path, /*raw_log_enabled=*/true));
  });
}

// ---- instance methods --------------------------------------------------------------

PyObject* db_flush(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Borrow borrow;
    QuorDBObject* db =
        enter_no_arguments("QuorDB.flush()", args, nargs, kwnames, borrow, BorrowMode::Shared);
    if (db == nullptr) return nullptr;
    DbState* state = open_state(db);
    if (state == nullptr) return nullptr;
    Status flushed = flush_on_pool(state->db);
    if (!flushed.ok()) return raise_quor_error(flushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* db_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Borrow borrow;
    QuorDBObject* db =
        enter_no_arguments("QuorDB.close()", args, nargs, kwnames, borrow, BorrowMode::Exclusive);
    if (db == nullptr) return nullptr;
    Status closed = close_state(db);
    if (!closed.ok()) return raise_quor_error(closed.error());
    Py_RETURN_NONE;
  });
}

PyObject* db_enter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Borrow borrow;
    QuorDBObject* db =
        enter_no_arguments("QuorDB.__enter__()", args, nargs, kwnames, borrow, BorrowMode::Shared);
    if (db == nullptr) return nullptr;
    borrow.release();
    return Py_NewRef(reinterpret_cast<PyObject*>(db));
  });
}

const char* const kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
const Signature kExitSig = {"QuorDB.__exit__()", kExitNames, 3, 0};

PyObject* db_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[3];
    Borrow borrow;
    QuorDBObject* db =
        enter_method(kExitSig, args, nargs, kwnames, argv, borrow, BorrowMode::Exclusive);
    if (db == nullptr) return nullptr;
    Status closed = close_state(db);
    if (!closed.ok()) return raise_quor_error(closed.error());
    Py_RETURN_FALSE;
  });
}

PyObject* db_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Borrow borrow;
    QuorDBObject* db =
        enter_no_arguments("QuorDB.stats()", args, nargs, kwnames, borrow, BorrowMode::Shared);
    if (db == nullptr) return nullptr;
    DbState* state = open_state(db);
    if (state == nullptr) return nullptr;
    return new_database_stats_object(state->db.database_stats());
  });
}

PyObject* db_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Borrow borrow;
    QuorDBObject* db =
        enter_no_arguments("QuorDB.schema()", args, nargs, kwnames, borrow, BorrowMode::Shared);
    if (db == nullptr) return nullptr;
    DbState* state = open_state(db);
    if (state == nullptr) return nullptr;
    Result<std::string> text = store::schema_to_json(state->db.meta.schema);
    if (!text.ok()) return raise_quor_error(text.error());
    PyRef json(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    PyRef loads(PyObject_GetAttrString(json.get(), "loads"));
    if (!loads) return nullptr;
    PyRef str(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
    if (!str) return nullptr;
    // Python code runs here; a call back into this object meets the shared
    // borrow.
    return PyObject_CallOneArg(loads.get(), str.get());
  });
}

const char* const kQueryNames[] = {"sql_str"};
const Signature kQuerySig = {"QuorDB.query()", kQueryNames, 1, 1};

PyObject* db_query(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* argv[1];
    Borrow borrow;
    QuorDBObject* db =
        enter_method(kQuerySig, args, nargs, kwnames, argv, borrow, BorrowMode::Shared);
    if (db == nullptr) return nullptr;
    std::string text;
    if (!extract_str_argument(argv[0], "sql_str", text)) return nullptr;
    DbState* state = open_state(db);
    if (state == nullptr) return nullptr;
    Result<sql::QueryResult> result = sql::run_query(state->db, *state->cache, text);
    if (!result.ok()) return raise_quor_error(result.error());
    return new_query_result_object(std::move(result).value());
  });
}

// ---- destruction -----------------------------------------------------------------

void db_dealloc(PyObject* self) {
  auto* db = reinterpret_cast<QuorDBObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  guarded_dealloc(self, [&] {
    if (current_thread_id() == db->owner) {
      // Released without flushing: unflushed changes are lost.
      db->state.reset();
      release_handed_back();
    } else {
      raise_text(PyExc_RuntimeError,
                 std::string(kTypeText) + " is unsendable, but is being dropped on another thread");
      PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(tp));
      if (db->state) hand_back(db->owner, std::move(db->state));
    }
  });
  db->state.~unique_ptr<DbState>();
  db->borrow.~atomic<int64_t>();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The table order of the class: the two constructors, then the methods.
PyMethodDef db_static_methods[] = {
    {"open", as_cfunction(db_open), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(path, mode=None)\n--\n\n"},
    {"create", as_cfunction(db_create), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "create(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef db_instance_methods[] = {
    {"flush", as_cfunction(db_flush), METH_FASTCALL | METH_KEYWORDS, "flush($self)\n--\n\n"},
    {"close", as_cfunction(db_close), METH_FASTCALL | METH_KEYWORDS, "close($self)\n--\n\n"},
    {"__enter__", as_cfunction(db_enter), METH_FASTCALL | METH_KEYWORDS,
     "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(db_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {"stats", as_cfunction(db_stats), METH_FASTCALL | METH_KEYWORDS, "stats($self)\n--\n\n"},
    {"schema", as_cfunction(db_schema), METH_FASTCALL | METH_KEYWORDS, "schema($self)\n--\n\n"},
    {"query", as_cfunction(db_query), METH_FASTCALL | METH_KEYWORDS,
     "query($self, sql_str)\n--\n\n"},
    {"ingest", as_cfunction(db_ingest), METH_FASTCALL | METH_KEYWORDS,
     "ingest($self, path, max_categories=None, date_columns=None, date_granularity=None)\n--\n\n"},
    {"ingest_records", as_cfunction(db_ingest_records), METH_FASTCALL | METH_KEYWORDS,
     "ingest_records($self, records)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_methods, db_static_methods},
    {0, nullptr},
};

PyType_Spec db_spec = {"builtins.QuorDB", sizeof(QuorDBObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, db_slots};

}  // namespace

PyTypeObject* quor_db_type() {
  if (g_quor_db == nullptr) g_quor_db = build_class(&db_spec, kClassName, db_instance_methods);
  return g_quor_db;
}

PyObject* new_quor_db_object(std::unique_ptr<DbState> state) {
  PyTypeObject* type = quor_db_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;  // `state` is released on the way out
  auto* db = reinterpret_cast<QuorDBObject*>(obj);
  new (&db->state) std::unique_ptr<DbState>(std::move(state));
  new (&db->borrow) std::atomic<int64_t>(0);
  register_owner_thread();
  db->owner = current_thread_id();
  return obj;
}

QuorDBObject* as_quor_db(PyObject* obj) {
  PyTypeObject* type = quor_db_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    raise_not_an_instance(obj, kClassName);
    return nullptr;
  }
  return reinterpret_cast<QuorDBObject*>(obj);
}

DbState* open_state(QuorDBObject* db) {
  if (!db->state) {
    raise_text(PyExc_RuntimeError, "database is closed");
    return nullptr;
  }
  return db->state.get();
}

DbState* writer_state(QuorDBObject* db) {
  DbState* state = open_state(db);
  if (state == nullptr || !state->db.lock_file) return state;
  Status writer = state->db.lock_file->check_writer();
  if (!writer.ok()) {
    raise_quor_error(writer.error());
    return nullptr;
  }
  return state;
}

Borrow::~Borrow() { release(); }

bool Borrow::acquire_shared(QuorDBObject* db) {
  int64_t current = db->borrow.load();
  do {
    if (current < 0) {
      raise_text(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
  } while (!db->borrow.compare_exchange_weak(current, current + 1));
  db_ = db;
  exclusive_ = false;
  return true;
}

bool Borrow::acquire_exclusive(QuorDBObject* db) {
  int64_t expected = 0;
  if (!db->borrow.compare_exchange_strong(expected, -1)) {
    raise_text(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  db_ = db;
  exclusive_ = true;
  return true;
}

void Borrow::release() {
  if (db_ == nullptr) return;
  if (exclusive_) {
    db_->borrow.store(0);
  } else {
    db_->borrow.fetch_sub(1);
  }
  db_ = nullptr;
}

void check_owner_thread(const QuorDBObject* db) {
  const uint64_t caller = current_thread_id();
  if (caller != db->owner) {
    panic("assertion `left == right` failed: " + std::string(kTypeText) +
          " is unsendable, but sent to another thread\n  left: " + thread_id_text(caller) +
          "\n right: " + thread_id_text(db->owner));
  }
  release_handed_back();
}

QuorDBObject* enter_method(PyObject* receiver, Borrow& borrow, BorrowMode mode) {
  QuorDBObject* db = as_quor_db(receiver);
  if (db == nullptr) return nullptr;
  check_owner_thread(db);
  return borrow.acquire(db, mode) ? db : nullptr;
}

QuorDBObject* enter_method(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** argv, Borrow& borrow, BorrowMode mode) {
  PyObject* receiver = nullptr;
  if (!bind_method_arguments(sig, args, nargs, kwnames, &receiver, argv)) return nullptr;
  return enter_method(receiver, borrow, mode);
}

}  // namespace quor::python
