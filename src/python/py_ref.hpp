#pragma once
// An owned Python reference. The only way binding code holds objects, so every
// early return, error path and C++ exception releases what it took.
#include "python/python.hpp"

#include <utility>

namespace tessary::python {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes ownership of a new reference (may be null, e.g. after a failed call).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (e.g. as a function's return value).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tessary::python
