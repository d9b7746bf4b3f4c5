// The `receipts` submodule.
#include "python/receipts_module.hpp"

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"
#include "python/receipt_object.hpp"
#include "python/work_calls.hpp"
#include "receipts/json_adapter.hpp"

#include <memory>

namespace tessary::python {

namespace {

PyObject* receipt_from_json_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!bind_arguments({"receipt_from_json_py", {"json_str"}, 1}, args, kwargs, slots)) return nullptr;
  if (!PyUnicode_Check(slots[0].get())) {
    raise_wrong_type("json_str", slots[0].get(), "PyString");
    return nullptr;
  }
  Utf8View text;
  if (!text.open(slots[0].get())) return nullptr;
  auto receipt = std::make_unique<receipts::Receipt>();
  if (auto status = receipts::receipt_from_json(text.text(), *receipt); !status) {
    return raise_value_error("Failed to create receipt from JSON: " + status.error().to_string());
  }
  return wrap_receipt(std::move(receipt));
}

PyObject* record_work_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return record_work_call("record_work_py", args, kwargs);
}

PyObject* verify_receipt_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return verify_receipt_call("verify_receipt_py", args, kwargs);
}

constexpr const char* kFromJsonDoc =
    "receipt_from_json_py(json_str)\n--\n\n"
    "Create a receipt from JSON string.\n\n"
    "Args:\n"
    "    json_str: JSON string representation of the receipt\n\n"
    "Returns:\n"
    "    PyReceipt object\n\n"
    "Raises:\n"
    "    ValueError: If JSON parsing or receipt creation fails";

constexpr const char* kRecordWorkDoc =
    "record_work_py(workload_id, payload, tags=None, trace_id=None, parent_id=None)\n--\n\n"
    "Record a unit of work and produce a verifiable receipt.\n\n"
    "This is the primary SDK entry point for creating receipts.\n\n"
    "Args:\n"
    "    workload_id: Identifier for this unit of work\n"
    "    payload: Work payload as a dictionary (hashed to compute the data shape)\n"
    "    tags: Optional tags for categorization\n"
    "    trace_id: Optional trace identifier grouping related work units\n"
    "    parent_id: Optional parent receipt identifier for DAG composition\n\n"
    "Returns:\n"
    "    PyReceipt containing the verifiable proof of work\n\n"
    "Raises:\n"
    "    ValueError: If receipt creation fails";

constexpr const char* kVerifyDoc =
    "verify_receipt_py(receipt)\n--\n\n"
    "Verify receipt integrity and hash correctness.\n\n"
    "Checks:\n"
    "    1. Hash integrity (receipt.hash == compute_hash(receipt))\n"
    "    2. Syntactic validation\n\n"
    "Args:\n"
    "    receipt: The PyReceipt to verify\n\n"
    "Returns:\n"
    "    True if the receipt is valid, False if invalid\n\n"
    "Raises:\n"
    "    ValueError: If verification fails due to error (not invalid receipt)";

PyMethodDef kFunctions[] = {
    {"receipt_from_json_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<receipt_from_json_py>)),
     METH_VARARGS | METH_KEYWORDS, kFromJsonDoc},
    {"record_work_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<record_work_py>)),
     METH_VARARGS | METH_KEYWORDS, kRecordWorkDoc},
    {"verify_receipt_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<verify_receipt_py>)),
     METH_VARARGS | METH_KEYWORDS, kVerifyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kReceiptsDef = {
    PyModuleDef_HEAD_INIT, "receipts", "Python bindings for receipt operations", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

Ref create_receipts_module() {
  Ref module = Ref::steal(PyModule_Create(&kReceiptsDef));
  if (!module) return {};
  Ref type = create_receipt_type();
  if (!type || !add_object(module.get(), type.get()) || !add_functions(module.get(), kFunctions)) return {};
  return module;
}

}  // namespace tessary::python
