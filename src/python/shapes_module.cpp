// The `shapes` submodule.
#include "python/shapes_module.hpp"

#include "engine/data_shape.hpp"
#include "engine/data_shape_file.hpp"
#include "engine/method_shape.hpp"
#include "formats/json_reader.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/json_bridge.hpp"
#include "python/module_builder.hpp"

#include <span>

namespace tessary::python {

namespace {

// The dict's value for `key` (new reference), or null: absent, or an
// exception of the lookup itself, which is left set.
Ref lookup(PyObject* dict, const char* key) {
  Ref key_obj = new_str(key);
  if (!key_obj) return {};
  return Ref::borrow(PyDict_GetItemWithError(dict, key_obj.get()));
}

// An unsigned 64-bit size under `key`, or nullopt: "Missing '<key>' field in chunk_scheme".
std::optional<std::uint64_t> size_entry(PyObject* dict, const char* key, bool& failed) {
  Ref value = lookup(dict, key);
  if (!value) {
    failed = PyErr_Occurred() != nullptr;
    return std::nullopt;
  }
  auto n = as_u64(value.get());
  if (!n) PyErr_Clear();
  return n;
}

// {"type": "cdc", "avg_size": n} or {"type": "fixed", "size": n}; other keys
// are ignored, a zero size is left for the engine to refuse.
std::optional<engine::ChunkScheme> dict_to_chunk_scheme(PyObject* dict) {
  Ref type = lookup(dict, "type");
  if (!type && PyErr_Occurred()) return std::nullopt;
  if (!type || !PyUnicode_Check(type.get())) {
    raise_value_error("Missing 'type' field in chunk_scheme");
    return std::nullopt;
  }
  auto type_text = utf8_of(type.get());
  if (!type_text) return std::nullopt;
  const bool cdc = *type_text == "cdc";
  if (!cdc && *type_text != "fixed") {
    raise_value_error("Invalid chunk_scheme type '" + *type_text + "', expected 'cdc' or 'fixed'");
    return std::nullopt;
  }
  const char* key = cdc ? "avg_size" : "size";
  bool failed = false;
  auto size = size_entry(dict, key, failed);
  if (failed) return std::nullopt;
  if (!size) {
    raise_value_error(std::string("Missing '") + key + "' field in chunk_scheme");
    return std::nullopt;
  }
  return cdc ? engine::ChunkScheme::cdc(*size) : engine::ChunkScheme::fixed(*size);
}

// None or omitted: no scheme (the engine's default). Outer nullopt: exception set.
std::optional<std::optional<engine::ChunkScheme>> scheme_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::optional<engine::ChunkScheme>{};
  if (!check_dict(value, "chunk_scheme")) return std::nullopt;
  auto scheme = dict_to_chunk_scheme(value);
  if (!scheme) return std::nullopt;
  return std::optional<engine::ChunkScheme>(*scheme);
}

PyObject* data_shape_result(const std::expected<std::string, engine::DataShapeError>& hash) {
  // The signal handler's exception is already set.
  if (!hash && hash.error().kind == engine::DataShapeError::Kind::Interrupted) return nullptr;
  if (!hash) return raise_value_error("Failed to compute data shape hash: " + hash.error().to_string());
  return new_str(*hash).release();
}

PyObject* method_shape_result(const std::expected<std::string, engine::MethodShapeError>& hash) {
  if (!hash) return raise_value_error("Failed to compute method shape hash: " + hash.error().to_string());
  return new_str(*hash).release();
}

PyObject* compute_data_shape_hash_from_file_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!bind_arguments({"compute_data_shape_hash_from_file_py", {"path", "chunk_scheme"}, 1}, args, kwargs, slots)) {
    return nullptr;
  }
  auto path = to_string(slots[0].get(), "path");
  if (!path) return nullptr;
  auto scheme = scheme_argument(slots[1].get());
  if (!scheme) return nullptr;
  return data_shape_result(engine::compute_data_shape_hash_from_file(*path, *scheme));
}

PyObject* compute_data_shape_hash_from_bytes_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!bind_arguments({"compute_data_shape_hash_from_bytes_py", {"data", "chunk_scheme"}, 1}, args, kwargs, slots)) {
    return nullptr;
  }
  if (!PyBytes_Check(slots[0].get())) {
    raise_wrong_type("data", slots[0].get(), "PyBytes");
    return nullptr;
  }
  auto scheme = scheme_argument(slots[1].get());
  if (!scheme) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(slots[0].get(), &data, &size) < 0) return nullptr;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return data_shape_result(engine::compute_data_shape_hash_from_bytes(bytes, *scheme));
}

PyObject* compute_method_shape_hash_from_code_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!bind_arguments({"compute_method_shape_hash_from_code_py", {"code_hash", "params"}, 1}, args, kwargs, slots)) {
    return nullptr;
  }
  auto code_hash = to_string(slots[0].get(), "code_hash");
  if (!code_hash) return nullptr;
  std::optional<formats::json::Value> params;
  if (slots[1].get() != nullptr && slots[1].get() != Py_None) {
    if (!check_dict(slots[1].get(), "params")) return nullptr;
    auto text = json_dumps(slots[1].get());
    if (!text) return nullptr;
    auto value = formats::json::parse(*text);
    if (!value) return raise_value_error("Failed to parse params JSON: " + value.error().to_string());
    params = std::move(*value);
  }
  return method_shape_result(engine::compute_method_shape_hash_from_code(*code_hash, std::move(params)));
}

PyObject* compute_method_shape_hash_from_signature_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[3];
  if (!bind_arguments({"compute_method_shape_hash_from_signature_py", {"function_name", "input_types", "output_type"}, 3},
                      args, kwargs, slots)) {
    return nullptr;
  }
  auto name = to_string(slots[0].get(), "function_name");
  if (!name) return nullptr;
  auto inputs = to_string_list(slots[1].get(), "input_types");
  if (!inputs) return nullptr;
  auto output = to_string(slots[2].get(), "output_type");
  if (!output) return nullptr;
  return method_shape_result(engine::compute_method_shape_hash_from_signature(*name, *inputs, *output));
}

#define TESSARY_SCHEME_DOC                                         \
  "    chunk_scheme: Optional chunking scheme, one of\n"           \
  "        {\"type\": \"cdc\", \"avg_size\": int}    content-defined chunks around avg_size bytes\n" \
  "        {\"type\": \"fixed\", \"size\": int}      fixed-size chunks of size bytes\n"           \
  "        Default: CDC with avg_size=65536\n\n"

constexpr const char* kFromFileDoc =
    "compute_data_shape_hash_from_file_py(path, chunk_scheme=None)\n--\n\n"
    "Compute data shape hash from a file.\n\n"
    "The file is read as a stream; the result equals that of the bytes function\n"
    "over the file's contents.\n\n"
    "Args:\n"
    "    path: Path of the file (str)\n" TESSARY_SCHEME_DOC
    "Returns:\n"
    "    Data shape hash in format \"sha256:<64 hex chars>\"\n\n"
    "Raises:\n"
    "    ValueError: If the scheme is invalid, the file cannot be read or chunking fails";

constexpr const char* kFromBytesDoc =
    "compute_data_shape_hash_from_bytes_py(data, chunk_scheme=None)\n--\n\n"
    "Compute data shape hash from bytes.\n\n"
    "Args:\n"
    "    data: The bytes to hash (bytes; bytearray and memoryview are not accepted)\n" TESSARY_SCHEME_DOC
    "Returns:\n"
    "    Data shape hash in format \"sha256:<64 hex chars>\"\n\n"
    "Raises:\n"
    "    ValueError: If the scheme is invalid or chunking fails";

#undef TESSARY_SCHEME_DOC

constexpr const char* kFromCodeDoc =
    "compute_method_shape_hash_from_code_py(code_hash, params=None)\n--\n\n"
    "Compute method shape hash from code hash and parameters.\n\n"
    "Args:\n"
    "    code_hash: SHA-256 of the method's code: 64 hex digits, optionally after \"sha256:\"\n"
    "    params: Optional parameters (dict, JSON-serialisable)\n\n"
    "Returns:\n"
    "    Method shape hash in format \"sha256:<64 hex chars>\"\n\n"
    "Raises:\n"
    "    ValueError: If the code hash is malformed or params are not valid JSON";

constexpr const char* kFromSignatureDoc =
    "compute_method_shape_hash_from_signature_py(function_name, input_types, output_type)\n--\n\n"
    "Compute method shape hash from function signature.\n\n"
    "Args:\n"
    "    function_name: Name of the function (non-empty)\n"
    "    input_types: Sequence of input type names, in order\n"
    "    output_type: Output type name\n\n"
    "Returns:\n"
    "    Method shape hash in format \"sha256:<64 hex chars>\"\n\n"
    "Raises:\n"
    "    ValueError: If the function name is empty";

#define TESSARY_FUNCTION(name, doc)                                                                  \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name>)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef kFunctions[] = {
    TESSARY_FUNCTION(compute_data_shape_hash_from_file_py, kFromFileDoc),
    TESSARY_FUNCTION(compute_data_shape_hash_from_bytes_py, kFromBytesDoc),
    TESSARY_FUNCTION(compute_method_shape_hash_from_code_py, kFromCodeDoc),
    TESSARY_FUNCTION(compute_method_shape_hash_from_signature_py, kFromSignatureDoc),
    {nullptr, nullptr, 0, nullptr},
};

#undef TESSARY_FUNCTION

PyModuleDef kShapesDef = {
    PyModuleDef_HEAD_INIT, "shapes", "Python bindings for shape operations", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

Ref create_shapes_module() {
  Ref module = Ref::steal(PyModule_Create(&kShapesDef));
  if (!module || !add_functions(module.get(), kFunctions)) return {};
  return module;
}

}  // namespace tessary::python
