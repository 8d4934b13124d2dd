// Module start-up: the module definition and its execution step.
#include <Python.h>

#include <string>

#include "guard.h"
#include "py_ref.h"
#include "quor_db.h"
#include "results.h"

#ifndef QUOR_PY_MODULE_NAME
#define QUOR_PY_MODULE_NAME quor_engine
#endif
#define QUOR_STR_INNER_(x) #x
#define QUOR_STR_(x) QUOR_STR_INNER_(x)
#define QUOR_CAT_INNER_(a, b) a##b
#define QUOR_CAT_(a, b) QUOR_CAT_INNER_(a, b)

namespace quor::python {

#ifdef QUOR_PY_TESTING
// Extra functions of the test build of the module (testing_hooks.cpp).
PyMethodDef* testing_functions();
#endif

namespace {

// Appends `name` to the module's __all__ (creating the list when absent),
// then sets the attribute. A failure to append aborts.
bool add_member(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text(PyUnicode_FromString(name));
  if (!text) return false;
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    panic("could not append __name__ to __all__" + take_error_suffix());
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  return add_member(module, name, reinterpret_cast<PyObject*>(type));
}

bool register_module_members(PyObject* module) {
  if (!add_class(module, "QuorDB", quor_db_type())) return false;
  if (!add_class(module, "QueryResult", query_result_type())) return false;
  if (!add_class(module, "DatabaseStats", database_stats_type())) return false;
  if (!add_class(module, "IngestReport", ingest_report_type())) return false;
  PyObject* error = quor_error_type();
  if (error == nullptr) return false;
  if (!add_member(module, "QuorError", error)) return false;
#ifdef QUOR_PY_TESTING
  if (PyModule_AddFunctions(module, testing_functions()) < 0) return false;
#endif
  return true;
}

int module_exec(PyObject* module) {
  return guarded<int>(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      raise_text(PyExc_TypeError, "'" + type_name(Py_TYPE(module)) +
                                      "' object cannot be converted to 'PyModule'");
      return -1;
    }
    return register_module_members(module) ? 0 : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    QUOR_STR_(QUOR_PY_MODULE_NAME),
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quor::python

PyMODINIT_FUNC QUOR_CAT_(PyInit_, QUOR_PY_MODULE_NAME)(void) {
  return PyModuleDef_Init(&quor::python::module_def);
}
