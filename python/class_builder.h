// Building the module's heap classes.
#pragma once

#include <Python.h>

namespace quor::python {

// Creates a class from `spec` (whose name is "builtins.<Name>", so that
// `__module__` reads "builtins") and gives it the bare type name. Each entry
// of `instance_methods` (ending with a null name) is added as a plain
// function bound like a Python method, so that a call through the class
// reaches the method's own receiver check. Returns a new reference or
// nullptr with the error set.
PyTypeObject* build_class(PyType_Spec* spec, const char* bare_name,
                          PyMethodDef* instance_methods);

}  // namespace quor::python
