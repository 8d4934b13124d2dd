// A thin owner of one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace quor::python {

// Holds a strong reference (or nothing) and gives it up on destruction.
// Build it from a new reference; `borrowed()` takes an extra one.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrowed(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quor::python
