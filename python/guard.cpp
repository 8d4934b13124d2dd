#include "guard.h"

#include "py_ref.h"

namespace quor::python {

namespace {
// Process-wide exception classes; built under the interpreter lock and never
// freed.
PyObject* g_quor_error = nullptr;
PyObject* g_panic_exception = nullptr;
}  // namespace

PyObject* quor_error_type() {
  if (g_quor_error == nullptr) {
    PyObject* t = PyErr_NewExceptionWithDoc("quor_engine.QuorError", nullptr, PyExc_Exception,
                                            nullptr);
    if (t == nullptr) {
      std::string text = "Failed to initialize new exception type." + take_error_suffix();
      panic(text);
    }
    g_quor_error = t;
  }
  return g_quor_error;
}

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    g_panic_exception =
        PyErr_NewExceptionWithDoc("quor_engine.PanicException",
                                  nullptr,
                                  PyExc_BaseException, nullptr);
  }
  return g_panic_exception;
}

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_quor_error(const Error& error) {
  PyObject* type = quor_error_type();
  if (type == nullptr) return nullptr;
  return raise_text(type, error.full_text());
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to build it is the error left set
  raise_text(type, message);
}

std::string take_error_suffix() {
  if (!PyErr_Occurred()) return "";
  PyRef value;
#if PY_VERSION_HEX >= 0x030C0000
  value = PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *raw, *tb;
  PyErr_Fetch(&type, &raw, &tb);
  PyErr_NormalizeException(&type, &raw, &tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  value = PyRef(raw);
#endif
  std::string out;
  PyRef s(value ? PyObject_Str(value.get()) : nullptr);
  const char* text = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
  if (text != nullptr) out = std::string(": ") + text;
  PyErr_Clear();
  return out;
}

std::string type_name(PyTypeObject* type) {
  PyRef name(PyType_GetName(type));
  const char* c = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (c == nullptr) {
    PyErr_Clear();
    return type->tp_name;
  }
  return c;
}

#if PY_VERSION_HEX >= 0x030C0000
SavedException::SavedException() : exc_(PyErr_GetRaisedException()) {}
SavedException::~SavedException() { PyErr_SetRaisedException(exc_); }
#else
SavedException::SavedException() { PyErr_Fetch(&type_, &value_, &tb_); }
SavedException::~SavedException() { PyErr_Restore(type_, value_, tb_); }
#endif

}  // namespace quor::python
