// Client: the SDK's one object. Without storage it records and verifies like
// the module-level functions; with a storage path it also stores and lists.
#include "python/client_object.hpp"

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/receipt_object.hpp"
#include "python/work_calls.hpp"
#include "storage/filesystem_store.hpp"

#include <memory>

namespace tessary::python {

namespace {

using StoreHandle = std::shared_ptr<storage::FilesystemStore>;

struct ClientObject {
  PyObject_HEAD
  StoreHandle* store;  // owned; null without storage; never changed after creation
};

storage::FilesystemStore* store_of(PyObject* self) {
  StoreHandle* handle = reinterpret_cast<ClientObject*>(self)->store;
  return handle ? handle->get() : nullptr;
}

// Storage failures: a StorageError becomes ValueError(prefix + text); a store
// broken by an earlier internal fault is itself an internal fault.
PyObject* raise_store_failure(const char* prefix, const storage::StoreFailure& failure) {
  // Interrupted: the signal handler's exception is already set.
  if (std::holds_alternative<storage::StoreInterrupted>(failure)) return nullptr;
  if (const auto* error = std::get_if<storage::StorageError>(&failure)) {
    return raise_value_error(std::string(prefix) + error->to_string());
  }
  return raise_panic(storage::to_string(failure));
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!bind_arguments({"Client", {"storage_path"}, 0}, args, kwargs, slots)) return nullptr;
  std::unique_ptr<StoreHandle> handle;
  if (slots[0].get() != nullptr && slots[0].get() != Py_None) {
    auto path = to_string(slots[0].get(), "storage_path");
    if (!path) return nullptr;
    auto store = storage::FilesystemStore::open(std::move(*path));
    if (!store) return raise_value_error("Failed to create filesystem store: " + store.error().to_string());
    handle = std::make_unique<StoreHandle>(std::move(*store));
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ClientObject*>(self)->store = handle.release();
  return self;
}

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return client_new(type, args, kwargs);
  } catch (...) {
    return raise_current_exception();
  }
}

void client_dealloc(PyObject* self) {
  delete reinterpret_cast<ClientObject*>(self)->store;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* record_work(PyObject*, PyObject* args, PyObject* kwargs) {
  return record_work_call("Client.record_work", args, kwargs);
}

PyObject* verify_receipt(PyObject*, PyObject* args, PyObject* kwargs) {
  return verify_receipt_call("Client.verify_receipt", args, kwargs);
}

PyObject* store_receipt(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!bind_arguments({"Client.store_receipt", {"receipt"}, 1}, args, kwargs, slots)) return nullptr;
  const receipts::Receipt* receipt = unwrap_receipt(slots[0].get(), "receipt");
  if (receipt == nullptr) return nullptr;
  storage::FilesystemStore* store = store_of(self);
  if (store == nullptr) {
    return raise_value_error("Storage not configured. Create client with storage_path to enable storage.");
  }
  auto stored = store->store_receipt(*receipt);
  if (!stored) return raise_store_failure("Failed to store receipt: ", stored.error());
  Py_RETURN_NONE;
}

std::optional<std::optional<std::string>> optional_text(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::optional<std::string>{};
  auto text = to_string(value, name);
  if (!text) return std::nullopt;
  return std::optional<std::string>(std::move(*text));
}

PyObject* list_receipts(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[3];
  if (!bind_arguments({"Client.list_receipts", {"workload_id", "trace_id", "limit"}, 0}, args, kwargs, slots)) return nullptr;
  storage::ReceiptQuery query;
  auto workload_id = optional_text(slots[0].get(), "workload_id");
  if (!workload_id) return nullptr;
  auto trace_id = optional_text(slots[1].get(), "trace_id");
  if (!trace_id) return nullptr;
  query.workload_id = std::move(*workload_id);
  query.trace_id = std::move(*trace_id);
  if (slots[2].get() != nullptr && slots[2].get() != Py_None) {
    auto limit = to_u64(slots[2].get(), "limit");
    if (!limit) return nullptr;
    query.limit = static_cast<std::size_t>(*limit);
  }
  storage::FilesystemStore* store = store_of(self);
  if (store == nullptr) {
    return raise_value_error("Storage not configured. Create client with storage_path to enable listing.");
  }
  auto found = store->query_receipts(std::move(query));
  if (!found) return raise_store_failure("Failed to query receipts: ", found.error());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found->size(); ++i) {
    PyObject* receipt = wrap_receipt(std::move((*found)[i]));
    if (receipt == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), receipt);  // steals
  }
  return list.release();
}

constexpr const char* kClientDoc =
    "Client(storage_path=None)\n--\n\n"
    "Thin client for Tessary SDK.\n\n"
    "Provides a simple interface for recording work and verifying receipts.\n"
    "Storage is optional and decoupled - receipts can be created without storage.";

constexpr const char* kRecordWorkDoc =
    "record_work($self, workload_id, payload, tags=None, trace_id=None, parent_id=None)\n--\n\n"
    "Record a unit of work and produce a verifiable receipt.\n\n"
    "This is the primary method for creating receipts. The receipt is not stored;\n"
    "call store_receipt to keep it.\n\n"
    "# Arguments\n"
    "* `workload_id` - Identifier for this unit of work\n"
    "* `payload` - Work payload as a dictionary (hashed to compute the data shape)\n"
    "* `tags` - Optional tags for categorization\n"
    "* `trace_id` - Optional trace identifier grouping related work units\n"
    "* `parent_id` - Optional parent receipt identifier for DAG composition\n\n"
    "# Returns\n"
    "A `PyReceipt` containing the verifiable proof of work.\n\n"
    "# Example\n"
    "    client = Client()\n"
    "    receipt = client.record_work(\"etl.daily\", {\"rows\": 1200})";

constexpr const char* kVerifyDoc =
    "verify_receipt($self, receipt)\n--\n\n"
    "Verify receipt integrity and hash correctness.\n\n"
    "# Arguments\n"
    "* `receipt` - The receipt to verify\n\n"
    "# Returns\n"
    "`True` if the receipt is valid, `False` if invalid.\n\n"
    "# Example\n"
    "    assert client.verify_receipt(receipt)";

constexpr const char* kStoreDoc =
    "store_receipt($self, receipt)\n--\n\n"
    "Store a receipt in the configured storage backend.\n\n"
    "# Arguments\n"
    "* `receipt` - The receipt to store\n\n"
    "# Returns\n"
    "Nothing on success, raises an error if storage is not configured or storage fails.\n\n"
    "# Example\n"
    "    client = Client(storage_path=\"./tessary-data\")\n"
    "    client.store_receipt(receipt)";

constexpr const char* kListDoc =
    "list_receipts($self, workload_id=None, trace_id=None, limit=None)\n--\n\n"
    "List receipts matching the query criteria.\n\n"
    "# Arguments\n"
    "* `workload_id` - Optional filter by workload identifier\n"
    "* `trace_id` - Optional filter by trace identifier\n"
    "* `limit` - Optional maximum number of results\n\n"
    "# Returns\n"
    "A list of `PyReceipt` objects matching the query.\n\n"
    "# Example\n"
    "    receipts = client.list_receipts(workload_id=\"etl.daily\", limit=10)";

#define TESSARY_METHOD(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name>)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef kMethods[] = {
    TESSARY_METHOD(record_work, kRecordWorkDoc),
    TESSARY_METHOD(verify_receipt, kVerifyDoc),
    TESSARY_METHOD(store_receipt, kStoreDoc),
    TESSARY_METHOD(list_receipts, kListDoc),
    {nullptr, nullptr, 0, nullptr},
};

#undef TESSARY_METHOD

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClientDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"_tessary.Client", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

Ref create_client_type() {
  kSpec.flags |= immutable_type_flag();
  return Ref::steal(PyType_FromSpec(&kSpec));
}

}  // namespace tessary::python
