#include "python/module_builder.hpp"

namespace tessary::python {

Ref make_function(PyMethodDef* def, PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  return Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
}

bool add_object(PyObject* module, PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(object, "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be a string");
    return false;
  }
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), object) == 0;
}

bool add_functions(PyObject* module, PyMethodDef* defs) {
  for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
    Ref function = make_function(def, module);
    if (!function || !add_object(module, function.get())) return false;
  }
  return true;
}

}  // namespace tessary::python
