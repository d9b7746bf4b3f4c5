#include "python/root_functions.hpp"

#include "python/errors.hpp"
#include "python/work_calls.hpp"

namespace tessary::python {

namespace {

PyObject* record_work_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return record_work_call("record_work_py", args, kwargs);
}

PyObject* verify_receipt_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return verify_receipt_call("verify_receipt_py", args, kwargs);
}

constexpr const char* kRecordWorkDoc =
    "record_work_py(workload_id, payload, tags=None, trace_id=None, parent_id=None)\n--\n\n"
    "Module-level function: Record a unit of work.\n\n"
    "This is the direct API without creating a client. Storage is completely\n"
    "optional - receipts can be created and verified without any storage backend.\n\n"
    "Args:\n"
    "    workload_id: Identifier for this unit of work\n"
    "    payload: Work payload as a dictionary\n"
    "    tags: Optional tags for categorization\n"
    "    trace_id: Optional trace identifier\n"
    "    parent_id: Optional parent receipt identifier\n\n"
    "Returns:\n"
    "    A `PyReceipt` containing the verifiable proof of work.";

constexpr const char* kVerifyDoc =
    "verify_receipt_py(receipt)\n--\n\n"
    "Module-level function: Verify receipt integrity.\n\n"
    "This is the direct API without creating a client. Verification needs no storage.\n\n"
    "Args:\n"
    "    receipt: The receipt to verify\n\n"
    "Returns:\n"
    "    `True` if the receipt is valid, `False` if invalid.";

}  // namespace

PyMethodDef kRootRecordWork[] = {
    {"record_work_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<record_work_py>)),
     METH_VARARGS | METH_KEYWORDS, kRecordWorkDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kRootVerifyReceipt[] = {
    {"verify_receipt_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<verify_receipt_py>)),
     METH_VARARGS | METH_KEYWORDS, kVerifyDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessary::python
