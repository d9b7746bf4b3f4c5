#pragma once
// How failures leave the module: engine errors as ValueError with a kind
// prefix, a broken invariant as pyo3_runtime.PanicException (a BaseException,
// so `except Exception` does not swallow it), allocation failure as MemoryError.
#include "engine/api_error.hpp"
#include "python/python.hpp"

#include <string_view>

namespace tessary::python {

// Sets ValueError(text). Always returns null, for `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view text);

// Sets the ValueError of an engine error: "SerializationError: ", "HashError: "
// or "ValidationError: " followed by the engine's message.
PyObject* api_error_to_python(const engine::ApiError& error);

// Sets pyo3_runtime.PanicException(text); the class is made on first use.
PyObject* raise_panic(std::string_view text);

// Turns the C++ exception being handled into the matching Python exception.
// Call only from inside a catch block.
PyObject* raise_current_exception() noexcept;

using Entry = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

// Wraps an entry point so that no C++ exception ever crosses into the interpreter.
template <Entry F>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(self, args, kwargs);
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace tessary::python
