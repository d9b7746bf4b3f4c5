#pragma once
// SigningKey and VerifyKey: Ed25519 keys of the signing library.
#include "python/py_ref.hpp"

namespace tessary::native {

// Adds both types to the module. Returns false with an exception set.
bool add_signing_types(PyObject* module);

}  // namespace tessary::native
