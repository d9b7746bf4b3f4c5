#pragma once
#include "python/py_ref.hpp"

namespace tessary::python {

// The `receipts` submodule: PyReceipt, receipt_from_json_py, record_work_py, verify_receipt_py.
Ref create_receipts_module();

}  // namespace tessary::python
