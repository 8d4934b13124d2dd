// Argument binding and conversion for vectorcall entries.
#pragma once

#include <Python.h>

#include <string>

namespace quor::python {

// A callable's parameters: all may be given by position or by keyword; the
// first `required` have no default.
struct Signature {
  const char* full_name;  // "QuorDB.open()", used in the binding messages
  const char* const* names;
  int count;
  int required;
};

// Binds `nargs` positional arguments and the keyword arguments named by
// `kwnames` (values following the positionals in `args`) to `out[0..count)`
// (borrowed; nullptr where absent). On failure raises the TypeError for a
// surplus positional, an unknown or duplicate keyword, or a missing required
// argument, in that order of checking, and returns false.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// For an instance method called as a plain function with the receiver first:
// fails with "unbound method {} needs an argument" when there is no receiver,
// then binds the rest as above. `*receiver` is the first argument.
bool bind_method_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** receiver, PyObject** out);

// The same for a method without parameters: refuses keyword arguments and
// any positional argument besides the receiver.
bool bind_no_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** receiver);

// Raises the receiver TypeError "'{}' object is not an instance of '{}'"
// ("'None' is not an instance of '{}'" for None); returns false.
bool raise_not_an_instance(PyObject* obj, const char* class_name);

// "'{}' object is not an instance of '{}'" ("'None' is not an instance of
// '{}'" for None), the text of every failed type check.
std::string not_an_instance_text(PyObject* obj, const char* class_name);

// With a TypeError set: replaces it by TypeError "argument '{param}': {its
// text}" whose cause is the original. Any other error is left as it is.
// Returns false.
bool rewrap_type_error(const char* param);

// Raises TypeError "argument '{param}': {message}" whose cause is a TypeError
// holding `message`; returns false.
bool raise_argument_error(const char* param, const std::string& message);

// Converts a str argument to UTF-8. A non-str raises the argument TypeError
// naming `param`; a str that cannot be encoded keeps the host's
// UnicodeEncodeError. Returns false on failure.
bool extract_str_argument(PyObject* value, const char* param, std::string& out);

}  // namespace quor::python
