#pragma once
#include "python/py_ref.hpp"

namespace tessary::python {

// The `shapes` submodule: data shape hashes of bytes and files, method shape hashes.
Ref create_shapes_module();

}  // namespace tessary::python
