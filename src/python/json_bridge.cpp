#include "python/json_bridge.hpp"

#include "python/arguments.hpp"

namespace tessary::python {

namespace {

// The module as the import system knows it: sys.modules first (the common
// case, and a fraction of the cost of a full import statement), otherwise a
// real import, whose failure propagates unchanged. A None entry in
// sys.modules is how a program blocks an import: the real import then raises
// the ImportError the program asked for.
Ref import_json() {
  Ref name = new_str("json");
  if (!name) return {};
  Ref module = Ref::steal(PyImport_GetModule(name.get()));
  if (PyErr_Occurred()) return {};
  if (module && module.get() != Py_None) return module;
  return Ref::steal(PyImport_Import(name.get()));
}

}  // namespace

std::optional<std::string> json_dumps(PyObject* value) {
  Ref json = import_json();
  if (!json) return std::nullopt;
  Ref dumps = Ref::steal(PyObject_GetAttrString(json.get(), "dumps"));
  if (!dumps) return std::nullopt;
  Ref text = Ref::steal(PyObject_CallFunctionObjArgs(dumps.get(), value, nullptr));
  if (!text) return std::nullopt;
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return a str");
    return std::nullopt;
  }
  return utf8_of(text.get());
}

}  // namespace tessary::python
