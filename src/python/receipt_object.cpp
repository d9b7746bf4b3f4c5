#include "python/receipt_object.hpp"

#include "formats/uuid.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "receipts/canonical_hash.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/validation.hpp"

#include <memory>
#include <new>

namespace tessary::python {

namespace {

struct ReceiptObject {
  PyObject_HEAD
  receipts::Receipt* receipt;  // owned; never changed after creation
};

PyTypeObject* g_receipt_type = nullptr;  // kept for the life of the process

const receipts::Receipt& self_receipt(PyObject* self) { return *reinterpret_cast<ReceiptObject*>(self)->receipt; }

constexpr const char* kNoNativeState = "PyReceipt object holds no receipt: receipts are made only by the module";

// True when `object` is a PyReceipt made by the module; otherwise TypeError.
// An object made around the refusing constructor (object.__new__ after
// __new__ was replaced, on interpreters whose types are mutable) holds no receipt.
bool has_receipt(PyObject* object) {
  if (reinterpret_cast<ReceiptObject*>(object)->receipt != nullptr) return true;
  PyErr_SetString(PyExc_TypeError, kNoNativeState);
  return false;
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyReceipt");
  return nullptr;
}

void dealloc(PyObject* self) {
  delete reinterpret_cast<ReceiptObject*>(self)->receipt;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* str_or_none(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return new_str(*text).release();
}

PyObject* get_rid(PyObject* self, PyObject*) { return new_str(formats::uuid::format(self_receipt(self).rid)).release(); }
PyObject* get_kind(PyObject* self, PyObject*) {
  return new_str(receipts::display_name(self_receipt(self).kind)).release();
}
PyObject* get_version(PyObject* self, PyObject*) { return new_str(self_receipt(self).version).release(); }
PyObject* get_hash(PyObject* self, PyObject*) { return new_str(self_receipt(self).hash).release(); }
PyObject* get_dom(PyObject* self, PyObject*) { return new_str(self_receipt(self).dom).release(); }
PyObject* get_cod(PyObject* self, PyObject*) { return new_str(self_receipt(self).cod).release(); }

const receipts::ExecutionPayload* execution_payload(const receipts::Receipt& r) {
  if (r.kind != receipts::ReceiptKind::Execution) return nullptr;
  return std::get_if<receipts::ExecutionPayload>(&r.payload);
}

// Recording puts the workload identifier into the execution payload's method
// identifier; that is where it is read back from.
PyObject* get_workload_id(PyObject* self, PyObject*) {
  const auto* exec = execution_payload(self_receipt(self));
  return str_or_none(exec ? std::optional<std::string>(exec->method_ref.method_id) : std::nullopt);
}

PyObject* get_trace_id(PyObject* self, PyObject*) {
  const auto* exec = execution_payload(self_receipt(self));
  return str_or_none(exec ? std::optional<std::string>(exec->trace_id) : std::nullopt);
}

PyObject* to_json(PyObject* self, PyObject*) {
  auto text = receipts::receipt_to_json(self_receipt(self));
  if (!text) return raise_value_error("JSON serialization failed: " + text.error().to_string());
  return new_str(*text).release();
}

PyObject* validate(PyObject* self, PyObject*) {
  auto ok = receipts::validate(self_receipt(self));
  if (!ok) return raise_value_error("Receipt validation failed: " + ok.error().to_string());
  Py_RETURN_NONE;
}

PyObject* compute_hash(PyObject* self, PyObject*) {
  auto hash = self_receipt(self).compute_hash();
  if (!hash) return raise_value_error("Hash computation failed: " + hash.error().to_string());
  return new_str(*hash).release();
}

template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* guarded_method(PyObject* self, PyObject* arg) noexcept {
  try {
    if (!has_receipt(self)) return nullptr;
    return F(self, arg);
  } catch (...) {
    return raise_current_exception();
  }
}

#define TESSARY_METHOD(name, doc) \
  {#name, guarded_method<name>, METH_NOARGS, #name "($self)\n--\n\n" doc}

PyMethodDef kMethods[] = {
    TESSARY_METHOD(get_rid, "Get receipt ID (RID) as string."),
    TESSARY_METHOD(get_kind, "Get receipt kind as string."),
    TESSARY_METHOD(get_version, "Get receipt version."),
    TESSARY_METHOD(get_hash, "Get receipt hash."),
    TESSARY_METHOD(get_dom, "Get domain shape commitment (dom)."),
    TESSARY_METHOD(get_cod, "Get codomain shape commitment (cod)."),
    TESSARY_METHOD(get_workload_id,
                   "Get workload ID from execution payload (if this is an execution receipt).\n\n"
                   "Returns None if this is not an execution receipt or if workload_id is not available."),
    TESSARY_METHOD(get_trace_id, "Get trace ID from execution payload (if this is an execution receipt)."),
    TESSARY_METHOD(to_json,
                   "Serialize receipt to JSON string.\n\n"
                   "Raises:\n    ValueError: If serialization fails"),
    TESSARY_METHOD(validate,
                   "Validate this receipt.\n\n"
                   "Performs hash integrity, payload rules, and format checks.\n\n"
                   "Returns:\n    None if valid\n\n"
                   "Raises:\n    ValueError: If validation fails"),
    TESSARY_METHOD(compute_hash,
                   "Compute hash from canonical body.\n\n"
                   "Computes the SHA-256 hash of the canonical representation\n"
                   "(excluding the sig and hash fields).\n\n"
                   "Raises:\n    ValueError: If hash computation fails"),
    {nullptr, nullptr, 0, nullptr},
};

#undef TESSARY_METHOD

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Receipt")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "receipts.PyReceipt", sizeof(ReceiptObject), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

Ref create_receipt_type() {
  if (g_receipt_type == nullptr) {
    kSpec.flags |= immutable_type_flag();
    g_receipt_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
    if (g_receipt_type == nullptr) return {};
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(g_receipt_type));
}

PyTypeObject* receipt_type() noexcept { return g_receipt_type; }

PyObject* wrap_receipt(receipts::Receipt&& receipt) {
  return wrap_receipt(std::make_unique<receipts::Receipt>(std::move(receipt)));
}

PyObject* wrap_receipt(std::unique_ptr<receipts::Receipt> receipt) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_receipt_type, Py_tp_alloc));
  PyObject* object = alloc(g_receipt_type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<ReceiptObject*>(object)->receipt = receipt.release();
  return object;
}

const receipts::Receipt* unwrap_receipt(PyObject* object, const char* argument) {
  if (g_receipt_type == nullptr || !PyObject_TypeCheck(object, g_receipt_type)) {
    raise_wrong_type(argument, object, "PyReceipt");
    return nullptr;
  }
  if (!has_receipt(object)) return nullptr;
  return reinterpret_cast<ReceiptObject*>(object)->receipt;
}

}  // namespace tessary::python
