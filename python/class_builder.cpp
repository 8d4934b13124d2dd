#include "class_builder.h"

#include "py_ref.h"

namespace quor::python {

PyTypeObject* build_class(PyType_Spec* spec, const char* bare_name,
                          PyMethodDef* instance_methods) {
  PyRef type(PyType_FromSpec(spec));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  tp->tp_name = bare_name;
  for (PyMethodDef* def = instance_methods; def != nullptr && def->ml_name != nullptr; ++def) {
    PyRef fn(PyCFunction_New(def, nullptr));
    if (!fn) return nullptr;
    PyRef method(PyInstanceMethod_New(fn.get()));
    if (!method) return nullptr;
    if (PyObject_SetAttrString(type.get(), def->ml_name, method.get()) < 0) return nullptr;
  }
  PyType_Modified(tp);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quor::python
