#include "python/work_calls.hpp"

#include "engine/work_api.hpp"
#include "formats/json_reader.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/json_bridge.hpp"
#include "python/receipt_object.hpp"

namespace tessary::python {

namespace {

std::optional<std::optional<std::string>> optional_string(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::optional<std::string>{};
  auto text = to_string(value, name);
  if (!text) return std::nullopt;
  return std::optional<std::string>(std::move(*text));
}

}  // namespace

PyObject* record_work_call(const char* function, PyObject* args, PyObject* kwargs) {
  Ref slots[5];
  if (!bind_arguments({function, {"workload_id", "payload", "tags", "trace_id", "parent_id"}, 2}, args, kwargs, slots)) {
    return nullptr;
  }
  auto workload_id = to_string(slots[0].get(), "workload_id");
  if (!workload_id) return nullptr;
  if (!check_dict(slots[1].get(), "payload")) return nullptr;
  std::vector<std::string> tags;
  if (slots[2].get() != nullptr && slots[2].get() != Py_None) {
    auto list = to_string_list(slots[2].get(), "tags");
    if (!list) return nullptr;
    tags = std::move(*list);
  }
  auto trace_id = optional_string(slots[3].get(), "trace_id");
  if (!trace_id) return nullptr;
  auto parent_id = optional_string(slots[4].get(), "parent_id");
  if (!parent_id) return nullptr;

  auto text = json_dumps(slots[1].get());
  if (!text) return nullptr;
  auto payload = formats::json::parse(*text);
  if (!payload) return raise_value_error("Failed to parse payload JSON: " + payload.error().to_string());

  auto receipt = engine::record_work(*workload_id, *payload, tags, *trace_id, *parent_id);
  if (!receipt) return api_error_to_python(receipt.error());
  return wrap_receipt(std::move(*receipt));
}

PyObject* verify_receipt_call(const char* function, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!bind_arguments({function, {"receipt"}, 1}, args, kwargs, slots)) return nullptr;
  const receipts::Receipt* receipt = unwrap_receipt(slots[0].get(), "receipt");
  if (receipt == nullptr) return nullptr;
  auto verified = engine::verify_receipt(*receipt);
  if (!verified) return api_error_to_python(verified.error());
  return PyBool_FromLong(*verified ? 1 : 0);
}

}  // namespace tessary::python
