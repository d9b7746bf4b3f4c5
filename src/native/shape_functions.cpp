#include "native/shape_functions.hpp"

#include <cerrno>
#include <string>

#include "engine/data_shape_file.hpp"
#include "engine/threaded_shape.hpp"
#include "native/buffer_view.hpp"
#include "native/gil.hpp"
#include "native/shape_values.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tessary::native {

namespace {

using python::Ref;

PyObject* shape_of_buffer(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[5];
  if (!python::bind_arguments({"shape_of_buffer", {"data", "kind", "size", "keep_chunks", "threads"}, 4}, args, kwargs, slots)) {
    return nullptr;
  }
  BufferView buffer;
  if (!buffer.open(slots[0].get(), "data")) return nullptr;
  auto scheme = scheme_arguments(slots[1].get(), slots[2].get());
  if (!scheme) return nullptr;
  auto keep = flag_argument(slots[3].get(), "keep_chunks");
  if (!keep) return nullptr;
  auto threads = threads_argument(slots[4].get());
  if (!threads) return nullptr;
  std::expected<engine::DataShape, engine::DataShapeError> shape;
  {
    const WithoutGil released;
    shape = engine::compute_threaded_shape_from_bytes(buffer.bytes(), *scheme, *keep, *threads);
  }
  if (!shape) return raise_shape_error(shape.error());
  // A signal that came while the lock was away is handled inside this call.
  if (PyErr_CheckSignals() != 0) return nullptr;
  return shape_tuple(*shape, *keep).release();
}

// A failure of open or read becomes the OSError subclass of its errno
// (FileNotFoundError, PermissionError, ...), naming the file as given.
PyObject* raise_file_error(const engine::DataShapeError& error, PyObject* path) {
  if (error.os_errno == 0) return raise_shape_error(error);
  errno = error.os_errno;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

PyObject* shape_of_file(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[5];
  if (!python::bind_arguments({"shape_of_file", {"path", "kind", "size", "keep_chunks", "threads"}, 4}, args, kwargs, slots)) {
    return nullptr;
  }
  if (!PyBytes_Check(slots[0].get())) {
    python::raise_wrong_type("path", slots[0].get(), "bytes");
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(slots[0].get(), &data, &length) < 0) return nullptr;
  const std::string path(data, static_cast<std::size_t>(length));
  auto scheme = scheme_arguments(slots[1].get(), slots[2].get());
  if (!scheme) return nullptr;
  auto keep = flag_argument(slots[3].get(), "keep_chunks");
  if (!keep) return nullptr;
  auto threads = threads_argument(slots[4].get());
  if (!threads) return nullptr;
  std::expected<engine::DataShape, engine::DataShapeError> shape;
  {
    const WithoutGil released;
    shape = engine::compute_threaded_shape_from_file(path, *scheme, *keep, *threads);
  }
  if (!shape) return raise_file_error(shape.error(), slots[0].get());
  if (PyErr_CheckSignals() != 0) return nullptr;
  return shape_tuple(*shape, *keep).release();
}

constexpr const char* kBufferDoc =
    "shape_of_buffer(data, kind, size, keep_chunks, threads=1)\n--\n\n"
    "The data shape of a C-contiguous buffer, hashed with the interpreter lock\n"
    "released on `threads` threads: (hash, total_size, chunks or None). The\n"
    "buffer is held for the whole call, so its owner cannot resize it.";

constexpr const char* kFileDoc =
    "shape_of_file(path, kind, size, keep_chunks, threads=1)\n--\n\n"
    "The data shape of a file (path as bytes), read as a stream with the\n"
    "interpreter lock released on `threads` threads: (hash, total_size, chunks or None). OSError\n"
    "when the file cannot be opened or read.";

}  // namespace

PyMethodDef kShapeFunctions[] = {
    keyword_entry<shape_of_buffer>("shape_of_buffer", kBufferDoc),
    keyword_entry<shape_of_file>("shape_of_file", kFileDoc),
    kTableEnd,
};

}  // namespace tessary::native
