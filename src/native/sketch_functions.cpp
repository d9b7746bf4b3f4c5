#include "native/sketch_functions.hpp"

#include <cstdint>
#include <expected>
#include <vector>

#include "engine/minhash.hpp"
#include "native/buffer_view.hpp"
#include "native/error_kinds.hpp"
#include "native/gil.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tessary::native {

namespace {

using python::Ref;

PyObject* minhash(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!python::bind_arguments({"minhash", {"digests", "k"}, 2}, args, kwargs, slots)) return nullptr;
  BufferView buffer;
  if (!buffer.open(slots[0].get(), "digests")) return nullptr;
  auto k = python::to_u64(slots[1].get(), "k");
  if (!k) return nullptr;
  std::expected<std::vector<std::uint64_t>, engine::MinHashError> values;
  {
    const WithoutGil released;
    values = engine::minhash_signature(buffer.bytes(), static_cast<std::size_t>(*k));
  }
  if (!values) {
    if (values.error().kind == engine::MinHashErrorKind::Interrupted) return nullptr;
    return raise_error(Area::Shape, values.error().to_string());
  }
  if (PyErr_CheckSignals() != 0) return nullptr;
  const std::vector<std::uint8_t> bytes = engine::minhash_bytes(*values);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

constexpr const char* kMinHashDoc =
    "minhash(digests, k)\n--\n\n"
    "The k-value MinHash signature of a set of chunk digests, given back to\n"
    "back (32 bytes each) in any buffer: k values of 8 bytes, big-endian.\n"
    "Computed with the interpreter lock released.";

}  // namespace

PyMethodDef kSketchFunctions[] = {
    {"minhash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(python::guarded<minhash>)),
     METH_VARARGS | METH_KEYWORDS, kMinHashDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessary::native
