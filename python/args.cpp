#include "args.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "guard.h"
#include "py_ref.h"

namespace quor::python {

namespace {

bool type_error(const std::string& text) {
  raise_text(PyExc_TypeError, text);
  return false;
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += (i == n - 1) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;

  if (nargs > sig.count) {
    const char* was = nargs == 1 ? "was" : "were";
    std::string msg = std::string(sig.full_name) + " takes ";
    if (sig.required != sig.count) {
      msg += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    } else {
      msg += std::to_string(sig.count);
    }
    msg += " positional arguments but " + std::to_string(nargs) + " " + was + " given";
    return type_error(msg);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    if (name == nullptr) return false;
    int slot = -1;
    for (int i = 0; i < sig.count; ++i) {
      if (std::strlen(sig.names[i]) == static_cast<size_t>(len) &&
          std::memcmp(sig.names[i], name, static_cast<size_t>(len)) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      return type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                        std::string(name, static_cast<size_t>(len)) + "'");
    }
    if (out[slot] != nullptr) {
      return type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                        sig.names[slot] + "'");
    }
    out[slot] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    return type_error(std::string(sig.full_name) + " missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() == 1 ? "" : "s") +
                      ": " + quoted_list(missing));
  }
  return true;
}

namespace {
bool receiver_or_fail(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** receiver) {
  if (nargs < 1) {
    return type_error(std::string("unbound method ") + full_name + " needs an argument");
  }
  *receiver = args[0];
  return true;
}
}  // namespace

bool bind_method_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** receiver, PyObject** out) {
  if (!receiver_or_fail(sig.full_name, args, nargs, receiver)) return false;
  return bind_arguments(sig, args + 1, nargs - 1, kwnames, out);
}

bool bind_no_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** receiver) {
  if (!receiver_or_fail(full_name, args, nargs, receiver)) return false;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    return type_error(std::string(full_name) + " takes no keyword arguments");
  }
  if (nargs != 1) {
    return type_error(std::string(full_name) + " takes no arguments (" +
                      std::to_string(nargs - 1) + " given)");
  }
  return true;
}

namespace {

// Raises TypeError "argument '{param}': {message}" whose cause is `inner`.
bool raise_caused_argument_error(const char* param, PyObject* message, PyRef inner) {
  PyRef outer_text(PyUnicode_FromFormat("argument '%s': %U", param, message));
  if (!outer_text) return false;
  PyRef outer(PyObject_CallOneArg(PyExc_TypeError, outer_text.get()));
  if (!outer) return false;
  PyException_SetCause(outer.get(), inner.release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, outer.get());
  return false;
}

}  // namespace

std::string not_an_instance_text(PyObject* obj, const char* class_name) {
  if (obj == Py_None) return std::string("'None' is not an instance of '") + class_name + "'";
  return "'" + type_name(Py_TYPE(obj)) + "' object is not an instance of '" + class_name + "'";
}

bool raise_not_an_instance(PyObject* obj, const char* class_name) {
  return type_error(not_an_instance_text(obj, class_name));
}

bool rewrap_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  PyRef inner(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyRef inner(value);
#endif
  // The message is kept as Python text: it may hold what UTF-8 cannot.
  PyRef inner_str(PyObject_Str(inner.get()));
  if (!inner_str) return false;
  return raise_caused_argument_error(param, inner_str.get(), std::move(inner));
}

bool raise_argument_error(const char* param, const std::string& message) {
  PyRef inner_text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace"));
  if (!inner_text) return false;
  PyRef inner(PyObject_CallOneArg(PyExc_TypeError, inner_text.get()));
  if (!inner) return false;
  return raise_caused_argument_error(param, inner_text.get(), std::move(inner));
}

bool extract_str_argument(PyObject* value, const char* param, std::string& out) {
  if (!PyUnicode_Check(value)) {
    return raise_argument_error(param, not_an_instance_text(value, "str"));
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &len);
  if (text == nullptr) return false;
  out.assign(text, static_cast<size_t>(len));
  return true;
}

}  // namespace quor::python
