#pragma once
// PyReceipt: a read-only Python handle on one receipt, held by value.
#include <memory>

#include "python/py_ref.hpp"
#include "receipts/receipt.hpp"

namespace tessary::python {

// Creates the PyReceipt type (once per process; later calls return it again).
Ref create_receipt_type();

// The type object, once created; null before.
PyTypeObject* receipt_type() noexcept;

// A new PyReceipt owning what `receipt` held (moved out of it, not copied).
// Null with an exception set on failure.
PyObject* wrap_receipt(receipts::Receipt&& receipt);
// The same, taking the receipt itself.
PyObject* wrap_receipt(std::unique_ptr<receipts::Receipt> receipt);

// The receipt inside `object`, or null with a TypeError naming `argument`
// ("argument 'receipt': 'dict' object cannot be converted to 'PyReceipt'").
const receipts::Receipt* unwrap_receipt(PyObject* object, const char* argument);

}  // namespace tessary::python
