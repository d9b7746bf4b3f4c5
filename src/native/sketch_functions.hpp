#pragma once
// minhash: the MinHash signature of a chunk set, computed with the
// interpreter lock released.
#include "python/python.hpp"

namespace tessary::native {

extern PyMethodDef kSketchFunctions[];

}  // namespace tessary::native
