#include "native/shape_values.hpp"

#include <algorithm>

#include "native/error_kinds.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tessary::native {

using python::Ref;

std::optional<engine::ChunkScheme> scheme_arguments(PyObject* kind, PyObject* size) {
  auto kind_value = python::to_u64(kind, "kind");
  if (!kind_value) return std::nullopt;
  if (*kind_value > 1) {
    raise_error(Area::Shape, "kind must be 0 (content-defined) or 1 (fixed)");
    return std::nullopt;
  }
  auto size_value = python::to_u64(size, "size");
  if (!size_value) return std::nullopt;
  return *kind_value == 0 ? engine::ChunkScheme::cdc(*size_value) : engine::ChunkScheme::fixed(*size_value);
}

std::optional<bool> flag_argument(PyObject* value, const char* name) {
  if (!PyBool_Check(value)) {
    python::raise_wrong_type(name, value, "bool");
    return std::nullopt;
  }
  return value == Py_True;
}

std::optional<unsigned> threads_argument(PyObject* value) {
  constexpr std::uint64_t kMaxThreads = 256;
  if (value == nullptr) return 1u;
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    python::raise_wrong_type("threads", value, "int");
    return std::nullopt;
  }
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    if (PyObject_RichCompareBool(value, Ref::steal(PyLong_FromLong(0)).get(), Py_GT) == 1) return unsigned{kMaxThreads};
  }
  if (n < 1) {
    raise_error(Area::Shape, "threads must be at least 1");
    return std::nullopt;
  }
  return static_cast<unsigned>(std::min<long long>(n, kMaxThreads));
}

namespace {

Ref chunk_tuple(const engine::ChunkExtent& chunk) {
  Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(chunk.offset));
  Ref length = Ref::steal(PyLong_FromUnsignedLongLong(chunk.length));
  Ref digest = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.digest.data()),
                                                    static_cast<Py_ssize_t>(chunk.digest.size())));
  if (!offset || !length || !digest) return {};
  return Ref::steal(PyTuple_Pack(3, offset.get(), length.get(), digest.get()));
}

}  // namespace

Ref shape_tuple(const engine::DataShape& shape, bool keep_chunks) {
  Ref hash = python::new_str(shape.hash);
  Ref total = Ref::steal(PyLong_FromUnsignedLongLong(shape.total_size));
  if (!hash || !total) return {};
  Ref chunks = Ref::borrow(Py_None);
  if (keep_chunks) {
    chunks = Ref::steal(PyList_New(static_cast<Py_ssize_t>(shape.chunks.size())));
    if (!chunks) return {};
    for (std::size_t i = 0; i < shape.chunks.size(); ++i) {
      Ref item = chunk_tuple(shape.chunks[i]);
      if (!item) return {};
      PyList_SetItem(chunks.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
  }
  return Ref::steal(PyTuple_Pack(3, hash.get(), total.get(), chunks.get()));
}

PyObject* raise_shape_error(const engine::DataShapeError& error) {
  if (error.kind == engine::DataShapeError::Kind::Interrupted) return nullptr;
  return raise_error(Area::Shape, "Failed to compute data shape hash: " + error.to_string());
}

}  // namespace tessary::native
