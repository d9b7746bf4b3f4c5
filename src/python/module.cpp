// Module initialisation: the root `_tessary` and its submodules, each built
// once per process.
#include "formats/interrupt.hpp"
#include "python/client_object.hpp"
#include "python/delta_module.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"
#include "python/py_ref.hpp"
#include "python/receipts_module.hpp"
#include "python/root_functions.hpp"
#include "python/shapes_module.hpp"

namespace tessary::python {

namespace {

constexpr const char* kRootDoc =
    "Python module definition\n"
    "\n"
    "This is the internal native module (_tessary).\n"
    "It is wrapped by tessary/__init__.py, which provides the public API\n"
    "including async wrappers.";

// m_size 0 (not -1): the interpreter then calls the init function again on a
// re-import instead of copying a cached dict, so the once-only rule below holds.
PyModuleDef kRootDef = {
    PyModuleDef_HEAD_INIT, "_tessary", kRootDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Module objects are made at most once per process; the interpreter lock
// (held for every import) guards these flags.
bool g_root_created = false;
bool g_delta_created = false;
bool g_receipts_created = false;
bool g_shapes_created = false;

PyObject* raise_second_initialisation(const char* name) {
  PyErr_Format(PyExc_ImportError, "%s may only be initialized once per interpreter process", name);
  return nullptr;
}

Ref create_once(bool& created, const char* name, Ref (*create)()) {
  if (created) {
    raise_second_initialisation(name);
    return {};
  }
  created = true;
  return create();
}

Ref create_delta_once() { return create_once(g_delta_created, "delta", create_delta_module); }
Ref create_receipts_once() { return create_once(g_receipts_created, "receipts", create_receipts_module); }
Ref create_shapes_once() { return create_once(g_shapes_created, "shapes", create_shapes_module); }

PyObject* init_root() {
  if (g_root_created) return raise_second_initialisation("_tessary");
  g_root_created = true;
  Ref root = Ref::steal(PyModule_Create(&kRootDef));
  if (!root) return nullptr;
  Ref client = create_client_type();
  if (!client || !add_object(root.get(), client.get())) return nullptr;
  if (!add_functions(root.get(), kRootRecordWork) || !add_functions(root.get(), kRootVerifyReceipt)) return nullptr;
  Ref delta = create_delta_once();
  if (!delta || !add_object(root.get(), delta.get())) return nullptr;
  Ref receipts = create_receipts_once();
  if (!receipts || !add_object(root.get(), receipts.get())) return nullptr;
  Ref shapes = create_shapes_once();
  if (!shapes || !add_object(root.get(), shapes.get())) return nullptr;
  return root.release();
}

PyObject* init_delta() { return create_delta_once().release(); }
PyObject* init_receipts() { return create_receipts_once().release(); }
PyObject* init_shapes() { return create_shapes_once().release(); }

// Long native work polls here: pending signals run their Python handlers,
// and one that raises (KeyboardInterrupt for Ctrl-C) stops the work with its
// exception set. Every call into the module holds the interpreter lock.
bool check_signals() noexcept { return PyErr_CheckSignals() != 0; }

template <PyObject* (*Init)()>
PyObject* guarded_init() noexcept {
  formats::set_interrupt_poll(check_signals);
  try {
    return Init();
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace

}  // namespace tessary::python

PyMODINIT_FUNC PyInit__tessary(void) { return tessary::python::guarded_init<tessary::python::init_root>(); }

PyMODINIT_FUNC PyInit_delta(void) { return tessary::python::guarded_init<tessary::python::init_delta>(); }

PyMODINIT_FUNC PyInit_receipts(void) { return tessary::python::guarded_init<tessary::python::init_receipts>(); }

PyMODINIT_FUNC PyInit_shapes(void) { return tessary::python::guarded_init<tessary::python::init_shapes>(); }
