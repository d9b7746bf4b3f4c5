#include "native/buffer_view.hpp"

#include "python/arguments.hpp"

// In the stable ABI since 3.2, though newer headers mark it deprecated or
// leave it out. Called only on our own memoryview, whose export outlives the
// pointer, which is exactly the lifetime the old call cannot promise alone.
extern "C" int PyObject_AsReadBuffer(PyObject* obj, const void** buffer, Py_ssize_t* buffer_len);

namespace tessary::native {

bool BufferView::open(PyObject* object, const char* argument) {
  view_ = python::Ref::steal(PyMemoryView_FromObject(object));
  if (!view_) {
    python::reword_type_error(argument);
    return false;
  }
  const void* data = nullptr;
  Py_ssize_t length = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const int status = PyObject_AsReadBuffer(view_.get(), &data, &length);
#pragma GCC diagnostic pop
  if (status != 0) return false;
  bytes_ = std::span(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
  return true;
}

}  // namespace tessary::native
