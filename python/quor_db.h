// The QuorDB class: one open database directory as a Python object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "db_state.h"

namespace quor::python {

// The instance layout. `state` is present from open / create until close;
// `borrow` is 0 when free, n > 0 for n shared borrows and -1 for one
// exclusive borrow; `owner` is the identity of the creating thread.
struct QuorDBObject {
  PyObject_HEAD
  std::unique_ptr<DbState> state;
  std::atomic<int64_t> borrow;
  uint64_t owner;
};

// The class object, built once per process on first use. Borrowed reference,
// or nullptr with the error set.
PyTypeObject* quor_db_type();

// A new QuorDB owning `state`, bound to the calling thread. On failure the
// state is released and nullptr is returned with the error set.
PyObject* new_quor_db_object(std::unique_ptr<DbState> state);

// The receiver check: `obj` as a QuorDB, or nullptr with the TypeError
// "'{}' object is not an instance of 'QuorDB'" set.
QuorDBObject* as_quor_db(PyObject* obj);
// The closed check: the open state, or nullptr with RuntimeError
// "database is closed" set.
DbState* open_state(QuorDBObject* db);
// The closed check of a method that writes, then the writer check: a
// read-write database inherited by a forked child is refused with QuorError
// "database was opened read-write by process {pid}; a forked copy cannot
// write it" (the lock and the files belong to that process).
DbState* writer_state(QuorDBObject* db);

// How a method holds the object for its length: shared (flush, query,
// stats, schema, __enter__) or exclusive (close, __exit__, the ingests).
enum class BorrowMode { Shared, Exclusive };

// Holds a borrow of a QuorDB for the life of the scope.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();
  // Shared: refused with RuntimeError "Already mutably borrowed" while held
  // exclusively. Exclusive: refused with "Already borrowed" while held at
  // all. Return false with the error set when refused.
  bool acquire_shared(QuorDBObject* db);
  bool acquire_exclusive(QuorDBObject* db);
  bool acquire(QuorDBObject* db, BorrowMode mode) {
    return mode == BorrowMode::Exclusive ? acquire_exclusive(db) : acquire_shared(db);
  }
  void release();

 private:
  QuorDBObject* db_ = nullptr;
  bool exclusive_ = false;
};

// The owner-thread check: aborts (raised as PanicException) on any other
// thread, and releases states handed back to the calling thread.
void check_owner_thread(const QuorDBObject* db);

// Every instance method's prologue once its arguments are bound: the
// receiver check, the owner-thread check and the borrow, in that order. The
// receiver as a QuorDB, or nullptr with the error set.
QuorDBObject* enter_method(PyObject* receiver, Borrow& borrow, BorrowMode mode);

struct Signature;
// The same after binding the receiver and the parameters of `sig` to
// `argv` (see bind_method_arguments).
QuorDBObject* enter_method(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** argv, Borrow& borrow, BorrowMode mode);

}  // namespace quor::python
