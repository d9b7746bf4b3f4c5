#pragma once
// receipt_rows: receipts' JSON texts turned into the rows a database store
// keeps, the filter columns read by the directory store's own filter code.
#include "python/python.hpp"

namespace tessary::native {

extern PyMethodDef kReceiptRowFunctions[];

}  // namespace tessary::native
