#pragma once
// The exception classes the helper raises for each area's failures. The
// package hands over its own classes once, at import (use_errors); until
// then every area raises ValueError, which those classes all derive from.
#include <string_view>

#include "python/python.hpp"

namespace tessary::native {

enum class Area { Receipt, Shape, Store, Signature };

// Sets the area's exception with `text`. Always returns null, for `return raise_error(...)`.
PyObject* raise_error(Area area, std::string_view text);

extern PyMethodDef kErrorFunctions[];

}  // namespace tessary::native
