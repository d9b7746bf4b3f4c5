#include "python/json_bridge.hpp"

#include "python/arguments.hpp"

namespace tessary::python {

std::optional<std::string> json_dumps(PyObject* value) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
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
