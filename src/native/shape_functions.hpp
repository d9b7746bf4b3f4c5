#pragma once
// shape_of_buffer and shape_of_file: one-shot data shapes, hashed with the
// interpreter lock released.
#include "python/python.hpp"

namespace tessary::native {

extern PyMethodDef kShapeFunctions[];

}  // namespace tessary::native
