#include "python/errors.hpp"

#include "python/py_ref.hpp"

#include <exception>
#include <new>
#include <string>

namespace tessary::python {

namespace {

constexpr const char* kPanicDoc =
    "Raised when an internal invariant of the native module is broken.\n\n"
    "Like SystemExit, it derives from BaseException so that ordinary\n"
    "`except Exception` handlers do not hide the fault.";

PyObject* panic_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

void set_str_error(PyObject* type, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace

PyObject* raise_value_error(std::string_view text) {
  set_str_error(PyExc_ValueError, text);
  return nullptr;
}

PyObject* api_error_to_python(const engine::ApiError& error) {
  std::string text;
  switch (error.kind) {
    case engine::ApiError::Kind::Serialization: text = "SerializationError: "; break;
    case engine::ApiError::Kind::Hash: text = "HashError: "; break;
    case engine::ApiError::Kind::Validation: text = "ValidationError: "; break;
  }
  text += error.message;
  return raise_value_error(text);
}

PyObject* raise_panic(std::string_view text) {
  PyObject* type = panic_type();
  if (type != nullptr) set_str_error(type, text);
  return nullptr;
}

PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    try {
      raise_panic(e.what());
    } catch (...) {
      PyErr_NoMemory();
    }
  } catch (...) {
    raise_panic("internal fault: unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tessary::python
