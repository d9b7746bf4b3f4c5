// Store(path, durable=True, create=True): store_many(texts), query(...), cursor(...);
// Cursor.next_batch(n, skipped=None).
//
// Every store operation runs with the interpreter lock released: the store's
// own mutex is only ever waited for without it, and Python objects are built
// only after the operation has let the mutex go.
#include "native/store_object.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "native/gil.hpp"
#include "native/error_kinds.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"
#include "receipts/json_adapter.hpp"
#include "storage/filesystem_store.hpp"

namespace tessary::native {

namespace {

using python::Ref;
using StoreHandle = std::shared_ptr<storage::FilesystemStore>;

struct StoreObject {
  PyObject_HEAD
  StoreHandle* store;  // owned; null only for an object not made by Store()
};

struct CursorObject {
  PyObject_HEAD
  storage::ReceiptCursor* cursor;  // owned; null only for an object not made by Store.cursor
};

PyTypeObject* g_cursor_type = nullptr;  // owned by the module, kept for the process

PyObject* raise_store_failure(const char* prefix, const storage::StoreFailure& failure) {
  if (std::holds_alternative<storage::StoreInterrupted>(failure)) return nullptr;  // the handler's exception
  if (const auto* error = std::get_if<storage::StorageError>(&failure)) {
    return raise_error(Area::Store, std::string(prefix) + error->to_string());
  }
  return python::raise_panic(storage::to_string(failure));
}

template <typename Object, typename Field>
Field* native_of(PyObject* self, Field* Object::*field, const char* type) {
  Field* value = reinterpret_cast<Object*>(self)->*field;
  if (value == nullptr) raise_error(Area::Store, std::string(type) + " is not initialised");
  return value;
}

// The receipts' compact JSON texts; a receipt the adapter cannot write fails
// as storing it would have.
std::expected<std::vector<std::string>, storage::StoreFailure> json_texts(
    const std::vector<receipts::Receipt>& found) {
  std::vector<std::string> texts;
  texts.reserve(found.size());
  for (const receipts::Receipt& receipt : found) {
    auto text = receipts::receipt_to_json(receipt);
    if (!text) {
      return std::unexpected(storage::StorageError{storage::StorageError::Kind::Serialization,
                                                   "JSON serialization failed: " + text.error().to_string()});
    }
    texts.push_back(std::move(*text));
  }
  return texts;
}

Ref str_list(const std::vector<std::string>& texts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    Ref item = python::new_str(texts[i]);
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

// The package's stores are durable unless asked not to be, and clear away
// what killed writers left; _tessary.Client's keep their old behaviour.
std::optional<storage::StoreOptions> store_options(PyObject* durable, PyObject* create) {
  storage::StoreOptions options;
  options.remove_leftovers = true;
  options.durability = storage::Durability::Flushed;
  if (create != nullptr) {
    if (!PyBool_Check(create)) {
      python::raise_wrong_type("create", create, "bool");
      return std::nullopt;
    }
    options.create_at_open = create == Py_True;
  }
  if (durable == nullptr) return options;
  if (!PyBool_Check(durable)) {
    python::raise_wrong_type("durable", durable, "bool");
    return std::nullopt;
  }
  if (durable == Py_False) options.durability = storage::Durability::Cached;
  return options;
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Ref slots[3];
  if (!python::bind_arguments({"Store", {"path", "durable", "create"}, 1}, args, kwargs, slots)) return nullptr;
  auto path = python::to_string(slots[0].get(), "path");
  if (!path) return nullptr;
  auto options = store_options(slots[1].get(), slots[2].get());
  if (!options) return nullptr;
  std::expected<StoreHandle, storage::StorageError> store;
  {
    const WithoutGil released;
    store = storage::FilesystemStore::open(std::move(*path), *options);
  }
  if (!store) return raise_error(Area::Store, "Failed to create filesystem store: " + store.error().to_string());
  auto handle = std::make_unique<StoreHandle>(std::move(*store));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<StoreObject*>(self)->store = handle.release();
  return self;
}

PyObject* store_guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return store_new(type, args, kwargs);
  } catch (...) {
    return python::raise_current_exception();
  }
}

void store_dealloc(PyObject* self) {
  delete reinterpret_cast<StoreObject*>(self)->store;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

std::optional<std::vector<std::string>> text_list(PyObject* value, const char* name) {
  if (!PyList_Check(value)) {
    python::raise_wrong_type(name, value, "list");
    return std::nullopt;
  }
  // Items are read one at a time and owned while read: converting never runs
  // Python code, but the list is not ours and is read by index afresh.
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
    Ref item = Ref::borrow(PyList_GetItem(value, i));
    if (!item) return std::nullopt;
    auto text = python::to_string(item.get(), name);
    if (!text) return std::nullopt;
    texts.push_back(std::move(*text));
  }
  return texts;
}

PyObject* store_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"Store.store_many", {"texts"}, 1}, args, kwargs, slots)) return nullptr;
  StoreHandle* store = native_of(self, &StoreObject::store, "Store");
  if (store == nullptr) return nullptr;
  auto texts = text_list(slots[0].get(), "texts");
  if (!texts) return nullptr;
  // Every text is parsed before any is stored, so a bad one stores nothing.
  std::vector<receipts::Receipt> parsed;
  std::optional<receipts::AdapterError> parse_error;
  std::expected<void, storage::StoreFailure> stored;
  {
    const WithoutGil released;
    parsed.reserve(texts->size());
    for (const std::string& text : *texts) {
      auto receipt = receipts::receipt_from_json(text);
      if (!receipt) {
        parse_error = std::move(receipt.error());
        break;
      }
      parsed.push_back(std::move(*receipt));
    }
    if (!parse_error) stored = (*store)->store_receipts(parsed);
  }
  if (parse_error) return raise_error(Area::Store, "Failed to create receipt from JSON: " + parse_error->to_string());
  if (!stored) return raise_store_failure("Failed to store receipt: ", stored.error());
  Py_RETURN_NONE;
}

// A filter's text as bytes to compare with the stored ones. Lone surrogates
// (a command line's text that is not UTF-8) are kept as their own bytes,
// which no stored receipt holds: the filter matches nothing, as exact text.
std::optional<std::optional<std::string>> optional_text(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::optional<std::string>{};
  if (!PyUnicode_Check(value)) {
    python::raise_wrong_type(name, value, "PyString");  // to_string's own refusal
    return std::nullopt;
  }
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
  return std::optional<std::string>(std::string(data, static_cast<std::size_t>(size)));
}

std::optional<std::optional<std::int64_t>> optional_seconds(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::optional<std::int64_t>{};
  if (!PyLong_Check(value)) {
    python::raise_wrong_type(name, value, "int");
    return std::nullopt;
  }
  const long long seconds = PyLong_AsLongLong(value);
  if (seconds == -1 && PyErr_Occurred()) {
    python::reword_type_error(name);
    return std::nullopt;
  }
  return std::optional<std::int64_t>(seconds);
}

// A list the caller hands in to collect skipped entries: nullopt (with a
// TypeError set) for anything else but None or nothing, which leaves the
// store's old way (warn or fail) in place.
std::optional<PyObject*> skipped_list(PyObject* value) {
  if (value == nullptr || value == Py_None) return static_cast<PyObject*>(nullptr);
  if (!PyList_Check(value)) {
    python::raise_wrong_type("skipped", value, "list");
    return std::nullopt;
  }
  return value;
}

// Appends (name, reason) for each entry; a name that is not UTF-8 is decoded
// as the file system's names are (surrogateescape), so it round-trips to bytes.
bool append_skipped(PyObject* list, const storage::SkippedEntries& entries) {
  for (const storage::SkippedEntry& entry : entries) {
    Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(entry.name.data(), static_cast<Py_ssize_t>(entry.name.size())));
    if (!name) return false;
    Ref reason = python::new_str(entry.reason);
    if (!reason) return false;
    Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), reason.get()));
    if (!pair || PyList_Append(list, pair.get()) < 0) return false;
  }
  return true;
}

// The filters, in the order query and cursor take them, and (when `skipped`
// is given) the list argument that follows them. Nullopt with an exception set.
std::optional<storage::ReceiptQuery> query_arguments(const char* function, PyObject* args, PyObject* kwargs,
                                                     Ref* skipped = nullptr) {
  Ref slots[9];
  const bool with_skipped = skipped != nullptr;
  // Each list is declared whole: an initializer list's items live only as
  // long as the declaration that made it.
  const python::Parameters filters{
      function, {"workload", "trace", "policy", "change_epoch", "pac", "start", "end", "limit"}, 0};
  const python::Parameters filters_and_skipped{
      function, {"workload", "trace", "policy", "change_epoch", "pac", "start", "end", "limit", "skipped"}, 0};
  const python::Parameters& params = with_skipped ? filters_and_skipped : filters;
  if (!python::bind_arguments(params, args, kwargs, slots)) return std::nullopt;
  if (with_skipped) *skipped = std::move(slots[8]);
  storage::ReceiptQuery query;
  std::optional<std::string>* texts[] = {&query.workload_id, &query.trace_id, &query.policy_ref, &query.change_epoch};
  const char* text_names[] = {"workload", "trace", "policy", "change_epoch"};
  for (int i = 0; i < 4; ++i) {
    auto text = optional_text(slots[i].get(), text_names[i]);
    if (!text) return std::nullopt;
    *texts[i] = std::move(*text);
  }
  if (PyObject* pac = slots[4].get(); pac != nullptr && pac != Py_None) {
    if (!PyBytes_Check(pac) || PyBytes_Size(pac) != 32) {
      python::raise_argument_error("pac", "expected bytes of length 32");
      return std::nullopt;
    }
    receipts::Digest32 digest;
    std::memcpy(digest.data(), PyBytes_AsString(pac), digest.size());
    query.pac = digest;
  }
  auto start = optional_seconds(slots[5].get(), "start");
  if (!start) return std::nullopt;
  auto end = optional_seconds(slots[6].get(), "end");
  if (!end) return std::nullopt;
  query.start_time = *start;
  query.end_time = *end;
  if (PyObject* limit = slots[7].get(); limit != nullptr && limit != Py_None) {
    auto n = python::to_u64(limit, "limit");
    if (!n) return std::nullopt;
    query.limit = static_cast<std::size_t>(*n);
  }
  return query;
}

PyObject* query(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref skipped_arg;
  auto filters = query_arguments("Store.query", args, kwargs, &skipped_arg);
  if (!filters) return nullptr;
  auto skipped = skipped_list(skipped_arg.get());
  if (!skipped) return nullptr;
  StoreHandle* store = native_of(self, &StoreObject::store, "Store");
  if (store == nullptr) return nullptr;
  std::expected<std::vector<std::string>, storage::StoreFailure> texts;
  storage::SkippedEntries passed_over;
  {
    const WithoutGil released;
    auto found = (*store)->query_receipts(std::move(*filters), *skipped ? &passed_over : nullptr);
    texts = found ? json_texts(*found) : std::unexpected(std::move(found.error()));
  }
  if (!texts) return raise_store_failure("Failed to query receipts: ", texts.error());
  if (*skipped && !append_skipped(*skipped, passed_over)) return nullptr;
  return str_list(*texts).release();
}

PyObject* cursor(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto filters = query_arguments("Store.cursor", args, kwargs);
  if (!filters) return nullptr;
  StoreHandle* store = native_of(self, &StoreObject::store, "Store");
  if (store == nullptr) return nullptr;
  std::optional<std::expected<storage::ReceiptCursor, storage::StoreFailure>> opened;
  {
    const WithoutGil released;
    opened.emplace(storage::FilesystemStore::open_cursor(*store, std::move(*filters)));
  }
  if (!*opened) return raise_store_failure("Failed to query receipts: ", opened->error());
  auto owned = std::make_unique<storage::ReceiptCursor>(std::move(**opened));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_cursor_type, Py_tp_alloc));
  PyObject* object = alloc(g_cursor_type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<CursorObject*>(object)->cursor = owned.release();
  return object;
}

PyObject* cursor_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'tessary._native.Cursor' instances; use Store.cursor()");
  return nullptr;
}

void cursor_dealloc(PyObject* self) {
  delete reinterpret_cast<CursorObject*>(self)->cursor;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* next_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!python::bind_arguments({"Cursor.next_batch", {"n", "skipped"}, 1}, args, kwargs, slots)) return nullptr;
  storage::ReceiptCursor* scan = native_of(self, &CursorObject::cursor, "Cursor");
  if (scan == nullptr) return nullptr;
  auto n = python::to_u64(slots[0].get(), "n");
  if (!n) return nullptr;
  auto skipped = skipped_list(slots[1].get());
  if (!skipped) return nullptr;
  std::expected<std::vector<std::string>, storage::StoreFailure> texts;
  storage::SkippedEntries passed_over;
  {
    const WithoutGil released;
    auto found = scan->next_batch(static_cast<std::size_t>(*n), *skipped ? &passed_over : nullptr);
    texts = found ? json_texts(*found) : std::unexpected(std::move(found.error()));
  }
  if (!texts) return raise_store_failure("Failed to query receipts: ", texts.error());
  if (*skipped && !append_skipped(*skipped, passed_over)) return nullptr;
  return str_list(*texts).release();
}

#define TESSARY_FILTERS "workload=None, trace=None, policy=None, change_epoch=None, pac=None, start=None, end=None, limit=None"

constexpr const char* kStoreDoc =
    "Store(path, durable=True, create=True)\n--\n\n"
    "Receipts kept as JSON files under <path>/receipts. Every operation runs\n"
    "with the interpreter lock released. A durable store returns from a store\n"
    "only once the receipts and their directory entries are on the disk.\n"
    "create=False leaves the directory to be made by the first store_many.";

PyMethodDef kStoreMethods[] = {
    keyword_entry<store_many>("store_many",
                              "store_many($self, texts)\n--\n\n"
                              "Parse every receipt JSON text of the list, then store them all."),
    keyword_entry<query>("query", "query($self, " TESSARY_FILTERS ", skipped=None)\n--\n\n"
                                  "The compact JSON texts of the matching receipts, in listing order.\n"
                                  "With a list as skipped, each .json entry that holds no receipt is\n"
                                  "appended to it as (name, reason) instead of failing or warning."),
    keyword_entry<cursor>("cursor", "cursor($self, " TESSARY_FILTERS ")\n--\n\n"
                                    "A Cursor over the same matches as query, read a batch at a time."),
    kTableEnd,
};

PyMethodDef kCursorMethods[] = {
    keyword_entry<next_batch>("next_batch", "next_batch($self, n, skipped=None)\n--\n\n"
                                            "The JSON texts of the next at most n matches; [] at the end.\n"
                                            "skipped collects passed-over entries, as Store.query's does."),
    kTableEnd,
};

#undef TESSARY_FILTERS

PyType_Slot kStoreSlots[] = {
    {Py_tp_doc, const_cast<char*>(kStoreDoc)},
    {Py_tp_new, reinterpret_cast<void*>(store_guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, kStoreMethods},
    {0, nullptr},
};

PyType_Slot kCursorSlots[] = {
    {Py_tp_doc, const_cast<char*>("A scan of a Store handing out its matches in batches.")},
    {Py_tp_new, reinterpret_cast<void*>(cursor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_methods, kCursorMethods},
    {0, nullptr},
};

PyType_Spec kStoreSpec = {"tessary._native.Store", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT, kStoreSlots};
PyType_Spec kCursorSpec = {"tessary._native.Cursor", sizeof(CursorObject), 0, Py_TPFLAGS_DEFAULT, kCursorSlots};

}  // namespace

bool add_store_types(PyObject* module) {
  kStoreSpec.flags |= python::immutable_type_flag();
  kCursorSpec.flags |= python::immutable_type_flag();
  Ref store = Ref::steal(PyType_FromSpec(&kStoreSpec));
  if (!store || !python::add_object(module, store.get())) return false;
  Ref cursor_type = Ref::steal(PyType_FromSpec(&kCursorSpec));
  if (!cursor_type || !python::add_object(module, cursor_type.get())) return false;
  g_cursor_type = reinterpret_cast<PyTypeObject*>(cursor_type.release());  // one reference kept for the process
  return true;
}

}  // namespace tessary::native
