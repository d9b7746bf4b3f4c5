#pragma once
// Argument binding and conversion for built-in functions, with the error
// texts Python users know: the interpreter's wording for missing, surplus,
// repeated and unknown arguments, and "argument 'x': ..." for values that
// cannot be converted.
#include "python/py_ref.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::python {

// A function's parameters: all positional-or-keyword, the first `required`
// of them without a default (defaults are None).
struct Parameters {
  const char* function;  // as named in messages, e.g. "decide_reuse_py" or "Client.record_work"
  std::initializer_list<const char*> names;
  std::size_t required;
};

// Binds args/kwargs to the parameters. Each slot owns its argument for the
// whole call: converting one argument can run Python code (__index__,
// __iter__, ...) that empties the caller's keywords dict, and a borrowed
// reference would then dangle. Slots of omitted optional parameters stay
// null. Returns false with a TypeError set.
bool bind_arguments(const Parameters& params, PyObject* args, PyObject* kwargs, Ref* slots);

// Raises TypeError "argument '<name>': <reason>".
void raise_argument_error(const char* name, std::string_view reason);
// If the pending exception is a TypeError, rewords it as an argument error
// naming the parameter; any other exception is left as it is.
void reword_type_error(const char* name);

// The qualified name of the object's type ("int", "str", "Outer.Inner").
std::string type_name(PyObject* obj);
// "<module>.<qualified name>" of the object's type ("builtins.str").
std::string full_type_name(PyObject* obj);

// Raises "argument '<name>': '<type>' object cannot be converted to '<expected>'".
void raise_wrong_type(const char* name, PyObject* value, const char* expected);

// UTF-8 text of a str. Exceptions of the encoding (lone surrogates) pass unchanged.
std::optional<std::string> utf8_of(PyObject* str);

// The UTF-8 text of a str without a copy where the interpreter allows it
// (3.10 and later expose the str's own UTF-8 buffer in the stable ABI; older
// ones go through a temporary bytes object). Valid while the view and the str live.
class Utf8View {
 public:
  // False with the encoding's exception set.
  bool open(PyObject* str);
  std::string_view text() const { return text_; }

 private:
  Ref bytes_;  // only on interpreters without the direct buffer
  std::string_view text_;
};

// Conversions. Each returns nullopt with a Python exception set.
std::optional<std::string> to_string(PyObject* value, const char* name);
std::optional<std::vector<std::string>> to_string_list(PyObject* value, const char* name);
std::optional<double> to_double(PyObject* value, const char* name);
std::optional<std::uint64_t> to_u64(PyObject* value, const char* name);
bool check_dict(PyObject* value, const char* name);

// Conversions without an argument name, for values inside containers: they
// leave the interpreter's own exception set.
std::optional<double> as_double(PyObject* value);
std::optional<std::uint64_t> as_u64(PyObject* value);

// The running interpreter's minor version (3.x), read once.
int runtime_minor_version();

// Py_TPFLAGS_IMMUTABLETYPE where the running interpreter has it (3.10 and
// later), so that no Python code can replace a native type's __new__ or
// methods; zero on older interpreters, whose types stay mutable and rely on
// every method checking its object's native state.
unsigned long immutable_type_flag();

// Builds a new str from UTF-8 text.
Ref new_str(std::string_view text);

}  // namespace tessary::python
