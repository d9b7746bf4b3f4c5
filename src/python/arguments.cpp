#include "python/arguments.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace tessary::python {

namespace {

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c' -- the interpreter's own layout.
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::string attr_text(PyObject* obj, const char* attr) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return "?";
  }
  auto text = utf8_of(value.get());
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  return *text;
}

}  // namespace

bool bind_arguments(const Parameters& params, PyObject* args, PyObject* kwargs, Ref* slots) {
  const std::size_t count = params.names.size();
  const auto* names = params.names.begin();
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    std::string text = std::string(params.function) + "() takes ";
    if (params.required == count) {
      text += std::to_string(count) + (count == 1 ? " positional argument" : " positional arguments");
    } else {
      text += "from " + std::to_string(params.required) + " to " + std::to_string(count) + " positional arguments";
    }
    text += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(text);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    slots[i] = Ref::borrow(i < static_cast<std::size_t>(given) ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing below runs Python code that could change the dict (keys are
    // exact str compared by value), so iterating with borrowed entries is safe.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_type_error(std::string(params.function) + "() keywords must be strings");
        return false;
      }
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == count) {
        auto name = utf8_of(key);
        if (!name) return false;
        raise_type_error(std::string(params.function) + "() got an unexpected keyword argument '" + *name + "'");
        return false;
      }
      if (slots[index]) {
        raise_type_error(std::string(params.function) + "() got multiple values for argument '" + names[index] + "'");
        return false;
      }
      slots[index] = Ref::borrow(value);
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (!slots[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    raise_type_error(std::string(params.function) + "() missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
    return false;
  }
  return true;
}

void raise_argument_error(const char* name, std::string_view reason) {
  std::string text = "argument '";
  text += name;
  text += "': ";
  text += reason;
  raise_type_error(text);
}

void reword_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref cause = Ref::steal(value);
  Ref type_ref = Ref::steal(type);
  Ref tb_ref = Ref::steal(traceback);
  if (tb_ref) PyException_SetTraceback(cause.get(), tb_ref.get());
  Ref reason = Ref::steal(PyObject_Str(cause.get()));
  if (!reason) return;
  auto reason_text = utf8_of(reason.get());
  if (!reason_text) return;
  std::string text = std::string("argument '") + name + "': " + *reason_text;
  Ref message = new_str(text);
  if (!message) return;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, error.get());
}

std::string type_name(PyObject* obj) { return attr_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"); }

std::string full_type_name(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return attr_text(type, "__module__") + "." + attr_text(type, "__qualname__");
}

void raise_wrong_type(const char* name, PyObject* value, const char* expected) {
  raise_argument_error(name, "'" + type_name(value) + "' object cannot be converted to '" + expected + "'");
}

namespace {

using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. The module is built
// for 3.8, so it is looked up when running on an interpreter that has it.
AsUtf8AndSize direct_utf8() {
  static const AsUtf8AndSize fn = []() -> AsUtf8AndSize {
    if (runtime_minor_version() < 10) return nullptr;
    return reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }();
  return fn;
}

}  // namespace

int runtime_minor_version() {
  static const int minor = [] {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 || major != 3) return 0;
    return minor;
  }();
  return minor;
}

unsigned long immutable_type_flag() { return runtime_minor_version() >= 10 ? 1UL << 8 : 0; }

bool Utf8View::open(PyObject* str) {
  if (AsUtf8AndSize fn = direct_utf8()) {
    Py_ssize_t size = 0;
    const char* data = fn(str, &size);
    if (data == nullptr) return false;
    text_ = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  bytes_ = Ref::steal(PyUnicode_AsUTF8String(str));
  if (!bytes_) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes_.get(), &data, &size) < 0) return false;
  text_ = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

std::optional<std::string> utf8_of(PyObject* str) {
  Utf8View view;
  if (!view.open(str)) return std::nullopt;
  return std::string(view.text());
}

std::optional<std::string> to_string(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(name, value, "PyString");
    return std::nullopt;
  }
  return utf8_of(value);
}

std::optional<std::vector<std::string>> to_string_list(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    raise_argument_error(name, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(value)) {
    raise_wrong_type(name, value, "Sequence");
    return std::nullopt;
  }
  std::vector<std::string> out;
  const Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(hint));
  }
  Ref iter = Ref::steal(PyObject_GetIter(value));
  if (!iter) {
    reword_type_error(name);
    return std::nullopt;
  }
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raise_wrong_type(name, item.get(), "PyString");
      return std::nullopt;
    }
    auto text = utf8_of(item.get());
    if (!text) return std::nullopt;
    out.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) {
    reword_type_error(name);
    return std::nullopt;
  }
  return out;
}

std::optional<double> as_double(PyObject* value) {
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
  return d;
}

std::optional<std::uint64_t> as_u64(PyObject* value) {
  Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(n);
}

std::optional<double> to_double(PyObject* value, const char* name) {
  auto d = as_double(value);
  if (!d) reword_type_error(name);
  return d;
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* name) {
  auto n = as_u64(value);
  if (!n) reword_type_error(name);
  return n;
}

bool check_dict(PyObject* value, const char* name) {
  if (PyDict_Check(value)) return true;
  raise_wrong_type(name, value, "PyDict");
  return false;
}

Ref new_str(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace tessary::python
