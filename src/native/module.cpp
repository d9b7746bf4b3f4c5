// tessary._native: the public package's native helper. Buffers of any kind,
// streaming data shapes, MinHash sketches, the directory store and Ed25519 keys, with the heavy
// work done while the interpreter lock is released.
// Conversion only: every decision is made by the libraries.
#include "native/error_kinds.hpp"
#include "native/gil.hpp"
#include "native/hasher_object.hpp"
#include "native/receipt_rows.hpp"
#include "native/shape_functions.hpp"
#include "native/signing_objects.hpp"
#include "native/sketch_functions.hpp"
#include "native/strict_check.hpp"
#include "native/store_object.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"

namespace tessary::native {

namespace {

using python::Ref;

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tessary._native",
    "Native helpers of the tessary package (private; use the tessary API).",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  if (!install_signal_poll()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  Ref hasher = create_hasher_type();
  if (!hasher || !python::add_object(module.get(), hasher.get())) return nullptr;
  if (!python::add_functions(module.get(), kShapeFunctions)) return nullptr;
  if (!add_store_types(module.get())) return nullptr;
  if (!add_signing_types(module.get())) return nullptr;
  if (!python::add_functions(module.get(), kReceiptRowFunctions)) return nullptr;
  if (!python::add_functions(module.get(), kStrictFunctions)) return nullptr;
  if (!python::add_functions(module.get(), kSketchFunctions)) return nullptr;
  if (!python::add_functions(module.get(), kErrorFunctions)) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace tessary::native

PyMODINIT_FUNC PyInit__native(void) {
  try {
    return tessary::native::init_module();
  } catch (...) {
    return tessary::python::raise_current_exception();
  }
}
