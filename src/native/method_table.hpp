#pragma once
// Entries of the module's method tables, every one guarded so that no C++
// exception crosses into the interpreter.
#include "python/errors.hpp"
#include "python/python.hpp"

namespace tessary::native {

// A function or method called with positional and keyword arguments.
template <python::Entry F>
PyMethodDef keyword_entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(python::guarded<F>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

// What ends every table.
inline constexpr PyMethodDef kTableEnd = {nullptr, nullptr, 0, nullptr};

}  // namespace tessary::native
