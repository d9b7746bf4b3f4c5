#pragma once
#include "python/python.hpp"

namespace tessary::python {

// The root module's own record_work_py and verify_receipt_py: distinct
// function objects from the receipts submodule's, with their own docstrings.
extern PyMethodDef kRootRecordWork[];
extern PyMethodDef kRootVerifyReceipt[];

}  // namespace tessary::python
