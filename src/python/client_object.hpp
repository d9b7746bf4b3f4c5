#pragma once
#include "python/py_ref.hpp"

namespace tessary::python {

// The Client type: record and verify work, optionally keep receipts in a directory.
Ref create_client_type();

}  // namespace tessary::python
