// The call guard every entry from Python passes through, and the exceptions
// the module raises.
//
// Engine failures become QuorError with the full text of the message error.
// An abort (a failed engine assertion, quor::Panic, or any other C++
// exception) is stopped here and raised as PanicException, a BaseException
// subclass; in a destructor it is reported as unraisable instead. No C++
// exception ever leaves a guarded entry.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "quor/util/error.h"
#include "quor/util/panic.h"

namespace quor::python {

// "quor_engine.QuorError" (base Exception), created once per process on first
// use. Returns a borrowed reference, or nullptr with the error set.
PyObject* quor_error_type();
// The abort exception (base BaseException), created once per process.
PyObject* panic_exception_type();

// Raises QuorError with `error`'s full text as its single argument; returns
// nullptr for the caller to pass on.
PyObject* raise_quor_error(const Error& error);
// Raises PanicException with `message`.
void raise_panic(std::string_view message);
// Sets `type` with a UTF-8 message; returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view message);

// Clears the current Python error and returns ": " followed by its str()
// (the empty text when there is none or it cannot be shown).
std::string take_error_suffix();

// The type's bare name (`__name__`), for messages.
std::string type_name(PyTypeObject* type);

namespace detail {
inline void convert_current_exception() {
  try {
    throw;
  } catch (const Panic& p) {
    raise_panic(p.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}
}  // namespace detail

// Runs `body` (which returns the entry's value, or its failure value with a
// Python error set); an abort becomes PanicException and `failure`.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    detail::convert_current_exception();
    return failure;
  }
}

template <class F>
PyObject* guarded_call(F&& body) noexcept {
  return guarded<PyObject*>(nullptr, static_cast<F&&>(body));
}

// For destructors: the exception that is current on entry is kept, and an
// abort inside `body` is reported through PyErr_WriteUnraisable with the
// object's class as the context (the dying object itself must not be handed
// to Python code).
template <class F>
void guarded_dealloc(PyObject* obj, F&& body) noexcept;

// Keeps the exception in flight (if any) aside for the life of the scope.
class SavedException {
 public:
  SavedException();
  ~SavedException();
  SavedException(const SavedException&) = delete;
  SavedException& operator=(const SavedException&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_ = nullptr;
#else
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

template <class F>
void guarded_dealloc(PyObject* obj, F&& body) noexcept {
  SavedException saved;
  try {
    body();
  } catch (...) {
    detail::convert_current_exception();
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  }
}

}  // namespace quor::python
