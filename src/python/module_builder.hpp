#pragma once
// Building module objects: functions bound to their module and the "add"
// procedure that keeps `__all__` in the order objects were added.
#include "python/py_ref.hpp"

namespace tessary::python {

// A built-in function bound to `module` (`__self__` is the module, `__module__` its name).
Ref make_function(PyMethodDef* def, PyObject* module);

// Appends the object's `__name__` to the module's `__all__` (made on first use)
// and sets the attribute of that name. Returns false with an exception set.
bool add_object(PyObject* module, PyObject* object);

// make_function + add_object for each entry of a null-terminated table.
bool add_functions(PyObject* module, PyMethodDef* defs);

}  // namespace tessary::python
