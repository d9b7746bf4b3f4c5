#include "native/strict_check.hpp"

#include "native/error_kinds.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "receipts/strict_reader.hpp"

namespace tessary::native {

namespace {

using python::Ref;

PyObject* check_strict(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"check_strict", {"text"}, 1}, args, kwargs, slots)) return nullptr;
  if (!PyUnicode_Check(slots[0].get())) {
    python::raise_wrong_type("text", slots[0].get(), "str");
    return nullptr;
  }
  python::Utf8View text;
  if (!text.open(slots[0].get())) return nullptr;
  // Receipts are small: the check is over long before a signal could matter.
  auto checked = receipts::check_strict(text.text());
  if (!checked) return raise_error(Area::Receipt, checked.error().to_string());
  Py_RETURN_NONE;
}

constexpr const char* kCheckStrictDoc =
    "check_strict(text)\n--\n\n"
    "None when the receipt JSON text reads as a receipt and holds nothing\n"
    "outside its seal: no repeated key in any object, no member that is not\n"
    "a field of its record, no value the lenient reading drops. Otherwise\n"
    "ValueError naming the first such member by its path (\"unknown member\n"
    "payload.rows_processed\", \"repeated member rid\"), or the lenient\n"
    "reading's own message when the text is not a receipt.";

}  // namespace

PyMethodDef kStrictFunctions[] = {
    keyword_entry<check_strict>("check_strict", kCheckStrictDoc),
    kTableEnd,
};

}  // namespace tessary::native
