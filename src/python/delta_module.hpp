#pragma once
#include "python/py_ref.hpp"

namespace tessary::python {

// The `delta` submodule with its three functions.
Ref create_delta_module();

}  // namespace tessary::python
