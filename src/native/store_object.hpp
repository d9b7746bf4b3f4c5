#pragma once
// Store(path) over the directory store, and the Cursor its scans hand out.
#include "python/py_ref.hpp"

namespace tessary::native {

// Both types, added to the module in this order: Store, Cursor.
bool add_store_types(PyObject* module);

}  // namespace tessary::native
