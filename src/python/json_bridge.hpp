#pragma once
// The interpreter's own json.dumps, used where Python values become JSON text.
#include "python/python.hpp"

#include <optional>
#include <string>

namespace tessary::python {

// json.dumps(value) with the interpreter's defaults, as UTF-8 text. Exceptions
// of the import or of dumps itself are left set, unchanged.
std::optional<std::string> json_dumps(PyObject* value);

}  // namespace tessary::python
