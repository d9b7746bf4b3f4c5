#include "native/error_kinds.hpp"

#include <array>
#include <cstddef>

#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tessary::native {

namespace {

using python::Ref;

constexpr std::size_t kAreas = 4;
constexpr const char* kKeywords[kAreas] = {"receipt", "shape", "store", "signature"};

// Strong references kept for the life of the process; null until use_errors.
std::array<PyObject*, kAreas> g_classes{};

// Only ValueError subclasses: code that caught the helper's ValueError must keep catching.
bool check_class(PyObject* value, const char* name) {
  if (PyType_Check(value)) {
    const int is_sub = PyObject_IsSubclass(value, PyExc_ValueError);
    if (is_sub < 0) return false;
    if (is_sub == 1) return true;
  }
  python::raise_argument_error(name, "expected a subclass of ValueError");
  return false;
}

PyObject* use_errors(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[kAreas];
  if (!python::bind_arguments({"use_errors", {kKeywords[0], kKeywords[1], kKeywords[2], kKeywords[3]}, kAreas}, args,
                              kwargs, slots)) {
    return nullptr;
  }
  for (std::size_t i = 0; i < kAreas; ++i) {
    if (!check_class(slots[i].get(), kKeywords[i])) return nullptr;
  }
  for (std::size_t i = 0; i < kAreas; ++i) {
    PyObject* previous = g_classes[i];
    g_classes[i] = slots[i].get();
    Py_INCREF(g_classes[i]);
    Py_XDECREF(previous);
  }
  Py_RETURN_NONE;
}

constexpr const char* kUseErrorsDoc =
    "use_errors(receipt, shape, store, signature)\n--\n\n"
    "Raise these classes (each a subclass of ValueError) for the failures of\n"
    "receipt_rows, of data shapes, of the store and of keys and signatures,\n"
    "instead of ValueError. TypeError, MemoryError and a signal handler's\n"
    "exception are raised as they are.";

}  // namespace

PyObject* raise_error(Area area, std::string_view text) {
  PyObject* type = g_classes[static_cast<std::size_t>(area)];
  if (type == nullptr) return python::raise_value_error(text);
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

PyMethodDef kErrorFunctions[] = {
    keyword_entry<use_errors>("use_errors", kUseErrorsDoc),
    kTableEnd,
};

}  // namespace tessary::native
