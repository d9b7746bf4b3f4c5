#pragma once
// The bytes of any object that exports a contiguous buffer, held for as long
// as the view lives.
//
// The 3.8 stable ABI has no PyObject_GetBuffer, so the export is held by a
// private memoryview: while it lives, a bytearray cannot be resized and an
// mmap cannot be closed (both raise BufferError), so the pointer stays good
// even with the interpreter lock released.
#include <cstdint>
#include <span>

#include "python/py_ref.hpp"

namespace tessary::native {

class BufferView {
 public:
  // False with an exception set: TypeError for an object without a buffer,
  // BufferError for one that is not C-contiguous.
  bool open(PyObject* object, const char* argument);

  std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

 private:
  python::Ref view_;
  std::span<const std::uint8_t> bytes_;
};

}  // namespace tessary::native
