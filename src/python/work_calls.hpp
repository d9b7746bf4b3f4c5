#pragma once
// The record-work and verify procedures shared by the receipts submodule, the
// root module and Client: argument conversion, the payload's trip through the
// interpreter's json.dumps, the engine call, and the result.
#include "python/python.hpp"

namespace tessary::python {

// (workload_id, payload, tags=None, trace_id=None, parent_id=None) -> PyReceipt.
// `function` names the callable in argument errors.
PyObject* record_work_call(const char* function, PyObject* args, PyObject* kwargs);

// (receipt) -> bool.
PyObject* verify_receipt_call(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace tessary::python
