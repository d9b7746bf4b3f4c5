#pragma once
// check_strict: whether a receipt's JSON text holds nothing outside its seal.
#include "python/python.hpp"

namespace tessary::native {

extern PyMethodDef kStrictFunctions[];

}  // namespace tessary::native
