#include "native/receipt_rows.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/uuid.hpp"
#include "native/gil.hpp"
#include "native/error_kinds.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/receipt_kind.hpp"
#include "storage/receipt_query.hpp"
#include "storage/storage_error.hpp"

namespace tessary::native {

namespace {

using python::Ref;

// One receipt's row, every view pointing into `receipt` or `body`.
struct Row {
  receipts::Receipt receipt;
  std::string body;
  std::string rid;
  storage::FilterFields fields;
  std::optional<std::int64_t> seconds;
};

Ref optional_str(const std::optional<std::string_view>& text) {
  if (!text) return Ref::borrow(Py_None);
  return python::new_str(*text);
}

Ref row_tuple(const Row& row) {
  const auto& f = row.fields;
  Ref items[] = {
      python::new_str(row.body),
      python::new_str(row.rid),
      python::new_str(receipts::wire_string(row.receipt.kind)),
      python::new_str(row.receipt.hash),
      optional_str(f.workload_id),
      optional_str(f.trace_id),
      optional_str(f.policy_ref),
      optional_str(f.change_epoch),
      f.pac ? Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.pac->data()),
                                                   static_cast<Py_ssize_t>(f.pac->size())))
            : Ref::borrow(Py_None),
      row.seconds ? Ref::steal(PyLong_FromLongLong(*row.seconds)) : Ref::borrow(Py_None),
  };
  constexpr Py_ssize_t count = sizeof(items) / sizeof(items[0]);
  Ref tuple = Ref::steal(PyTuple_New(count));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!items[i]) return {};
    PyTuple_SetItem(tuple.get(), i, items[i].release());  // steals
  }
  return tuple;
}

PyObject* receipt_rows(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"receipt_rows", {"texts"}, 1}, args, kwargs, slots)) return nullptr;
  auto texts = python::to_string_list(slots[0].get(), "texts");
  if (!texts) return nullptr;
  // Every text is read and written back before any row is handed out, so a
  // bad one fails the whole list, with the directory store's own messages.
  std::vector<Row> rows;
  std::optional<std::string> failure;
  {
    const WithoutGil released;
    rows.reserve(texts->size());
    for (const std::string& text : *texts) {
      auto receipt = receipts::receipt_from_json(text);
      if (!receipt) {
        failure = "Failed to create receipt from JSON: " + receipt.error().to_string();
        break;
      }
      auto body = receipts::receipt_to_json(*receipt);
      if (!body) {
        const storage::StorageError error{storage::StorageError::Kind::Serialization,
                                          "JSON serialization failed: " + body.error().to_string()};
        failure = "Failed to store receipt: " + error.to_string();
        break;
      }
      Row& row = rows.emplace_back();
      row.receipt = std::move(*receipt);
      row.body = std::move(*body);
      row.rid = formats::uuid::format(row.receipt.rid);
      row.fields = storage::filter_fields(row.receipt);
      row.seconds = storage::timestamp_seconds(row.receipt);
    }
  }
  if (failure) return raise_error(Area::Receipt, *failure);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Ref tuple = row_tuple(rows[i]);
    if (!tuple) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());  // steals
  }
  return list.release();
}

constexpr const char* kRowsDoc =
    "receipt_rows(texts)\n--\n\n"
    "For each receipt JSON text of the list: (body, rid, kind, hash, workload,\n"
    "trace, policy, change_epoch, pac, ts), body being the text a directory\n"
    "store writes and ts the timestamp's whole UTC seconds (None when it does\n"
    "not parse). ValueError, and no rows, when any text is not a receipt.";

}  // namespace

PyMethodDef kReceiptRowFunctions[] = {
    keyword_entry<receipt_rows>("receipt_rows", kRowsDoc),
    kTableEnd,
};

}  // namespace tessary::native
